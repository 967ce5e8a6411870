// The queue library: the four functions of the suite's C interface, answered
// by the simulated suite over its socket. Each call opens a connection, asks,
// and closes. A suite that is not there (no socket, nothing listening, a
// full backlog) gets its answer at once: not running, 0. One that is there is waited for, since
// a hand-over, a stop or a count may take a suite seconds, and a 0 given
// before it has decided reads as "refused" or "queue empty" to the caller:
// a batch filed as failed that the suite never saw, or one completed while it
// still runs. Every wait is bounded all the same, so that a hung suite cannot
// hang its caller; when it is over, the call answers as if the suite were not
// running, and the suite, told the caller's deadline, takes no batch after it.

#include "external/KV_VB32.h"

#include "sim/SimClient.h"
#include "sim/SocketPath.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <string>

#define KV_EXPORT __attribute__((visibility("default")))

namespace {

// The running probe waits less than the other calls: it is asked on every
// tick and repaint, also while the suite hangs, and its 0 only makes the
// caller wait for the next tick; it fails, completes or stops nothing.
constexpr std::chrono::milliseconds kProbeWait{2000};

std::chrono::milliseconds Wait(sim::Verb verb) {
    const auto wait = sim::LibraryWait(std::getenv("KORVANE_SIM_WAIT_MS"));
    return verb == sim::Verb::Running ? std::min(wait, kProbeWait) : wait;
}

int Ask(sim::Request request) {
    const auto deadline = sim::Deadline::In(Wait(request.verb));
    return sim::AskSuite(sim::DefaultSocketPath(), std::move(request), deadline).value_or(0);
}

// The caller's working directory, so that the suite resolves a relative path
// as the caller meant it; empty when unknown.
std::string WorkingDirectory() {
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string();
}

} // namespace

extern "C" {

KV_EXPORT int IsKorvaneRunning(void) {
    sim::Request request;
    request.verb = sim::Verb::Running;
    return Ask(request) != 0 ? 1 : 0;
}

KV_EXPORT int GetNumberOfQueueItems(void) {
    sim::Request request;
    request.verb = sim::Verb::Count;
    return Ask(request);
}

KV_EXPORT int QueueControl(int code) {
    sim::Request request;
    request.verb = sim::Verb::Control;
    request.value = code;
    return Ask(request);
}

KV_EXPORT int QueueSampleBatch(const char* path, int a, int b, int c, int flags) {
    sim::Request request;
    request.verb = sim::Verb::Submit;
    request.path = path ? path : "";
    request.a = a;
    request.b = b;
    request.c = c;
    request.flags = flags;
    if (request.path.empty() || request.path.front() != '/')
        request.cwd = WorkingDirectory();
    return Ask(std::move(request));
}

} // extern "C"
