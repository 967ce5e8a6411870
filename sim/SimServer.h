#pragma once

#include "platform/FileDescriptor.h"
#include "sim/Deadline.h"
#include "sim/Protocol.h"
#include "sim/SimSuite.h"
#include "sim/UnixSocket.h"

#include <chrono>
#include <optional>
#include <vector>

namespace sim {

// The daemon's event loop: one thread, one poll over the stop descriptor, the
// listening socket and the connected clients, woken also when the running
// item ends. Each client sends one request and gets one reply.
class SimServer {
public:
    // A client that has not sent its request by then is dropped.
    static constexpr std::chrono::seconds kClientPatience{2};
    static constexpr std::size_t kMaxClients = 64;
    // A submission is only taken when its caller will still be waiting for
    // the answer, so that an accepted batch is never reported as refused.
    static constexpr std::chrono::milliseconds kAnswerMargin{20};

    // stall: how long the suite takes over each call before it answers, as a
    // busy suite may; it serves nothing else meanwhile.
    SimServer(SimSuite& suite, int listenFd, std::chrono::nanoseconds stall = {})
        : m_suite(suite), m_listenFd(listenFd), m_stall(stall) {}

    // Serves until stopFd becomes readable or a client asks to quit.
    void Run(int stopFd);

    // The answer to one request; empty when none is due.
    std::optional<int> Answer(const Request& request, TimePoint now);

private:
    struct Client {
        platform::FileDescriptor fd;
        TimePoint expires;
    };

    void AcceptClients(TimePoint now);
    void Serve(Client& client);
    std::optional<TimePoint> NextWake() const;

    SimSuite& m_suite;
    int m_listenFd;
    std::chrono::nanoseconds m_stall;
    std::vector<Client> m_clients;
    bool m_quit = false;
};

} // namespace sim
