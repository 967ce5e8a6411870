// The queue library: the four functions of the suite's C interface, answered
// by the simulated suite over its socket. Each call opens a connection, asks,
// and closes; it gives up after a fixed budget well inside the 100 ms a caller
// may be blocked, and then answers as if the suite were not running.

#include "external/KV_VB32.h"

#include "sim/SimClient.h"
#include "sim/SocketPath.h"

#include <unistd.h>

#include <chrono>
#include <climits>
#include <string>

#define KV_EXPORT __attribute__((visibility("default")))

namespace {

constexpr std::chrono::milliseconds kCallBudget{80};

int Ask(sim::Request request) {
    const auto answer =
        sim::AskSuite(sim::DefaultSocketPath(), std::move(request), sim::Deadline::In(kCallBudget));
    return answer.value_or(0);
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
