#include "app/AppIcon.h"

static void InitResources() {
    Q_INIT_RESOURCE(tesmaro);
}

namespace app {

QIcon AppIcon() {
    // The resources live in a static library: register them before first use.
    static const bool registered = (InitResources(), true);
    (void)registered;
    QIcon icon;
    for (int size : {16, 32, 48})
        icon.addFile(QStringLiteral(":/icons/tesmaro-%1.png").arg(size), QSize(size, size));
    return icon;
}

} // namespace app
