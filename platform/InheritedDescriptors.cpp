#include "platform/InheritedDescriptors.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

namespace platform {

namespace {

bool MarkThroughProcFs() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return false;
    bool all = true;
    const int own = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd <= 2 || fd == own)
            continue;
        const int flags = fcntl(static_cast<int>(fd), F_GETFD);
        if (flags < 0 || (flags & FD_CLOEXEC) != 0)
            continue; // closed meanwhile, or marked already
        all = fcntl(static_cast<int>(fd), F_SETFD, flags | FD_CLOEXEC) == 0 && all;
    }
    closedir(dir);
    return all;
}

} // namespace

bool MarkInheritedDescriptorsCloseOnExec() {
#ifdef SYS_close_range
    // ENOSYS before Linux 5.9, EINVAL for the flag before 5.11.
    if (syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return true;
#endif
    return MarkThroughProcFs();
}

} // namespace platform
