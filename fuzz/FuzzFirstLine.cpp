// The first-line marker search against the obvious reading of its rule: the
// marker is found when it lies before the first line feed and within the
// limit, and a first line longer than the limit is too long. The first byte
// chooses the read size, so a marker split across reads is exercised, and the
// limit; runs of zero bytes are served as holes.

#include "fuzz/MemoryFileOps.h"
#include "platform/FirstLine.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::size_t chunk = 1 + data[0] % 32;
    constexpr std::uint64_t kLimits[] = {platform::kFirstLineLimit, 0, 1, 7, 8, 9, 16, 64};
    const std::uint64_t limit = kLimits[data[0] / 32];
    const std::string_view file(reinterpret_cast<const char*>(data) + 1, size - 1);
    constexpr std::string_view kMarker = "[OAQUAN]";

    fuzzing::MemoryFileOps ops(file, chunk);
    const platform::FirstLineScan scan =
        platform::SearchFirstLine(ops, ops.Open("f", 0), kMarker, limit);

    const std::size_t line = std::min(file.find('\n'), file.size());
    const std::size_t searched = static_cast<std::size_t>(std::min<std::uint64_t>(line, limit));
    platform::FirstLineScan expected = platform::FirstLineScan::NotFound;
    if (file.substr(0, searched).find(kMarker) != std::string_view::npos)
        expected = platform::FirstLineScan::Found;
    else if (file.empty())
        expected = platform::FirstLineScan::Empty;
    else if (line > limit)
        expected = platform::FirstLineScan::TooLong;
    if (scan != expected)
        std::abort();
    return 0;
}
