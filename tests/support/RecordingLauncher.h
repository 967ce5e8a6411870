#pragma once

#include "platform/ProcessLauncher.h"

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

    bool RunAndWait(const platform::ProcessRequest& request,
                    std::chrono::milliseconds timeout) override {
        launches.push_back({request, timeout});
        return result;
    }
    void ReapEnded() override { ++reapCalls; }

    bool result = true;
    int reapCalls = 0;
    std::vector<Launch> launches;
};

} // namespace testsupport
