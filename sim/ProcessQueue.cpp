#include "sim/ProcessQueue.h"

#include <algorithm>

namespace sim {

int ProcessQueue::AddBatch(BatchId id, int items, TimePoint now) {
    return Add(id, items, now);
}

int ProcessQueue::AddForeign(int items, TimePoint now) {
    return Add(std::nullopt, items, now);
}

int ProcessQueue::Add(std::optional<BatchId> batch, int items, TimePoint now) {
    const int added = std::clamp(items, 0, kMaxItems - m_count);
    if (added == 0)
        return 0;
    if (m_runs.empty())
        m_headStarted = now;
    if (!batch && !m_runs.empty() && !m_runs.back().batch)
        m_runs.back().items += added;
    else
        m_runs.push_back(Run{batch, added});
    m_count += added;
    return added;
}

void ProcessQueue::Clear() {
    m_runs.clear();
    m_count = 0;
}

void ProcessQueue::Advance(TimePoint now, const BatchDone& onBatchDone) {
    while (!m_runs.empty() && now >= m_headStarted + m_itemTime) {
        Run& head = m_runs.front();
        // Items of the head run whose time is up; the next item starts when the
        // previous one ended, so a late wake-up does not stretch the queue.
        const std::int64_t due =
            m_itemTime.count() == 0 ? head.items : (now - m_headStarted) / m_itemTime;
        const int done = static_cast<int>(std::min<std::int64_t>(due, head.items));
        // The result must be in place while the batch's last item still counts.
        if (done == head.items && head.batch && onBatchDone)
            onBatchDone(*head.batch);
        m_headStarted += done * m_itemTime;
        m_count -= done;
        head.items -= done;
        if (head.items == 0)
            m_runs.pop_front();
    }
}

std::optional<TimePoint> ProcessQueue::NextDeadline() const {
    if (m_runs.empty())
        return std::nullopt;
    return m_headStarted + m_itemTime;
}

} // namespace sim
