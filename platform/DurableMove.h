#pragma once

#include "platform/FileOps.h"

#include <string>
#include <vector>

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
// copied beside the target, flushed, put under the target's name, the
// directory flushed, and only then is the source removed; a failure at any
// step leaves the source whole and nothing partial under the target's name. A
// source that is not a regular file, is a symbolic link, or is being written
// by another process is never moved.
//
// The copy keeps the source's holes: only its data extents are read and
// written, so a sparse file takes no more space at the target than at the
// source.
//
// When the target already is a second name of the source file (a hard link),
// the file counts as moved once its source name is removed. A regular file
// that we may not read (another user's) is renamed without the writer guard
// where the directory permits; across file systems, where it would have to be
// copied, it stays.
//
// The copy is made as an unnamed file (O_TMPFILE) in the target's directory
// and gets a name only when it is whole and on disk: the target's own name
// when that is free, else a temporary name that is then renamed over the
// target. Where the file system has no unnamed files, the copy is made under
// the temporary name from the start. The temporary name is "." + the
// target's name (cut short when needed, so that the whole name fits in one
// directory entry) + ".part-<pid>-<n>", in Tesmaro's own folder inside the
// target's directory (kQueueFolderName, made when missing, see
// OpenOwnFolder): what is left there by a killed move is ours by where it is.
// Where that folder cannot be had (no permission, a read-only directory, a
// link or a file under its name, a mount), the temporary name is beside the
// target, and the file carries the extended attribute kCopyOwnerAttribute
// holding that very name: the proof that it is ours, since a user's file may
// have any name. Without extended attributes such a leftover stays.
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
    // How a whole copy went under the target's name.
    enum class Placement {
        InPlace,
        InPlaceUnsure, // in place, but closing it reported an error
        Failed,        // nothing under the target's name, no temporary left
        Unnameable,    // an unnamed copy that this system cannot give a name
    };
    // A whole, flushed copy of the source beside the target: unnamed when
    // `unnamed` and the file system can, else under a fresh temporary name
    // (then in `tempPath`). -1 when it could not be made; nothing is left.
    int MakeCopy(int sourceFd, const struct stat& source, const std::string& to, bool unnamed,
                 std::string& tempPath);
    Placement PlaceNamed(FileHandle& copy, const std::string& tempPath, const std::string& to);
    Placement PlaceUnnamed(FileHandle& copy, const std::string& to);
    // Tesmaro's own folder in the directory `dir` of a target, made when
    // missing; empty when it cannot be had.
    std::string OwnFolder(const std::string& dir);
    // Creates a fresh temporary file for the target: in our folder, else
    // beside the target marked as ours; -1 when none can be made.
    int CreateTemporary(const std::string& to, mode_t mode, std::string& tempPath);
    // Names an unnamed copy with a fresh temporary name for the target: in our
    // folder, else beside the target marked as ours (then `marked`); false
    // when no name could be given.
    bool LinkTemporary(int copyFd, const std::string& to, std::string& tempPath, bool& marked);
    bool CopyContents(int sourceFd, int targetFd);
    // Copies the source's bytes from `at` up to `end` (or its end of file) to
    // the same place in the target; `at` is where the copy stopped.
    bool CopyRange(int sourceFd, int targetFd, off_t& at, off_t end);

    FileOps& m_ops;
    unsigned m_tempCounter = 0;
};

// The extended attribute that marks a temporary copy as ours; its value is
// the copy's own temporary name.
inline constexpr const char* kCopyOwnerAttribute = "user.tesmaro.copy";

// The temporary name for a copy into `targetName`'s directory by process `pid`.
std::string TemporaryCopyName(const std::string& targetName, long pid, unsigned counter);

// True when `name` is one of our temporary copy names; its process id in `pid`.
bool IsTemporaryCopyName(const std::string& name, long* pid = nullptr);

// Removes, a part at a time, the temporary copies that moves of earlier,
// ended runs left in the destination directory `dest` when they were killed:
// first those in Tesmaro's own folder there, ours by where they are, then
// those beside the targets (made where the folder could not be, or by earlier
// versions), which count as ours only when they carry kCopyOwnerAttribute
// with their own name. Either way only regular files (never links) named by
// TemporaryCopyName whose process is gone or is this very process (a run
// before a restart that reused the id) are removed, so Step must not run
// while a move of this process is under way.
//
// Each Step reads at most `maxEntries` directory entries (at least one), so a
// destination with a million names costs many short steps, not one long one.
// The directory being read stays open between steps (close-on-exec, never
// through a link, never waiting on a FIFO). A directory that cannot be opened
// or read, or that is replaced under its name meanwhile, counts as swept for
// this sweep; a new sweep tries it again.
class InterruptedCopySweep {
public:
    enum class Progress { Working, Done };

    InterruptedCopySweep(FileOps& ops, std::string dest);
    ~InterruptedCopySweep();
    InterruptedCopySweep(const InterruptedCopySweep&) = delete;
    InterruptedCopySweep& operator=(const InterruptedCopySweep&) = delete;

    Progress Step(int maxEntries);
    // The leftovers removed so far.
    int Removed() const { return m_removed; }

private:
    enum class Stage { Folder, Destination, Done };
    // Opens the directory of the current stage; false when it cannot.
    bool OpenStage();
    void NextStage();
    // Removes the leftovers among `names`, read from the open directory; false
    // when that directory is no longer the one under its name.
    bool RemoveLeftovers(const std::vector<std::string>& names);

    FileOps& m_ops;
    std::string m_dest;
    std::string m_dir; // the directory being read
    Stage m_stage = Stage::Folder;
    int m_fd = -1;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    int m_removed = 0;
};

// A whole sweep of `dir` at once; how many leftovers it removed.
int RemoveInterruptedCopies(FileOps& ops, const std::string& dir);

} // namespace platform
