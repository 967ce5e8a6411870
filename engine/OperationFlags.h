#pragma once

#include "settings/CBatchParams.h"

#include <cstdint>
#include <string>

namespace engine {

// The quan marker's value when a batch file's first line asks for it.
inline constexpr std::int32_t kQuanMarkerSet = 32;

// The operation word handed over with a batch: 4 Acquire, 8 Process,
// 16 Quantify, 32 the quan marker, 64 Profile; each bit set when its source is
// non-zero, and no other bit ever.
std::int32_t OperationFlags(const settings::CBatchParams& params);

// The names of the bits set in an operation word, lowest first and joined by
// ",": acquire, process, quantify, quan-marker, profile; any other bit as its
// value in hex; "none" for 0.
std::string OperationFlagNames(std::int32_t flags);

// now - then in whole seconds, kept within the 64-bit range whatever time
// stamps a file carries.
std::int64_t SecondsBetween(std::int64_t then, std::int64_t now);

} // namespace engine
