#pragma once

#include "engine/Clock.h"
#include "external/QueueLibrary.h"

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// A queue library whose answers the test sets and which records every call,
// in order, as text such as "IsKorvaneRunning" or "QueueSampleBatch(p,0,1,0,12)".
class FakeQueueLibrary final : public external::QueueLibrary {
public:
    int running = 1;
    int items = 0;
    int submitResult = 1;
    // Items the suite holds after it accepted a batch.
    int itemsAfterSubmit = 1;
    std::vector<std::string> calls;
    std::vector<std::string> submittedPaths;
    std::vector<int> submittedFlags;
    // Called inside QueueSampleBatch, as a suite's slow hand-over would let
    // other programs act meanwhile.
    std::function<void(const std::string& path)> duringSubmit;

    int IsKorvaneRunning() override;
    int GetNumberOfQueueItems() override;
    int QueueControl(int code) override;
    int QueueSampleBatch(const std::string& path, int a, int b, int c, int flags) override;
};

// A clock the test sets by hand.
class FakeClock final : public engine::Clock {
public:
    explicit FakeClock(std::int64_t start = 1'700'000'000) : now(start) {}
    std::int64_t Now() override { return now; }
    std::int64_t NowNanoseconds() override { return now * kNanosecondsPerSecond + fraction; }
    std::int64_t now;
    std::int64_t fraction = 0; // nanoseconds past `now`
};

} // namespace testsupport
