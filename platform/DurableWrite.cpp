#include "platform/DurableWrite.h"

#include "platform/Path.h"

#include <fcntl.h>

#include <cerrno>

namespace platform {

bool SyncDirectory(FileOps& ops, const std::string& dir) {
    FileHandle handle(
        ops, ops.Open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!handle.IsOpen())
        return false;
    const bool synced = ops.Fsync(handle.Get()) == 0;
    // A close error can be the first report of a failed write-back.
    return handle.Close() == 0 && synced;
}

int CreateExclusive(FileOps& ops, const std::string& dir,
                    const std::function<std::string()>& nextName, mode_t mode, std::string& path) {
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        path = MakePath(dir, nextName());
        const int fd =
            ops.Open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST)
            break;
    }
    path.clear();
    return -1;
}

bool WriteAll(FileOps& ops, int fd, const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    for (std::size_t done = 0; done < size;) {
        const ssize_t put = ops.Write(fd, bytes + done, size - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            if (put == 0)
                errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(put);
    }
    return true;
}

} // namespace platform
