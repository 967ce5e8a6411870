#pragma once

#include "sim/SimLog.h"
#include "support/ChildUnderTest.h"
#include "support/WaitUntil.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace simtest {

using namespace std::chrono_literals;

using testsupport::WaitUntil;

// korvane-sim as a child process of a test, with its own socket and log file.
// The destructor stops it (SIGTERM, then SIGKILL) and reaps it; Kill leaves
// its socket file behind, Pause and Resume make a suite that hangs and one
// that wakes up again.
class SimProcess : public testsupport::ChildUnderTest {
public:
    struct Options {
        std::string socketPath; // required
        std::string logPath;    // empty: no log
        std::string itemSeconds = "1";
        bool noResults = false;
        bool refuseAll = false;
        std::vector<std::string> extraArgs;
        std::string outputPath; // its stdout and stderr; empty: socketPath + ".out"
    };
    static Options MakeOptions(std::string socketPath, std::string logPath,
                               std::string itemSeconds = "1") {
        Options o;
        o.socketPath = std::move(socketPath);
        o.logPath = std::move(logPath);
        o.itemSeconds = std::move(itemSeconds);
        return o;
    }

    // The built korvane-sim.
    static std::string Executable();

    explicit SimProcess(Options options);

    // Starts it and waits until it answers on its socket. False when it could
    // not be started, ended, or did not answer in time.
    bool Start(std::chrono::milliseconds timeout = 10s);

    const Options& Settings() const { return m_options; }
    // True when it answers a call on its socket right now.
    bool Answers() const;

    std::vector<SimLogEntry> Log() const;
    // Waits until the log satisfies a condition.
    bool WaitForLog(const std::function<bool(const std::vector<SimLogEntry>&)>& condition,
                    std::chrono::milliseconds timeout) const;
    // What it printed so far.
    std::string Output() const;

    // Runs "korvane-sim --socket <this socket> <args...>" to its end; the exit
    // status, or -1 when it could not run or did not end in time.
    int RunCommand(const std::vector<std::string>& args, std::string* output = nullptr) const;

private:
    Options m_options;
};

using testsupport::RunProgram;

} // namespace simtest
