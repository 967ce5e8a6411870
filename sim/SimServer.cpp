#include "sim/SimServer.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <thread>

namespace sim {
namespace {

timespec ToTimespec(std::chrono::nanoseconds span) {
    if (span.count() < 0)
        span = std::chrono::nanoseconds(0);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(span);
    return timespec{static_cast<time_t>(seconds.count()),
                    static_cast<long>((span - seconds).count())};
}

} // namespace

void SimServer::Run(int stopFd) {
    while (!m_quit) {
        TimePoint now = SteadyClock::now();
        m_suite.Advance(now);
        std::erase_if(m_clients,
                      [now](const Client& c) { return !c.fd.IsValid() || c.expires <= now; });

        std::vector<pollfd> fds;
        fds.push_back({stopFd, POLLIN, 0});
        fds.push_back({m_listenFd, POLLIN, 0});
        for (const auto& c : m_clients)
            fds.push_back({c.fd.Get(), POLLIN, 0});
        const auto wake = NextWake();
        timespec timeout{};
        if (wake)
            timeout = ToTimespec(*wake - now);
        const int ready = ppoll(fds.data(), fds.size(), wake ? &timeout : nullptr, nullptr);
        if (ready < 0 && errno != EINTR)
            return;
        if (ready <= 0)
            continue;
        if (fds[0].revents)
            return;

        for (std::size_t i = 0; i < m_clients.size(); ++i)
            if (fds[i + 2].revents)
                Serve(m_clients[i]);
        if (fds[1].revents)
            AcceptClients(SteadyClock::now());
    }
}

std::optional<TimePoint> SimServer::NextWake() const {
    auto wake = m_suite.NextDeadline();
    for (const auto& c : m_clients)
        if (!wake || c.expires < *wake)
            wake = c.expires;
    return wake;
}

void SimServer::AcceptClients(TimePoint now) {
    for (;;) {
        platform::FileDescriptor fd(
            accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd.IsValid()) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return; // EAGAIN: none left; anything else: try again on the next wake
        }
        if (m_clients.size() >= kMaxClients || !PeerIsSameUser(fd.Get()))
            continue;
        m_clients.push_back(Client{std::move(fd), now + kClientPatience});
    }
}

void SimServer::Serve(Client& client) {
    char buffer[kMaxPacket];
    const ssize_t got = recv(client.fd.Get(), buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC);
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (got > 0 && static_cast<std::size_t>(got) <= sizeof buffer) {
        const auto request = DecodeRequest(std::string_view(buffer, static_cast<std::size_t>(got)));
        if (request && m_stall.count() > 0)
            std::this_thread::sleep_for(m_stall);
        // The time is read after the stall, since the suite decides when it
        // comes back: a caller that has given up meanwhile gets no batch taken.
        const auto answer = request ? Answer(*request, SteadyClock::now()) : std::nullopt;
        if (answer) {
            const std::string reply = EncodeReply(*answer);
            // The client waits for exactly this packet; if it has gone, so be it.
            send(client.fd.Get(), reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
    }
    client.fd.Reset();
}

std::optional<int> SimServer::Answer(const Request& request, TimePoint now) {
    switch (request.verb) {
    case Verb::Running:
        return 1;
    case Verb::Count:
        return m_suite.Count(now);
    case Verb::Control:
        return m_suite.Control(request.value, now);
    case Verb::Submit: {
        if (Deadline::FromNanoseconds(request.deadlineNs).Passed(now + kAnswerMargin))
            return std::nullopt;
        const Submission submission{request.path, request.cwd, request.a,
                                    request.b,    request.c,   request.flags};
        return m_suite.Submit(submission, now);
    }
    case Verb::Foreign:
        return m_suite.AddForeign(request.value, now);
    case Verb::Quit:
        m_quit = true;
        return 1;
    }
    return std::nullopt;
}

} // namespace sim
