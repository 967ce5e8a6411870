#pragma once

#include "platform/FileOps.h"

#include <string>

namespace platform {

class ReadLease;

enum class MoveResult {
    Moved,            // the file is under the target's name and gone from the source
    CopiedSourceKept, // a whole copy is under the target's name; the source stays as well
    SourceBusy,       // another process has the source open for writing: nothing was done
    Failed,           // nothing was done: the source is whole, the target untouched
};

// Moves one regular file, replacing a file of the same name at the target. On
// one file system this is a single rename. Across file systems the file is
// copied to a temporary name beside the target, flushed, renamed over the
// target, the directory flushed, and only then is the source removed; a failure
// at any step leaves the source whole and nothing partial under the target's
// name. A source that is not a regular file, is a symbolic link, or is being
// written by another process is never moved.
class DurableMove {
public:
    explicit DurableMove(FileOps& ops = DefaultFileOps()) : m_ops(ops) {}

    MoveResult operator()(const std::string& from, const std::string& to);

private:
    MoveResult CopyAcross(int sourceFd, const struct stat& source, const std::string& from,
                          const std::string& to, const ReadLease& lease);
    // Creates a fresh temporary file beside the target; -1 when none can be made.
    int CreateTemporary(const std::string& to, mode_t mode, std::string& tempPath);
    bool CopyContents(int sourceFd, int targetFd);
    bool SyncDirectoryOf(const std::string& path);

    FileOps& m_ops;
    unsigned m_tempCounter = 0;
};

} // namespace platform
