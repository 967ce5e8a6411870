#pragma once

#include "platform/FileOps.h"

#include <cstddef>
#include <functional>
#include <string>

namespace platform {

// The pieces of a durable replacement shared by the state file and the move:
// a fresh file created exclusively beside its final name, written whole,
// flushed, renamed over that name, and the directory flushed so that the new
// name outlasts a power loss. Every call goes through `ops`; every descriptor
// is close-on-exec.

// Flushes the directory `dir` ("." when empty), so that the names created,
// renamed or removed in it outlast a power loss. True only when both the flush
// and the closing of the directory succeed.
bool SyncDirectory(FileOps& ops, const std::string& dir);

// Creates a new file in `dir` ("" for the current directory) with mode `mode`
// and opens it for writing, under the first name from `nextName` that is free;
// a new name is asked for only while the names given are taken, and at most
// kCreateAttempts in all. Never opens an existing file or follows a link. The
// descriptor, with the file's path in `path`; -1 with errno set (EEXIST when
// every name was taken) and `path` empty when no file was made.
inline constexpr int kCreateAttempts = 100;
int CreateExclusive(FileOps& ops, const std::string& dir,
                    const std::function<std::string()>& nextName, mode_t mode, std::string& path);

// Writes all `size` bytes at `data`, carrying on after short writes and
// interrupted calls. False with errno set on failure (EIO when a write made
// no progress); some of the bytes may have been written by then.
bool WriteAll(FileOps& ops, int fd, const void* data, std::size_t size);

} // namespace platform
