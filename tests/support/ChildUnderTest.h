#pragma once

#include "platform/ChildProcess.h"

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace testsupport {

struct SpawnRequest {
    std::vector<std::string> argv; // argv[0] is the program's path
    // Set in its environment, replacing the test's value of the same name.
    std::vector<std::pair<std::string, std::string>> environment;
    std::string outputPath;       // its stdout and stderr, appended; required
    std::string workingDirectory; // empty: the test's own
    // Left out of its environment, even when named above.
    std::vector<std::string> unsetEnvironment = {};
    // As a plain fork and exec: it also gets the test's descriptors that are
    // not close-on-exec and the signals the test ignores.
    bool inheritAll = false;
};

// A program started by a test: no shell, stdin from /dev/null, no descriptor
// of the test runner above 2, default signal dispositions and an empty mask
// (unless it is to inherit all), waited for through a pidfd. The destructor
// stops it (SIGTERM, then SIGKILL) and reaps it.
class ChildUnderTest {
public:
    ChildUnderTest() = default;
    ~ChildUnderTest();
    ChildUnderTest(const ChildUnderTest&) = delete;
    ChildUnderTest& operator=(const ChildUnderTest&) = delete;

    // False when it runs already or could not be started.
    bool Start(const SpawnRequest& request);
    // SIGCONT (a stopped child must act on the rest) and SIGTERM, then waits
    // for the end; SIGKILL when it does not end in time. The exit status (128
    // + signal when a signal ended it), or empty when it had to be killed or
    // was not running.
    std::optional<int> Stop(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // SIGKILL, as when the machine kills it, and reaps it.
    void Kill();
    // Waits for it to end by itself; the exit status (128 + signal), or empty
    // when it still runs at the end of the wait.
    std::optional<int> WaitForExit(std::chrono::milliseconds timeout);
    // True when it has ended (it is reaped then).
    bool HasEnded() { return !IsRunning() || WaitForExit(std::chrono::milliseconds(0)); }
    // SIGSTOP, and waits until it has stopped. False when it was not running
    // or ended instead (it is reaped then).
    bool Pause();
    // SIGCONT after a pause; false when it was not running.
    bool Resume();
    // True while it has been started and not yet reaped; it may have ended.
    bool IsRunning() const { return m_child.has_value(); }
    pid_t Pid() const { return m_child ? m_child->Pid() : -1; }

private:
    std::optional<platform::ChildProcess> m_child;
};

// Runs a program to its end, its output appended to outputPath; the exit
// status, or -1 when it could not run or did not end in time (it is killed).
int RunProgram(const std::vector<std::string>& argv, const std::string& outputPath,
               std::chrono::milliseconds timeout);

} // namespace testsupport
