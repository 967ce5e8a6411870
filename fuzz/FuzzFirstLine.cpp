// The first-line marker search against the obvious reading of its rule: the
// marker is found when it lies before the first line feed. The first byte
// chooses the read size, so a marker split across reads is exercised.

#include "fuzz/MemoryFileOps.h"
#include "platform/FirstLine.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::size_t chunk = 1 + data[0] % 32;
    const std::string_view file(reinterpret_cast<const char*>(data) + 1, size - 1);
    constexpr std::string_view kMarker = "[OAQUAN]";

    fuzzing::MemoryFileOps ops(file, chunk);
    const platform::FirstLineScan scan = platform::SearchFirstLine(ops, ops.Open("f", 0), kMarker);

    platform::FirstLineScan expected = platform::FirstLineScan::NotFound;
    if (file.empty())
        expected = platform::FirstLineScan::Empty;
    else if (file.substr(0, file.find('\n')).find(kMarker) != std::string_view::npos)
        expected = platform::FirstLineScan::Found;
    if (scan != expected)
        std::abort();
    return 0;
}
