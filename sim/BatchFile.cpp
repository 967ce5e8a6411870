#include "sim/BatchFile.h"

#include "platform/FileDescriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace sim {
namespace {

bool IsBlank(std::string_view line) {
    return line.find_first_not_of(" \t\r\f\v") == std::string_view::npos;
}

std::string_view WithoutCarriageReturn(std::string_view line) {
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

} // namespace

BatchFile ParseBatchText(std::string_view text) {
    BatchFile batch;
    int items = 0;
    bool first = true;
    while (!text.empty()) {
        const auto newline = text.find('\n');
        const std::string_view line = WithoutCarriageReturn(text.substr(0, newline));
        text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
        if (first) {
            batch.header = std::string(line);
            first = false;
            continue;
        }
        if (IsBlank(line))
            continue;
        ++items;
        if (batch.samples.size() < kMaxListedSamples)
            batch.samples.emplace_back(line.substr(0, kMaxLineBytes));
    }
    batch.items = items > 0 ? items : 1;
    return batch;
}

std::optional<BatchFile> ReadBatchFile(const std::string& path) {
    platform::FileDescriptor fd(
        open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat st {};
    if (!fd.IsValid() || fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    std::string text(kMaxBatchBytes, '\0');
    std::size_t used = 0;
    while (used < text.size()) {
        const ssize_t got = read(fd.Get(), text.data() + used, text.size() - used);
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        used += static_cast<std::size_t>(got);
    }
    text.resize(used);
    return ParseBatchText(text);
}

} // namespace sim
