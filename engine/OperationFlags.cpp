#include "engine/OperationFlags.h"

#include <cstdio>
#include <limits>

namespace engine {

std::int32_t OperationFlags(const settings::CBatchParams& params) {
    std::int32_t flags = 0;
    if (params.Acquire != 0)
        flags |= 4;
    if (params.Process != 0)
        flags |= 8;
    if (params.Quantify != 0)
        flags |= 16;
    if (params.QuanMarker != 0)
        flags |= 32;
    if (params.Profile != 0)
        flags |= 64;
    return flags;
}

std::string OperationFlagNames(std::int32_t flags) {
    static constexpr struct {
        std::uint32_t bit;
        const char* name;
    } kNames[] = {
        {4, "acquire"}, {8, "process"}, {16, "quantify"}, {32, "quan-marker"}, {64, "profile"}};
    const auto word = static_cast<std::uint32_t>(flags);
    std::string names;
    for (std::uint32_t bit = 1; bit != 0; bit <<= 1) {
        if ((word & bit) == 0)
            continue;
        if (!names.empty())
            names += ',';
        const char* name = nullptr;
        for (const auto& known : kNames)
            if (known.bit == bit)
                name = known.name;
        if (name != nullptr) {
            names += name;
        } else {
            char hex[16];
            std::snprintf(hex, sizeof hex, "0x%x", bit);
            names += hex;
        }
    }
    return names.empty() ? "none" : names;
}

std::int64_t SecondsBetween(std::int64_t then, std::int64_t now) {
    std::int64_t age = 0;
    if (!__builtin_sub_overflow(now, then, &age))
        return age;
    return then < 0 ? std::numeric_limits<std::int64_t>::max()
                    : std::numeric_limits<std::int64_t>::min();
}

} // namespace engine
