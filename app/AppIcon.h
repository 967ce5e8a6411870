#pragma once

#include <QIcon>

namespace app {

// The program's icon, with its 16, 32 and 48 pixel renderings.
QIcon AppIcon();

// The size of the icon where a window shows it large (the About box).
inline constexpr int AppIconLargeSize = 32;

} // namespace app
