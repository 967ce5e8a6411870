#pragma once

#include "sim/Deadline.h"
#include "sim/Protocol.h"

#include <optional>
#include <string>

namespace sim {

// One question to the suite: connect, send the request, read the one-packet
// reply, close. Never blocks past the deadline, whatever the other side does
// (absent, stopped, closing mid-call), and never raises SIGPIPE. Empty when no
// answer arrived in time, or when the socket belongs to another user.
std::optional<int> AskSuite(const std::string& socketPath, Request request, Deadline deadline);

} // namespace sim
