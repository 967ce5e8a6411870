#include "watcher/ChangeFilter.h"

#include "watcher/CDirectoryWatcher.h"

#include <sys/inotify.h>

namespace watcher {

std::uint32_t InotifyMaskForFilter(std::uint32_t filter) {
    std::uint32_t mask = 0;
    if (filter & CDirectoryWatcher::kFileName)
        mask |= IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
    if (filter & CDirectoryWatcher::kSize)
        mask |= IN_MODIFY;
    if (filter & CDirectoryWatcher::kLastWrite)
        mask |= IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB;
    return mask;
}

} // namespace watcher
