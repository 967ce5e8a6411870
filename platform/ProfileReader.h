#pragma once

#include "platform/FileOps.h"

#include <cstddef>
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
// The file is read block by block and each line is scanned as it passes, so a
// hostile file of any size, with or without line ends, needs only a few KiB.
// It is opened as every untrusted file is (no links, no FIFOs, no blocking).
std::string ReadProfileString(FileOps& ops, const std::string& path, std::string_view section,
                              std::string_view key, std::string_view defaultValue,
                              std::size_t bufferSize);

} // namespace platform
