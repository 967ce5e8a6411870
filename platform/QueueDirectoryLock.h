#pragma once

#include "platform/FileDescriptor.h"

#include <string>
#include <sys/types.h>

namespace platform {

// An advisory lock on a directory itself (flock LOCK_EX|LOCK_NB on an
// O_RDONLY|O_DIRECTORY|O_CLOEXEC descriptor of it), so that only one process
// on this machine works a queue directory, whatever user, session or runtime
// directory it has. The kernel drops it when the process dies.
//
// The lock belongs to the open descriptor, not to the process: two objects in
// one process exclude each other like two processes do, and a child made by
// fork shares the parent's lock until both have let go of it.
class QueueDirectoryLock {
public:
    enum class State {
        Held,          // this object holds the directory's lock
        HeldElsewhere, // another holder has it; the next Hold tries again
        Unavailable,   // the directory cannot be opened or locked, or nothing is held yet
    };

    QueueDirectoryLock() = default;
    QueueDirectoryLock(const QueueDirectoryLock&) = delete;
    QueueDirectoryLock& operator=(const QueueDirectoryLock&) = delete;

    // Holds the lock on `dir`, whichever path leads to it (a link, "a/../b").
    // When `dir` still names the directory already aimed at, nothing changes,
    // or the lock is tried again if someone else had it. When it names another
    // directory, that one is tried, and the old lock goes only once the new one
    // is taken or found taken elsewhere; while the new one cannot be opened or
    // locked, the old one is kept, so a directory that comes back as itself is
    // still ours. One open, one status and one close when nothing changes:
    // cheap enough for every tick.
    State Hold(const std::string& dir);
    // Lets the lock go; the state becomes Unavailable.
    void Release();
    State GetState() const { return m_state; }

private:
    FileDescriptor m_fd; // the directory aimed at, locked or not
    bool m_locked = false;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    State m_state = State::Unavailable;
};

} // namespace platform
