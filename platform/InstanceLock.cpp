#include "platform/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace platform {

namespace {

constexpr const char* kLockName = "Tesmaro_Running";

bool IsAbsoluteDirectory(const char* dir) {
    return dir != nullptr && dir[0] == '/';
}

} // namespace

std::string InstanceLockPath(const char* runtimeDir, const char* tempDir, uid_t uid) {
    if (IsAbsoluteDirectory(runtimeDir))
        return std::string(runtimeDir) + "/" + kLockName;
    const std::string temp = IsAbsoluteDirectory(tempDir) ? tempDir : "/tmp";
    return temp + "/" + kLockName + "-" + std::to_string(uid);
}

std::string InstanceLockPath() {
    return InstanceLockPath(std::getenv("XDG_RUNTIME_DIR"), std::getenv("TMPDIR"), getuid());
}

InstanceLock::InstanceLock(const std::string& path) {
    // No links followed and no blocking on a planted FIFO; the descriptor is
    // never inherited by programs this process starts.
    m_fd.Reset(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
    if (!m_fd.IsValid())
        return;
    // Only a regular file of our own counts: in a shared temporary directory
    // another user could otherwise keep this program from ever starting.
    struct stat st {};
    if (fstat(m_fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid())
        return;
    int rc;
    do
        rc = flock(m_fd.Get(), LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    if (rc == 0)
        m_state = State::Acquired;
    else if (errno == EWOULDBLOCK)
        m_state = State::HeldElsewhere;
}

} // namespace platform
