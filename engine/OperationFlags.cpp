#include "engine/OperationFlags.h"

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

std::int64_t SecondsBetween(std::int64_t then, std::int64_t now) {
    std::int64_t age = 0;
    if (!__builtin_sub_overflow(now, then, &age))
        return age;
    return then < 0 ? std::numeric_limits<std::int64_t>::max()
                    : std::numeric_limits<std::int64_t>::min();
}

} // namespace engine
