#pragma once

#include "platform/ProcessLauncher.h"

#include <cerrno>
#include <chrono>
#include <vector>

namespace testsupport {

// A launcher that starts nothing and records what it was asked to start.
class RecordingLauncher final : public platform::ProcessLauncher {
public:
    struct Launch {
        platform::ProcessRequest request;
        std::chrono::milliseconds timeout;
    };

    platform::RunOutcome RunAndWait(const platform::ProcessRequest& request,
                                    std::chrono::milliseconds timeout) override {
        launches.push_back({request, timeout});
        stopped = stopped || stopDuringWait;
        if (stopped && result)
            return {platform::RunOutcome::End::Interrupted, 0};
        if (!result)
            return {platform::RunOutcome::End::NotStarted, ENOENT};
        return outcome;
    }
    void ReapEnded() override { ++reapCalls; }
    bool StopRequested() const override { return stopped; }

    bool result = true; // false: nothing starts
    // A stop is asked for during the first wait, and stays asked for.
    bool stopDuringWait = false;
    bool stopped = false;
    platform::RunOutcome outcome{platform::RunOutcome::End::Exited, 0};
    int reapCalls = 0;
    std::vector<Launch> launches;
};

} // namespace testsupport
