#pragma once

#include <chrono>
#include <cstdint>

namespace sim {

using SteadyClock = std::chrono::steady_clock;
using TimePoint = SteadyClock::time_point;

// A point on the system-wide monotonic clock by which a call must be over.
// Client and daemon read the same clock, so the daemon can tell whether the
// caller is still waiting for its answer.
class Deadline {
public:
    explicit Deadline(TimePoint at) : m_at(at) {}
    static Deadline In(std::chrono::nanoseconds span) {
        return Deadline(SteadyClock::now() + span);
    }
    static Deadline FromNanoseconds(std::int64_t ns) {
        return Deadline(TimePoint(std::chrono::nanoseconds(ns)));
    }

    std::int64_t Nanoseconds() const {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(m_at.time_since_epoch())
            .count();
    }
    bool Passed(TimePoint now = SteadyClock::now()) const { return now >= m_at; }
    // Whole milliseconds left, rounded up so a poll never wakes early; 0 once passed.
    int MillisecondsLeft(TimePoint now = SteadyClock::now()) const;

private:
    TimePoint m_at;
};

inline int Deadline::MillisecondsLeft(TimePoint now) const {
    if (now >= m_at)
        return 0;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_at - now).count();
    return left > 1'000'000'000 ? 1'000'000'000 : static_cast<int>(left);
}

} // namespace sim
