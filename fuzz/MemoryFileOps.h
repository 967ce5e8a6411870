#pragma once

#include "platform/FileOps.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

namespace fuzzing {

// One regular file held in memory behind the file seam, read back in pieces
// of at most `chunk` bytes, so that a fuzz target sees every way a read can
// split its input, and never touches the disk.
class MemoryFileOps final : public platform::FileOps {
public:
    MemoryFileOps(std::string_view content, std::size_t chunk)
        : m_content(content), m_chunk(std::max<std::size_t>(chunk, 1)) {}

    int Open(const char*, int, mode_t = 0) override {
        m_offset = 0;
        return kFd;
    }
    ssize_t Read(int fd, void* buf, size_t count) override {
        if (fd != kFd) {
            errno = EBADF;
            return -1;
        }
        const std::size_t n = std::min({count, m_chunk, m_content.size() - m_offset});
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

private:
    static constexpr int kFd = 1000;
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
    std::size_t m_offset = 0;
};

} // namespace fuzzing
