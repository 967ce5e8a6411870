#include "platform/FileOps.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace platform {

namespace {

struct DirectoryCloser {
    void operator()(DIR* stream) const { closedir(stream); }
};

} // namespace

int SystemFileOps::Open(const char* path, int flags, mode_t mode) {
    // Every descriptor of ours is close-on-exec, whatever the caller asked for,
    // so that a started program never inherits one.
    return open(path, flags | O_CLOEXEC, mode);
}

ssize_t SystemFileOps::Read(int fd, void* buf, size_t count) {
    return read(fd, buf, count);
}

ssize_t SystemFileOps::Write(int fd, const void* buf, size_t count) {
    return write(fd, buf, count);
}

int SystemFileOps::Fsync(int fd) {
    return fsync(fd);
}

int SystemFileOps::Close(int fd) {
    return close(fd);
}

int SystemFileOps::Fstat(int fd, struct stat* st) {
    return fstat(fd, st);
}

int SystemFileOps::Lstat(const char* path, struct stat* st) {
    return lstat(path, st);
}

int SystemFileOps::Rename(const char* from, const char* to) {
    return rename(from, to);
}

int SystemFileOps::Unlink(const char* path) {
    return unlink(path);
}

int SystemFileOps::Mkdir(const char* path, mode_t mode) {
    return mkdir(path, mode);
}

int SystemFileOps::SetLease(int fd, int type) {
    return fcntl(fd, F_SETLEASE, type);
}

int SystemFileOps::GetLease(int fd) {
    return fcntl(fd, F_GETLEASE);
}

off_t SystemFileOps::Lseek(int fd, off_t offset, int whence) {
    return lseek(fd, offset, whence);
}

int SystemFileOps::Ftruncate(int fd, off_t length) {
    return ftruncate(fd, length);
}

int SystemFileOps::Futimens(int fd, const struct timespec times[2]) {
    return futimens(fd, times);
}

int SystemFileOps::ReadDirectory(int fd, const std::function<void(const char* name)>& visit) {
    std::unique_ptr<DIR, DirectoryCloser> stream(fdopendir(fd));
    if (stream == nullptr) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    // readdir tells its end from a failure only by errno.
    errno = 0;
    while (const dirent* entry = readdir(stream.get())) {
        visit(entry->d_name);
        errno = 0;
    }
    const int error = errno;
    stream.reset();
    errno = error;
    return error == 0 ? 0 : -1;
}

int SystemFileOps::LinkUnnamed(int fd, const char* to) {
    // The descriptor's own entry in /proc names the file for linkat; where
    // /proc is missing, AT_EMPTY_PATH does the same for a process allowed to.
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, to, AT_SYMLINK_FOLLOW) == 0)
        return 0;
    if (errno != ENOENT)
        return -1;
    return linkat(fd, "", AT_FDCWD, to, AT_EMPTY_PATH);
}

int SystemFileOps::SetAttribute(int fd, const char* name, const void* value, size_t size) {
    return fsetxattr(fd, name, value, size, 0);
}

int SystemFileOps::RemoveAttribute(int fd, const char* name) {
    return fremovexattr(fd, name);
}

ssize_t SystemFileOps::GetAttribute(const char* path, const char* name, void* value, size_t size) {
    return lgetxattr(path, name, value, size);
}

int SystemFileOps::Statx(int dirFd, const char* path, int flags, unsigned mask, struct statx* out) {
    return statx(dirFd, path, flags, mask, out);
}

int SystemFileOps::Flock(int fd, int operation) {
    int rc;
    do
        rc = flock(fd, operation);
    while (rc != 0 && errno == EINTR);
    return rc;
}

int SystemFileOps::Fchmod(int fd, mode_t mode) {
    return fchmod(fd, mode);
}

int SystemFileOps::Fchown(int fd, uid_t owner, gid_t group) {
    return fchown(fd, owner, group);
}

ssize_t FileOps::Readlink(const char*, char*, size_t) {
    errno = ENOSYS;
    return -1;
}

int FileOps::ReadDirectoryPart(int, const std::function<void(const char*)>&, int) {
    errno = ENOSYS;
    return -1;
}

ssize_t SystemFileOps::Readlink(const char* path, char* buf, size_t size) {
    return readlink(path, buf, size);
}

int SystemFileOps::ReadDirectoryPart(int fd, const std::function<void(const char* name)>& visit,
                                     int maxEntries) {
    // With no names asked for, 0 would falsely tell the end.
    if (maxEntries <= 0) {
        errno = EINVAL;
        return -1;
    }
    // getdents64 fills a buffer with whole entries, each with the position of
    // the one after it (a cookie that only lseek understands). When the part
    // ends inside the buffer, the descriptor is first set back to just after
    // the last name to be visited, so that the names read but not visited
    // come again next time; only then are the names visited, so that a
    // `visit` that changes the directory cannot move that position.
    struct Header {
        std::uint64_t ino;
        std::int64_t next;
        unsigned short length;
        unsigned char type;
    };
    constexpr std::size_t kNameAt = offsetof(Header, type) + 1;
    alignas(8) char buf[std::size_t{32} * 1024];
    int visited = 0;
    while (visited < maxEntries) {
        const long got = syscall(SYS_getdents64, fd, buf, sizeof buf);
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        const auto size = static_cast<std::size_t>(got);
        std::size_t end = 0;
        int count = 0;
        Header entry{};
        while (end < size && visited + count < maxEntries) {
            std::memcpy(&entry, buf + end, kNameAt);
            if (entry.length <= kNameAt || entry.length > size - end) {
                errno = EIO;
                return -1;
            }
            end += entry.length;
            ++count;
        }
        if (end < size && lseek(fd, entry.next, SEEK_SET) < 0)
            return -1;
        for (std::size_t at = 0; at < end;) {
            std::memcpy(&entry, buf + at, kNameAt);
            visit(buf + at + kNameAt);
            at += entry.length;
        }
        visited += count;
    }
    return visited;
}

FileOps& DefaultFileOps() {
    static SystemFileOps ops;
    return ops;
}

int FileHandle::Close() {
    if (m_fd < 0)
        return 0;
    const int fd = m_fd;
    m_fd = -1;
    // A close interrupted by a signal has still released the descriptor on
    // Linux; it must not be retried.
    return m_ops->Close(fd);
}

} // namespace platform
