#pragma once

#include "platform/FileOps.h"

#include <string_view>

namespace platform {

enum class FirstLineScan {
    Found,     // the first line holds the text
    NotFound,  // it does not (also when the first line is empty)
    Empty,     // the file has no bytes at all, so no first line
    ReadError, // reading failed; errno tells why
};

// Reads an open file from its current position up to its first line end and
// tells whether that line holds `needle` (which holds no line end itself). The
// line ends at the first line feed; a carriage return before it belongs to the
// line end. A line of any length is scanned through one small block, so a huge
// file without a line end costs time but no memory.
FirstLineScan SearchFirstLine(FileOps& ops, int fd, std::string_view needle);

} // namespace platform
