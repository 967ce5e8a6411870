#pragma once

#include <string>

#include <sys/un.h>

namespace sim {

// Fills a Unix socket address; false when the path does not fit.
bool MakeUnixAddress(const std::string& path, sockaddr_un& address);

// True when the peer of a connected Unix socket runs as our own user.
bool PeerIsSameUser(int fd);

} // namespace sim
