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
        Interrupted,  // a stop was asked for during the wait; it runs on
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
    // True once this process is to stop: no further wait is worth starting.
    virtual bool StopRequested() const { return false; }
};

// Starts real processes; keeps those that outlive their wait until they end.
// Programs still running when the launcher goes are left to run; the system
// reaps them once this process has ended.
// A wait also ends as soon as `stopFd` (when not -1) is readable: a
// descriptor that becomes readable once this process is to stop, and stays so.
class SpawningLauncher final : public ProcessLauncher {
public:
    explicit SpawningLauncher(int stopFd = -1) : m_stopFd(stopFd) {}
    RunOutcome RunAndWait(const ProcessRequest& request,
                          std::chrono::milliseconds timeout) override;
    void ReapEnded() override { m_reaper.ReapEnded(); }
    bool StopRequested() const override;
    // Programs that outlived their wait and were not yet seen to end.
    const ChildReaper& Outliving() const { return m_reaper; }

private:
    int m_stopFd = -1;
    ChildReaper m_reaper;
};

} // namespace platform
