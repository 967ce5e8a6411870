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
//
// When the target already is a second name of the source file (a hard link),
// the file counts as moved once its source name is removed. A regular file
// that we may not read (another user's) is renamed without the writer guard
// where the directory permits; across file systems, where it would have to be
// copied, it stays.
//
// The temporary copy is named "." + the target's name (cut short when needed,
// so that the whole name fits in one directory entry) + ".part-<pid>-<n>": a
// copy interrupted by a crash is recognisable and removed at the next start by
// RemoveInterruptedCopies, and no user's file is ever taken for one.
class DurableMove {
public:
    explicit DurableMove(FileOps& ops = DefaultFileOps()) : m_ops(ops) {}

    MoveResult operator()(const std::string& from, const std::string& to);

private:
    // What the target's name holds, compared with the source file.
    enum class Target {
        Elsewhere, // nothing, or another file: the move replaces it
        OtherName, // a second name of the source file: the file is filed already
        SameEntry, // the source's own entry, reached by another path
        Unknown,   // it cannot be examined
    };
    Target ExamineTarget(const std::string& from, const std::string& to, const struct stat& source);
    // True when the target decides the move before any rename, with its result:
    // a second name of the source (the source name is removed), or a target
    // that cannot be examined (nothing is done).
    bool SettledByTarget(const std::string& from, const std::string& to, const struct stat& source,
                         MoveResult& result);
    // The move of a regular file that we may not open: a rename or nothing.
    MoveResult RenameUnreadable(const std::string& from, const std::string& to);
    MoveResult CopyAcross(int sourceFd, const struct stat& source, const std::string& from,
                          const std::string& to, const ReadLease& lease);
    // Creates a fresh temporary file beside the target; -1 when none can be made.
    int CreateTemporary(const std::string& to, mode_t mode, std::string& tempPath);
    bool CopyContents(int sourceFd, int targetFd);
    bool SyncDirectoryOf(const std::string& path);

    FileOps& m_ops;
    unsigned m_tempCounter = 0;
};

// The temporary name for a copy into `targetName`'s directory by process `pid`.
std::string TemporaryCopyName(const std::string& targetName, long pid, unsigned counter);

// True when `name` is one of our temporary copy names; its process id in `pid`.
bool IsTemporaryCopyName(const std::string& name, long* pid = nullptr);

// Removes from `dir` the temporary copies that a move of an earlier, ended run
// left behind when it was killed: regular files (never links) named by
// TemporaryCopyName whose process is gone or is this very process (a run
// before a restart that reused the id; this process has no copy under way
// while it sweeps). Returns how many it removed.
int RemoveInterruptedCopies(FileOps& ops, const std::string& dir);

} // namespace platform
