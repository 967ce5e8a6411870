#pragma once

#include "platform/FileOps.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// Reads one value from an initialisation file by the long-standing rules:
// sections are lines "[name]", entries are lines "key=value"; section and key
// names are compared without regard to letter case; blanks around names and
// values are dropped, and then one pair of matching single or double quotes
// around the value; the first matching section and, in it, the first matching
// key win; the value is cut to bufferSize - 1 characters. A missing file,
// section or key gives the default (cut the same way).
//
// The file is read in large blocks and searched with memchr, a long line
// passing through a few fixed pieces of memory; a hole of a sparse file (only
// zero bytes) is stepped over unread. Only the first `limit` bytes count: what
// is not settled within them gives the default, so a huge file costs at most
// the time of reading the limit. The file is opened as every untrusted file is
// (no links, no FIFOs, no blocking).
//
// The default limit is far beyond any real batch file, and small enough that
// even a file made only of two-byte lines (the slowest kind: every line is
// looked at) is read well within a tick, twice over.
constexpr std::uint64_t kProfileReadLimit = std::uint64_t(32) << 20;

std::string ReadProfileString(FileOps& ops, const std::string& path, std::string_view section,
                              std::string_view key, std::string_view defaultValue,
                              std::size_t bufferSize, std::uint64_t limit = kProfileReadLimit);

} // namespace platform
