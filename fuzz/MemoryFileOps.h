#pragma once

#include "platform/FileOps.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

namespace fuzzing {

// One regular file held in memory behind the file seam, read back in pieces
// of at most `chunk` bytes, so that a fuzz target sees every way a read can
// split its input, and never touches the disk. Every run of at least four NUL
// bytes is reported as a hole by SEEK_DATA and SEEK_HOLE, as a sparse file
// would be (unless told not to), so that readers which step over holes are
// checked against reading.
class MemoryFileOps final : public platform::FileOps {
public:
    MemoryFileOps(std::string_view content, std::size_t chunk, bool reportHoles = true)
        : m_content(content), m_chunk(std::max<std::size_t>(chunk, 1)), m_holes(reportHoles) {}

    int Open(const char*, int, mode_t = 0) override {
        m_offset = 0;
        return kFd;
    }
    ssize_t Read(int fd, void* buf, size_t count) override {
        if (fd != kFd) {
            errno = EBADF;
            return -1;
        }
        const std::size_t left = m_offset < m_content.size() ? m_content.size() - m_offset : 0;
        const std::size_t n = std::min({count, m_chunk, left});
        std::memcpy(buf, m_content.data() + m_offset, n);
        m_offset += n;
        return static_cast<ssize_t>(n);
    }
    ssize_t Write(int, const void*, size_t) override {
        errno = EBADF;
        return -1;
    }
    int Fsync(int) override { return 0; }
    int Close(int) override { return 0; }
    int Fstat(int, struct stat* st) override { return Describe(st); }
    int Lstat(const char*, struct stat* st) override { return Describe(st); }
    int Rename(const char*, const char*) override { return Refuse(); }
    int Unlink(const char*) override { return Refuse(); }
    int Mkdir(const char*, mode_t) override { return Refuse(); }
    int SetLease(int, int) override { return 0; }
    int GetLease(int) override { return F_UNLCK; }
    off_t Lseek(int fd, off_t offset, int whence) override {
        const auto size = static_cast<off_t>(m_content.size());
        off_t to = offset;
        if (whence == SEEK_CUR)
            to = static_cast<off_t>(m_offset) + offset;
        else if (whence == SEEK_END)
            to = size + offset;
        if ((whence == SEEK_DATA || whence == SEEK_HOLE) && !m_holes) {
            errno = EINVAL; // a file system without hole search
            return -1;
        }
        if (fd != kFd || to < 0 || ((whence == SEEK_DATA || whence == SEEK_HOLE) && to >= size)) {
            errno = fd != kFd ? EBADF : (to < 0 ? EINVAL : ENXIO);
            return -1;
        }
        if (whence == SEEK_DATA) {
            while (to < size && InHole(static_cast<std::size_t>(to)))
                ++to;
            if (to == size) {
                errno = ENXIO;
                return -1;
            }
        } else if (whence == SEEK_HOLE) {
            while (to < size && !InHole(static_cast<std::size_t>(to)))
                ++to;
        }
        m_offset = static_cast<std::size_t>(to);
        return to;
    }
    int Ftruncate(int, off_t) override { return Refuse(); }
    int Futimens(int, const struct timespec[2]) override { return Refuse(); }
    // The one file is no directory.
    int ReadDirectory(int, const std::function<void(const char*)>&) override {
        errno = ENOTDIR;
        return -1;
    }
    int LinkUnnamed(int, const char*) override { return Refuse(); }
    int SetAttribute(int, const char*, const void*, size_t) override { return Refuse(); }
    int RemoveAttribute(int, const char*) override { return Refuse(); }
    ssize_t GetAttribute(const char*, const char*, void*, size_t) override {
        errno = ENODATA;
        return -1;
    }
    int Statx(int, const char*, int, unsigned, struct statx*) override { return Refuse(); }
    int Flock(int, int) override { return 0; }
    int Fchmod(int, mode_t) override { return Refuse(); }
    int Fchown(int, uid_t, gid_t) override { return Refuse(); }

private:
    static constexpr int kFd = 1000;
    static constexpr std::size_t kHoleRun = 4;
    // True when the byte at `at` lies in a run of NUL bytes long enough to be a hole.
    bool InHole(std::size_t at) const {
        if (m_content[at] != '\0')
            return false;
        std::size_t begin = at;
        while (begin > 0 && m_content[begin - 1] == '\0')
            --begin;
        std::size_t end = at;
        while (end < m_content.size() && m_content[end] == '\0')
            ++end;
        return end - begin >= kHoleRun;
    }
    int Describe(struct stat* st) const {
        *st = {};
        st->st_mode = S_IFREG | 0644;
        st->st_size = static_cast<off_t>(m_content.size());
        st->st_dev = 1;
        st->st_ino = 1;
        return 0;
    }
    static int Refuse() {
        errno = EROFS;
        return -1;
    }

    std::string_view m_content;
    std::size_t m_chunk;
    bool m_holes;
    std::size_t m_offset = 0;
};

} // namespace fuzzing
