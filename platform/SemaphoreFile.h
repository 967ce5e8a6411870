#pragma once

#include "platform/FileOps.h"

#include <string>

namespace platform {

// Creates an empty file at the path unless something is already there; an
// existing file is never opened, truncated or followed when it is a link, and
// a FIFO there is never opened. True when the path now names an entry.
bool CreateSemaphoreFile(FileOps& ops, const std::string& path);

// Removes the entry at the path (a link itself, never its target); a missing
// entry counts as removed.
bool DeleteSemaphoreFile(FileOps& ops, const std::string& path);

// Creates one directory level; a missing parent is not created. True when the
// directory was made (an existing one gives false, like any other failure).
bool MakeDirectory(FileOps& ops, const std::string& path);

} // namespace platform
