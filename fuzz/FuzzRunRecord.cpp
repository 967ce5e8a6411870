// The run record's reader: whatever the text, it either refuses it or gives
// entries that are written back to a text it reads again as the same entries.

#include "engine/RunRecord.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto entries = engine::ParseRunRecord(text);
    if (!entries)
        return 0;
    const auto again = engine::ParseRunRecord(engine::FormatRunRecord(*entries));
    if (!again || again->size() != entries->size())
        std::abort();
    for (std::size_t i = 0; i < entries->size(); ++i) {
        const engine::RunEntry& a = (*entries)[i];
        const engine::RunEntry& b = (*again)[i];
        if (!(a.identity == b.identity) || a.name != b.name || a.title != b.title ||
            a.stage != b.stage)
            std::abort();
    }
    return 0;
}
