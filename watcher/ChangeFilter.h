#pragma once

#include <cstdint>

namespace watcher {

// The inotify events that stand for the change kinds of a notification filter:
// 0x1 (file names) creation, deletion and both halves of a rename; 0x8 (size)
// modification; 0x10 (last write) modification, close after writing and
// attribute changes. Other bits have no counterpart and add nothing, so a filter
// without any of these three bits maps to 0.
std::uint32_t InotifyMaskForFilter(std::uint32_t filter);

} // namespace watcher
