#include "platform/FirstLine.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace platform {

namespace {

constexpr std::size_t kBlock = std::size_t(1) << 20;
constexpr std::size_t kSmallBlock = 4096;
constexpr std::size_t kMaxNeedle = 256;

// A small file needs no large buffer.
std::size_t BlockFor(FileOps& ops, int fd) {
    struct stat st {};
    if (ops.Fstat(fd, &st) != 0 || st.st_size >= static_cast<off_t>(kBlock))
        return kBlock;
    return std::max<std::size_t>(static_cast<std::size_t>(std::max<off_t>(st.st_size, 0)),
                                 kSmallBlock);
}

bool Holds(const char* text, std::size_t length, std::string_view needle) {
    return memmem(text, length, needle.data(), needle.size()) != nullptr;
}

} // namespace

FirstLineScan SearchFirstLine(FileOps& ops, int fd, std::string_view needle, std::uint64_t limit) {
    if (needle.empty() || needle.size() > kMaxNeedle)
        return needle.empty() ? FirstLineScan::Found : FirstLineScan::NotFound;
    // Holes are stepped over only where their place in the file is known and
    // their zero bytes cannot be part of the needle.
    const off_t start = ops.Lseek(fd, 0, SEEK_CUR);
    bool skipHoles = start >= 0 && needle.find('\0') == std::string_view::npos;
    // The last needle-size-1 bytes of one block stay in front of the next, so a
    // needle split across two reads is still seen.
    const std::size_t block = BlockFor(ops, fd);
    const std::unique_ptr<char[]> window(new char[kMaxNeedle + block]);
    std::size_t carried = 0;
    std::uint64_t passed = 0; // bytes of the first line read or stepped over
    bool anyBytes = false;
    for (;;) {
        if (skipHoles) {
            const off_t at = start + static_cast<off_t>(passed);
            const off_t data = ops.Lseek(fd, at, SEEK_DATA);
            if (data < 0 && errno == ENXIO) {
                // Nothing but a hole from here to the end of the file (or the end).
                const off_t end = ops.Lseek(fd, 0, SEEK_END);
                if (end < 0)
                    return FirstLineScan::ReadError;
                if (end <= at)
                    return anyBytes ? FirstLineScan::NotFound : FirstLineScan::Empty;
                return static_cast<std::uint64_t>(end - start) > limit ? FirstLineScan::TooLong
                                                                       : FirstLineScan::NotFound;
            }
            if (data < 0) {
                // No hole search here (a failed seek leaves the position): read everything.
                skipHoles = false;
            } else if (data > at) {
                passed += static_cast<std::uint64_t>(data - at);
                anyBytes = true;
                carried = 0; // zero bytes stand between the two pieces
                if (passed > limit)
                    return FirstLineScan::TooLong;
            }
        }
        // One byte past the limit is read to tell a line of exactly the limit
        // from a longer one; it is never searched.
        const std::uint64_t searchable = limit - passed;
        const std::size_t want =
            searchable >= block ? block : static_cast<std::size_t>(searchable) + 1;
        char* fresh = window.get() + carried;
        const ssize_t got = ops.Read(fd, fresh, want);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return FirstLineScan::ReadError;
        }
        if (got == 0)
            return anyBytes ? FirstLineScan::NotFound : FirstLineScan::Empty;
        anyBytes = true;
        const auto count = static_cast<std::size_t>(got);
        const void* lineEnd = std::memchr(fresh, '\n', count);
        const std::size_t lineBytes =
            lineEnd ? static_cast<std::size_t>(static_cast<const char*>(lineEnd) - fresh) : count;
        const std::size_t searched =
            static_cast<std::size_t>(std::min<std::uint64_t>(lineBytes, searchable));
        if (Holds(window.get(), carried + searched, needle))
            return FirstLineScan::Found;
        if (lineEnd)
            return FirstLineScan::NotFound;
        passed += count;
        if (passed > limit)
            return FirstLineScan::TooLong;
        const std::size_t length = carried + count;
        const std::size_t keep = std::min(length, needle.size() - 1);
        std::memmove(window.get(), window.get() + length - keep, keep);
        carried = keep;
    }
}

} // namespace platform
