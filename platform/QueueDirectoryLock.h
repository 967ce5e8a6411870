#pragma once

#include "platform/FileDescriptor.h"
#include "platform/FileOps.h"

#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>

namespace platform {

// The lock that lets one Tesmaro at a time work a queue directory, whoever
// runs it and through whichever mount or host it reaches the directory.
//
// It lives in Tesmaro's own folder inside the queue directory (kQueueFolderName),
// made on first use with the queue directory's group and group permissions and
// never with access for others, so only someone who may open that folder can
// hold the lock. The lock is the file "lock" there, created exclusively, which
// names its holder (host, boot, process, a token of the holding object) and a
// heartbeat count:
//   - on one mount, the holder also keeps a kernel lock (flock) on it, so a
//     holder that died is seen at once;
//   - on this machine, a holder's process is looked up, so a lock left by a
//     process that ended, or before a reboot, is taken over at once;
//   - from another host (or a view where neither tells), the holder rewrites
//     its heartbeat every kHeartbeatSeconds; a lock whose text has not changed
//     for kStaleSeconds of this process's own steady clock, plus the longest
//     silence its holder announced (SetLongestSilence), is stale.
// A stale lock is renamed aside, checked to be the one judged stale, and
// replaced by a fresh exclusive one; the holder checks on every Hold that the
// lock file is still its own.
class QueueDirectoryLock {
public:
    enum class State {
        Held,          // this object holds the queue directory
        HeldElsewhere, // another Tesmaro holds it; the next Hold tries again
        HeldByOther,   // something that is not a Tesmaro holds or blocks the lock file
        Unwritable,    // the directory is there, but its folder or lock cannot be made (Error())
        Unavailable,   // the directory cannot be opened, or nothing is held yet
    };

    static constexpr std::int64_t kHeartbeatSeconds = 5;
    static constexpr std::int64_t kStaleSeconds = 60;

    // `steadySeconds` is a clock that never steps (tests pass their own).
    explicit QueueDirectoryLock(FileOps& ops = DefaultFileOps(),
                                std::function<std::int64_t()> steadySeconds = {});
    ~QueueDirectoryLock();
    QueueDirectoryLock(const QueueDirectoryLock&) = delete;
    QueueDirectoryLock& operator=(const QueueDirectoryLock&) = delete;

    // Holds, or keeps holding, the lock of the queue directory `dir`. Aimed at
    // another directory than before (or at one replaced under the same name),
    // the old lock goes first, whether or not the new one can be taken. Cheap
    // enough for every tick: a look at the lock file, and a rewrite of the
    // heartbeat every kHeartbeatSeconds.
    State Hold(const std::string& dir);
    // Lets the lock go (its file is removed when it is still ours); the state
    // becomes Unavailable.
    void Release();
    State GetState() const { return m_state; }
    // True while the lock taken by the last Hold is still this object's: a
    // look at the lock file, for the moments before something is recorded or
    // handed over.
    bool StillHeld();
    // Changes whenever this object takes the lock anew: what was read under an
    // earlier hold may have been changed by another holder since.
    std::uint64_t Generation() const { return m_generation; }
    // The longest this holder may go without a Hold (a tick that waits for a
    // viewer), announced in the lock file so that other hosts wait that much
    // longer before they take the lock over.
    void SetLongestSilence(std::int64_t seconds) { m_longestSilence = seconds; }
    // The errno behind Unwritable or HeldByOther, else 0.
    int Error() const { return m_error; }
    // The folder of the directory aimed at: "<dir>/.tesmaro".
    const std::string& Folder() const { return m_folder; }
    // The mode for files made in the folder: the folder's group bits, never others'.
    mode_t FileMode() const { return m_fileMode; }

private:
    // Opens (making it when missing) the folder; false with m_error set.
    bool OpenFolder(const struct stat& queue);
    // Tries to take the lock file; the resulting state.
    State TryTake();
    // Creates a fresh lock file of ours; Held, or why not.
    State CreateOwn();
    // Looks at the lock file someone else made; stale lock files are taken over.
    State JudgeOther(int fd);
    State TakeOverStale(const std::string& judged);
    State TakeOverOwn();
    // Keeps `fd` as the lock file now held: a new generation of the hold.
    State Own(int fd, ino_t inode);
    // True while the lock file at the path is still the one this object made.
    bool StillOurs();
    void Beat();
    std::string OwnText() const;

    FileOps& m_ops;
    std::function<std::int64_t()> m_steady;
    std::string m_dir;
    std::string m_folder;
    std::string m_lockPath;
    dev_t m_dirDevice = 0;
    ino_t m_dirInode = 0;
    bool m_aimed = false;
    mode_t m_fileMode = 0600;
    int m_fd = -1; // our lock file while held
    ino_t m_lockInode = 0;
    std::uint64_t m_token;
    std::uint64_t m_beat = 0;
    std::int64_t m_longestSilence = 0;
    std::uint64_t m_generation = 0;
    std::int64_t m_lastBeat = 0;
    // What the other holder's lock file said, and since when (steady seconds).
    std::string m_seenText;
    std::int64_t m_seenSince = 0;
    unsigned m_counter = 0;
    State m_state = State::Unavailable;
    int m_error = 0;
};

// The name of Tesmaro's own folder inside a queue directory, and inside a
// destination directory for the temporary copies of moves.
inline constexpr const char* kQueueFolderName = ".tesmaro";

// Opens Tesmaro's own folder `folder` inside the directory whose status is
// `parent`, making it (one level) when missing: mode 0700 plus the parent's
// group bits, the parent's group, and set-group-id where that group may
// write, so that neither the umask nor the process's primary group decides
// who shares it. A symbolic link or anything else than a directory under its
// name is refused (ELOOP), never followed. The descriptor (read-only,
// close-on-exec), with the folder's status in `st`; -1 with errno set.
int OpenOwnFolder(FileOps& ops, const std::string& folder, const struct stat& parent,
                  struct stat& st);

} // namespace platform
