#include "sim/SimClient.h"

#include "platform/FileDescriptor.h"
#include "sim/UnixSocket.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace sim {
namespace {

// Waits until fd is ready for events or the deadline passes.
bool WaitFor(int fd, short events, const Deadline& deadline) {
    for (;;) {
        const int left = deadline.MillisecondsLeft();
        if (left <= 0)
            return false;
        pollfd p{fd, events, 0};
        const int n = poll(&p, 1, left);
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
}

bool Connect(int fd, const sockaddr_un& address, const Deadline& deadline) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return true;
    // A full backlog (EAGAIN) means the suite is not taking calls: no answer.
    if (errno != EINPROGRESS && errno != EINTR)
        return false;
    if (!WaitFor(fd, POLLOUT, deadline))
        return false;
    int error = 0;
    socklen_t len = sizeof error;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
}

bool SendPacket(int fd, const std::string& packet, const Deadline& deadline) {
    for (;;) {
        const ssize_t sent = send(fd, packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent == static_cast<ssize_t>(packet.size()))
            return true;
        if (sent >= 0 || (errno != EAGAIN && errno != EINTR))
            return false;
        if (!WaitFor(fd, POLLOUT, deadline))
            return false;
    }
}

std::optional<std::string> ReceivePacket(int fd, const Deadline& deadline) {
    char buffer[64];
    for (;;) {
        if (!WaitFor(fd, POLLIN, deadline))
            return std::nullopt;
        const ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC);
        if (got > 0 && static_cast<std::size_t>(got) <= sizeof buffer)
            return std::string(buffer, static_cast<std::size_t>(got));
        if (got >= 0 || (errno != EAGAIN && errno != EINTR))
            return std::nullopt; // closed, oversized or failed
    }
}

} // namespace

std::optional<int> AskSuite(const std::string& socketPath, Request request, Deadline deadline) {
    sockaddr_un address{};
    if (!MakeUnixAddress(socketPath, address))
        return std::nullopt;
    request.deadlineNs = deadline.Nanoseconds();
    const auto packet = EncodeRequest(request);
    if (!packet)
        return std::nullopt;

    platform::FileDescriptor fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.IsValid() || !Connect(fd.Get(), address, deadline) || !PeerIsSameUser(fd.Get()) ||
        !SendPacket(fd.Get(), *packet, deadline))
        return std::nullopt;
    const auto reply = ReceivePacket(fd.Get(), deadline);
    return reply ? DecodeReply(*reply) : std::nullopt;
}

std::chrono::milliseconds LibraryWait(const char* text) {
    if (!text)
        return kLibraryWait;
    const char* end = text + std::strlen(text);
    long long ms = 0;
    const auto [ptr, ec] = std::from_chars(text, end, ms);
    if (ptr == text || ec != std::errc() || ptr != end || ms < 1 || ms > kLibraryWait.count())
        return kLibraryWait;
    return std::chrono::milliseconds(ms);
}

} // namespace sim
