#include "support/FaultyFileOps.h"

#include <cerrno>

namespace testsupport {

int FaultyFileOps::Calls(Op op) const {
    const auto it = m_calls.find(op);
    return it == m_calls.end() ? 0 : it->second;
}

bool FaultyFileOps::Fails(Op op, const char* path) {
    ++m_calls[op];
    for (std::size_t i = 0; i < m_faults.size(); ++i) {
        const Fault& fault = m_faults[i];
        if (fault.op != op)
            continue;
        if (!fault.pathContains.empty() &&
            (path == nullptr || std::string(path).find(fault.pathContains) == std::string::npos))
            continue;
        const int seen = ++m_seen[i];
        if (fault.occurrence == 0 || fault.occurrence == seen) {
            errno = fault.error;
            return true;
        }
    }
    return false;
}

int FaultyFileOps::Open(const char* path, int flags, mode_t mode) {
    m_log.push_back(std::string("Open ") + path);
    if (Fails(Op::Open, path))
        return -1;
    const int fd = SystemFileOps::Open(path, flags, mode);
    if (fd >= 0)
        m_openPaths[fd] = path;
    return fd;
}

ssize_t FaultyFileOps::Read(int fd, void* buf, size_t count) {
    return Fails(Op::Read, nullptr) ? -1 : SystemFileOps::Read(fd, buf, count);
}

ssize_t FaultyFileOps::Write(int fd, const void* buf, size_t count) {
    return Fails(Op::Write, nullptr) ? -1 : SystemFileOps::Write(fd, buf, count);
}

int FaultyFileOps::Fsync(int fd) {
    return Fails(Op::Fsync, nullptr) ? -1 : SystemFileOps::Fsync(fd);
}

int FaultyFileOps::Close(int fd) {
    // The descriptor is released even when the close reports an error, as on Linux.
    const auto opened = m_openPaths.find(fd);
    const std::string path = opened != m_openPaths.end() ? opened->second : std::string();
    if (opened != m_openPaths.end())
        m_openPaths.erase(opened);
    const int rc = SystemFileOps::Close(fd);
    return Fails(Op::Close, path.c_str()) ? -1 : rc;
}

int FaultyFileOps::Fstat(int fd, struct stat* st) {
    return Fails(Op::Fstat, nullptr) ? -1 : SystemFileOps::Fstat(fd, st);
}

int FaultyFileOps::Lstat(const char* path, struct stat* st) {
    return Fails(Op::Lstat, path) ? -1 : SystemFileOps::Lstat(path, st);
}

int FaultyFileOps::Rename(const char* from, const char* to) {
    m_log.push_back(std::string("Rename ") + from + " -> " + to);
    return Fails(Op::Rename, from) ? -1 : SystemFileOps::Rename(from, to);
}

int FaultyFileOps::Unlink(const char* path) {
    m_log.push_back(std::string("Unlink ") + path);
    return Fails(Op::Unlink, path) ? -1 : SystemFileOps::Unlink(path);
}

int FaultyFileOps::Mkdir(const char* path, mode_t mode) {
    m_log.push_back(std::string("Mkdir ") + path);
    return Fails(Op::Mkdir, path) ? -1 : SystemFileOps::Mkdir(path, mode);
}

int FaultyFileOps::SetLease(int fd, int type) {
    return Fails(Op::SetLease, nullptr) ? -1 : SystemFileOps::SetLease(fd, type);
}

off_t FaultyFileOps::Lseek(int fd, off_t offset, int whence) {
    return Fails(Op::Lseek, nullptr) ? -1 : SystemFileOps::Lseek(fd, offset, whence);
}

int FaultyFileOps::Ftruncate(int fd, off_t length) {
    return Fails(Op::Ftruncate, nullptr) ? -1 : SystemFileOps::Ftruncate(fd, length);
}

int FaultyFileOps::Futimens(int fd, const struct timespec times[2]) {
    return Fails(Op::Futimens, nullptr) ? -1 : SystemFileOps::Futimens(fd, times);
}

int FaultyFileOps::ReadDirectory(int fd, const std::function<void(const char* name)>& visit) {
    m_openPaths.erase(fd); // closed by the call
    if (!Fails(Op::ReadDirectory, nullptr))
        return SystemFileOps::ReadDirectory(fd, visit);
    const int error = errno;
    SystemFileOps::Close(fd);
    errno = error;
    return -1;
}

int FaultyFileOps::ReadDirectoryPart(int fd, const std::function<void(const char* name)>& visit,
                                     int maxEntries) {
    const auto opened = m_openPaths.find(fd);
    if (Fails(Op::ReadDirectoryPart, opened != m_openPaths.end() ? opened->second.c_str() : ""))
        return -1;
    const int got = SystemFileOps::ReadDirectoryPart(fd, visit, maxEntries);
    m_namesRead += got > 0 ? got : 0;
    return got;
}

int FaultyFileOps::LinkUnnamed(int fd, const char* to) {
    m_log.push_back(std::string("Link ") + to);
    return Fails(Op::Link, to) ? -1 : SystemFileOps::LinkUnnamed(fd, to);
}

int FaultyFileOps::SetAttribute(int fd, const char* name, const void* value, size_t size) {
    return Fails(Op::SetAttribute, nullptr) ? -1
                                            : SystemFileOps::SetAttribute(fd, name, value, size);
}

} // namespace testsupport
