#pragma once

#include "platform/FileOps.h"

#include <string>

namespace platform {

// Opens a regular file for reading, the way every file that others may have
// put in our path is opened: never through a symbolic link, never a FIFO,
// socket or device (those are refused before anything opens them, and a swap
// between the test and the open is caught afterwards), never blocking.
// Returns the descriptor, or -1 with errno set (ELOOP, EINVAL for what is not a
// regular file, or the open's own error). Fills `st` when given.
int OpenRegularFile(FileOps& ops, const std::string& path, struct stat* st = nullptr);

// As OpenRegularFile, and refuses with EBUSY a file that another process has
// open for writing: the nearest this system comes to opening a file with no
// sharing. Where the check is not permitted the file is opened all the same.
int OpenUnshared(FileOps& ops, const std::string& path);

} // namespace platform
