#pragma once

#include "platform/FileOps.h"

#include <cstdint>
#include <string_view>

namespace platform {

enum class FirstLineScan {
    Found,     // the first line holds the text
    NotFound,  // it does not (also when the first line is empty)
    Empty,     // the file has no bytes at all, so no first line
    TooLong,   // the first line runs past the limit: the file counts as unreadable
    ReadError, // reading failed; errno tells why
};

// The longest first line searched by default: far beyond any real batch file,
// and short enough to be read at memory speed well within one tick.
constexpr std::uint64_t kFirstLineLimit = std::uint64_t(1) << 30;

// Reads an open file from its current position up to its first line end and
// tells whether that line holds `needle` (which holds no line end itself). The
// line ends at the first line feed; a carriage return before it belongs to the
// line end. The scan stops as soon as the answer is known; a first line longer
// than `limit` bytes in which the text has not turned up by then is TooLong.
//
// The file is read in large blocks into a buffer of fixed size and searched
// with memchr and memmem. A hole of a sparse file holds only zero bytes, so
// neither a line feed nor the needle (when the needle holds no zero byte): it
// is stepped over without being read, and counts toward the limit as read.
FirstLineScan SearchFirstLine(FileOps& ops, int fd, std::string_view needle,
                              std::uint64_t limit = kFirstLineLimit);

} // namespace platform
