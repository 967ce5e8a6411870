#pragma once

#include "sim/BatchFile.h"
#include "sim/CallLog.h"
#include "sim/Deadline.h"
#include "sim/ProcessQueue.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>

namespace sim {

struct SuiteOptions {
    std::chrono::nanoseconds itemTime = std::chrono::seconds(1);
    bool writeResults = true;
    bool refuseAll = false;
};

// A submission as the queue library passes it.
struct Submission {
    std::string path;
    std::string cwd; // resolves a relative path; empty: the suite's own
    int a = 0;
    int b = 0;
    int c = 0;
    int flags = 0;
};

// The simulated suite behind the socket: takes batches into its process
// queue, runs their items, writes each batch's result file when its last item
// has run, and logs every call. Time is passed in, so it runs without a clock.
class SimSuite {
public:
    // Seconds since the epoch, for the log.
    using WallClock = std::function<double()>;

    SimSuite(SuiteOptions options, CallLog& log, WallClock wallClock);

    // QueueSampleBatch: 1 when the batch was taken, 0 when refused.
    int Submit(const Submission& submission, TimePoint now);
    // QueueControl: code 1 empties the queue at once and answers 1; other
    // codes do nothing and answer 0.
    int Control(int code, TimePoint now);
    // GetNumberOfQueueItems.
    int Count(TimePoint now);
    // Adds items no caller submitted; answers the new count.
    int AddForeign(int items, TimePoint now);

    // Runs every item whose time is up.
    void Advance(TimePoint now);
    std::optional<TimePoint> NextDeadline() const { return m_queue.NextDeadline(); }

private:
    struct Batch {
        std::string path;     // as given, for the log
        std::string location; // where the file is
        BatchFile file;
        int flags = 0;
    };

    void Finish(ProcessQueue::BatchId id);
    std::optional<BatchFile> Accept(const std::string& location) const;

    SuiteOptions m_options;
    CallLog& m_log;
    WallClock m_wallClock;
    ProcessQueue m_queue;
    std::unordered_map<ProcessQueue::BatchId, Batch> m_batches;
    ProcessQueue::BatchId m_nextId = 1;
};

// A submitted path as the suite finds it: an absolute path as it is, a
// relative one joined to the caller's working directory when known.
std::string LocateBatch(const std::string& path, const std::string& cwd);

} // namespace sim
