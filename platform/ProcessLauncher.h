#pragma once

#include "platform/ChildProcess.h"

#include <chrono>
#include <cstddef>

namespace platform {

// How one run that was asked for went.
struct RunOutcome {
    enum class End {
        NotStarted,   // it could not be started; `code` is the errno
        Exited,       // it ended by itself; `code` is its exit status
        Killed,       // a signal ended it; `code` is the signal number
        StillRunning, // the time-out passed first; it runs on
    };
    End end = End::NotStarted;
    int code = 0;

    bool Started() const { return end != End::NotStarted; }
};

// Starts a program and waits a bounded time for it to end.
class ProcessLauncher {
public:
    virtual ~ProcessLauncher() = default;
    // Starts the program and waits for it to end, at most `timeout` (none at
    // all when 0 or less). A program still running then keeps running.
    virtual RunOutcome RunAndWait(const ProcessRequest& request,
                                  std::chrono::milliseconds timeout) = 0;
    // Reaps programs that outlived their wait and have ended since.
    virtual void ReapEnded() = 0;
};

// Starts real processes; keeps those that outlive their wait until they end.
// Programs still running when the launcher goes are left to run; the system
// reaps them once this process has ended.
class SpawningLauncher final : public ProcessLauncher {
public:
    RunOutcome RunAndWait(const ProcessRequest& request,
                          std::chrono::milliseconds timeout) override;
    void ReapEnded() override { m_reaper.ReapEnded(); }
    // Programs that outlived their wait and were not yet seen to end.
    const ChildReaper& Outliving() const { return m_reaper; }

private:
    ChildReaper m_reaper;
};

} // namespace platform
