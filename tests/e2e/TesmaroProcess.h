#pragma once

#include "support/ChildUnderTest.h"

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace e2e {

using namespace std::chrono_literals;

// The desktop program as a child process of a test: its own environment on top
// of the test's, its own current directory, its output in a file, no shell.
// The destructor stops it (SIGTERM, then SIGKILL) and reaps it.
class TesmaroProcess {
public:
    struct Options {
        std::string workingDirectory; // empty: the test's own
        // Set in its environment, replacing the test's value of the same name.
        std::vector<std::pair<std::string, std::string>> environment;
        std::string outputPath; // its stdout and stderr, appended; required
    };

    // The built program.
    static std::string Executable();

    explicit TesmaroProcess(Options options);
    ~TesmaroProcess();
    TesmaroProcess(const TesmaroProcess&) = delete;
    TesmaroProcess& operator=(const TesmaroProcess&) = delete;

    // Starts it; false when it could not be started.
    bool Start();
    // SIGTERM, then waits for the end; SIGKILL when it does not end in time.
    // The exit status (128 + signal when a signal ended it), or empty when it
    // had to be killed or was not running.
    std::optional<int> Stop(std::chrono::milliseconds timeout = 10s);
    // SIGKILL, as when the machine kills it.
    void Kill();
    // Waits for it to end by itself; the exit status (128 + signal), or empty
    // when it still runs at the end of the wait.
    std::optional<int> WaitForExit(std::chrono::milliseconds timeout);
    // True while it has been started and not yet reaped; it may have ended.
    bool IsRunning() const { return m_child.IsRunning(); }
    // True when it has ended (it is reaped then).
    bool HasEnded();
    pid_t Pid() const { return m_child.Pid(); }
    // What it printed so far.
    std::string Output() const;

private:
    Options m_options;
    testsupport::ChildUnderTest m_child;
};

} // namespace e2e
