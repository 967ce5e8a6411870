#pragma once

#include "platform/FileDescriptor.h"
#include "sim/UnixSocket.h"

#include <string>

#include <sys/types.h>

namespace sim {

// The right to serve one socket path. A lock file beside the socket, held for
// the life of the daemon, decides which daemon owns the path; the kernel drops
// the lock when its holder dies however it dies, so a socket file found while
// holding the lock is a stale leftover and may be replaced.
class SocketOwnership {
public:
    explicit SocketOwnership(std::string socketPath);
    ~SocketOwnership();
    SocketOwnership(const SocketOwnership&) = delete;
    SocketOwnership& operator=(const SocketOwnership&) = delete;

    // Takes the lock, clears a stale socket and binds a listening socket that
    // only our own user may use (mode 0600). False with a reason otherwise.
    bool Take(std::string* error);
    int ListenFd() const { return m_listen.Get(); }
    const std::string& Path() const { return m_socketPath; }

private:
    bool Lock(std::string* error);
    bool ClearStaleSocket(std::string* error);
    bool Bind(std::string* error);

    std::string m_socketPath;
    std::string m_lockPath;
    platform::FileDescriptor m_lock;
    platform::FileDescriptor m_listen;
    dev_t m_socketDevice = 0;
    ino_t m_socketInode = 0;
    bool m_bound = false;
};

} // namespace sim
