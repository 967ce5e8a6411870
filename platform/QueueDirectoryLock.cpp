#include "platform/QueueDirectoryLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace platform {

namespace {

enum class LockAttempt { Taken, Busy, Failed };

LockAttempt TryLock(int fd) {
    int rc;
    do
        rc = flock(fd, LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    if (rc == 0)
        return LockAttempt::Taken;
    return errno == EWOULDBLOCK ? LockAttempt::Busy : LockAttempt::Failed;
}

} // namespace

QueueDirectoryLock::State QueueDirectoryLock::Hold(const std::string& dir) {
    // O_NONBLOCK: a FIFO planted under the name is refused as not a directory
    // and never waited on.
    FileDescriptor fresh(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (!fresh.IsValid() || fstat(fresh.Get(), &st) != 0)
        return m_state = State::Unavailable;

    if (m_fd.IsValid() && st.st_dev == m_device && st.st_ino == m_inode) {
        fresh.Reset();
        if (!m_locked) {
            const LockAttempt attempt = TryLock(m_fd.Get());
            if (attempt == LockAttempt::Failed)
                return m_state = State::Unavailable;
            m_locked = attempt == LockAttempt::Taken;
        }
        return m_state = m_locked ? State::Held : State::HeldElsewhere;
    }

    const LockAttempt attempt = TryLock(fresh.Get());
    if (attempt == LockAttempt::Failed)
        return m_state = State::Unavailable;
    Release();
    m_fd = std::move(fresh);
    m_locked = attempt == LockAttempt::Taken;
    m_device = st.st_dev;
    m_inode = st.st_ino;
    return m_state = m_locked ? State::Held : State::HeldElsewhere;
}

void QueueDirectoryLock::Release() {
    // Closing the only descriptor of the open description drops its lock.
    m_fd.Reset();
    m_locked = false;
    m_state = State::Unavailable;
}

} // namespace platform
