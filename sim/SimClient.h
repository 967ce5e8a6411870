#pragma once

#include "sim/Deadline.h"
#include "sim/Protocol.h"

#include <chrono>
#include <optional>
#include <string>

namespace sim {

// One question to the suite: connect, send the request, read the one-packet
// reply, close. Never blocks past the deadline, whatever the other side does
// (absent, stopped, closing mid-call), and never raises SIGPIPE. Empty when no
// answer arrived in time, or when the socket belongs to another user.
std::optional<int> AskSuite(const std::string& socketPath, Request request, Deadline deadline);

// How long the queue library waits for the suite to answer a call. A suite may
// take seconds over a hand-over; only a suite that has not answered by then is
// taken for hung.
constexpr std::chrono::milliseconds kLibraryWait{10'000};

// The library's wait as set by KORVANE_SIM_WAIT_MS (text may be null): a whole
// number of milliseconds from 1 to kLibraryWait, which can only shorten it;
// kLibraryWait when unset or anything else.
std::chrono::milliseconds LibraryWait(const char* text);

} // namespace sim
