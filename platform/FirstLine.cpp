#include "platform/FirstLine.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace platform {

namespace {
constexpr std::size_t kBlock = 4096;
constexpr std::size_t kMaxNeedle = 256;
} // namespace

FirstLineScan SearchFirstLine(FileOps& ops, int fd, std::string_view needle) {
    if (needle.empty() || needle.size() > kMaxNeedle)
        return needle.empty() ? FirstLineScan::Found : FirstLineScan::NotFound;
    // The last needle-size-1 bytes of one block stay in front of the next, so a
    // needle split across two reads is still seen.
    std::array<char, kMaxNeedle + kBlock> window{};
    std::size_t carried = 0;
    bool anyBytes = false;
    for (;;) {
        const ssize_t got = ops.Read(fd, window.data() + carried, kBlock);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return FirstLineScan::ReadError;
        }
        if (got == 0)
            return anyBytes ? FirstLineScan::NotFound : FirstLineScan::Empty;
        anyBytes = true;
        const char* fresh = window.data() + carried;
        const void* lineEnd = std::memchr(fresh, '\n', static_cast<std::size_t>(got));
        const std::size_t length =
            lineEnd ? static_cast<std::size_t>(static_cast<const char*>(lineEnd) - window.data())
                    : carried + static_cast<std::size_t>(got);
        if (std::string_view(window.data(), length).find(needle) != std::string_view::npos)
            return FirstLineScan::Found;
        if (lineEnd)
            return FirstLineScan::NotFound;
        const std::size_t keep = std::min(length, needle.size() - 1);
        std::memmove(window.data(), window.data() + length - keep, keep);
        carried = keep;
    }
}

} // namespace platform
