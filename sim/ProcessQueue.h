#pragma once

#include "sim/Deadline.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>

namespace sim {

// The suite's process queue: items run one after another, each for the same
// time. Consecutive items of one batch (or foreign items) are kept as one run,
// so a queue of a million items costs a few bytes.
class ProcessQueue {
public:
    using BatchId = std::uint64_t;
    // Called when a batch's last item has run, before it leaves the queue.
    using BatchDone = std::function<void(BatchId)>;

    static constexpr int kMaxItems = 1'000'000'000;

    explicit ProcessQueue(std::chrono::nanoseconds itemTime) : m_itemTime(itemTime) {}

    // Appends items; the first starts at once when the queue was empty. The
    // count is capped at kMaxItems; returns the number actually added.
    int AddBatch(BatchId id, int items, TimePoint now);
    int AddForeign(int items, TimePoint now);
    // Drops every item at once; no batch is reported done.
    void Clear();

    // Finishes every item whose time is up at now, in order.
    void Advance(TimePoint now, const BatchDone& onBatchDone);

    int Count() const { return m_count; }
    // When the item now running ends; empty when the queue is empty.
    std::optional<TimePoint> NextDeadline() const;

private:
    struct Run {
        std::optional<BatchId> batch; // empty for foreign items
        int items;
    };

    int Add(std::optional<BatchId> batch, int items, TimePoint now);

    std::chrono::nanoseconds m_itemTime;
    std::deque<Run> m_runs;
    int m_count = 0;
    TimePoint m_headStarted{};
};

} // namespace sim
