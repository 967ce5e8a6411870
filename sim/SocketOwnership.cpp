#include "sim/SocketOwnership.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sim {
namespace {

constexpr int kBacklog = 64;

std::string Reason(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

SocketOwnership::SocketOwnership(std::string socketPath)
    : m_socketPath(std::move(socketPath)), m_lockPath(m_socketPath + ".lock") {}

SocketOwnership::~SocketOwnership() {
    m_listen.Reset();
    struct stat st {};
    if (m_bound && lstat(m_socketPath.c_str(), &st) == 0 && st.st_dev == m_socketDevice &&
        st.st_ino == m_socketInode)
        unlink(m_socketPath.c_str());
    // Removed while still held; a starter that opened the old file sees it is
    // no longer the lock file and opens the new one.
    if (m_lock.IsValid())
        unlink(m_lockPath.c_str());
}

bool SocketOwnership::Take(std::string* error) {
    sockaddr_un address{};
    if (!MakeUnixAddress(m_socketPath, address)) {
        *error = "the socket path is empty or too long for a Unix socket: " + m_socketPath;
        return false;
    }
    return Lock(error) && ClearStaleSocket(error) && Bind(error);
}

bool SocketOwnership::Lock(std::string* error) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        platform::FileDescriptor fd(
            open(m_lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600));
        struct stat held {};
        if (!fd.IsValid() || fstat(fd.Get(), &held) != 0) {
            *error = Reason("cannot open the lock file " + m_lockPath);
            return false;
        }
        if (!S_ISREG(held.st_mode) || held.st_uid != geteuid()) {
            *error = "the lock file " + m_lockPath + " is not a file of this user";
            return false;
        }
        if (flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
            *error = errno == EWOULDBLOCK ? "another korvane-sim already serves " + m_socketPath
                                          : Reason("cannot lock " + m_lockPath);
            return false;
        }
        struct stat named {};
        if (stat(m_lockPath.c_str(), &named) == 0 && SameFile(held, named)) {
            m_lock = std::move(fd);
            return true;
        }
        // The previous owner removed the file between our open and our lock.
    }
    *error = "cannot settle the lock file " + m_lockPath;
    return false;
}

bool SocketOwnership::ClearStaleSocket(std::string* error) {
    struct stat st {};
    if (lstat(m_socketPath.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return true;
        *error = Reason("cannot inspect " + m_socketPath);
        return false;
    }
    if (!S_ISSOCK(st.st_mode)) {
        *error = m_socketPath + " exists and is not a socket";
        return false;
    }
    if (unlink(m_socketPath.c_str()) != 0 && errno != ENOENT) {
        *error = Reason("cannot remove the stale socket " + m_socketPath);
        return false;
    }
    return true;
}

bool SocketOwnership::Bind(std::string* error) {
    sockaddr_un address{};
    MakeUnixAddress(m_socketPath, address);
    platform::FileDescriptor fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.IsValid()) {
        *error = Reason("cannot create a socket");
        return false;
    }
    // The socket file is born with mode 0600: nobody else may talk to the suite.
    const mode_t oldMask = umask(0177);
    const int bound = bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int bindErrno = errno;
    umask(oldMask);
    if (bound != 0) {
        errno = bindErrno;
        *error = Reason("cannot bind " + m_socketPath);
        return false;
    }
    struct stat st {};
    if (lstat(m_socketPath.c_str(), &st) == 0) {
        m_socketDevice = st.st_dev;
        m_socketInode = st.st_ino;
    }
    m_bound = true;
    if (chmod(m_socketPath.c_str(), 0600) != 0 || listen(fd.Get(), kBacklog) != 0) {
        *error = Reason("cannot listen on " + m_socketPath);
        return false;
    }
    m_listen = std::move(fd);
    return true;
}

} // namespace sim
