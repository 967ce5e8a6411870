#pragma once

#include <cstdint>

namespace engine {

// The calendar clock, in whole seconds since the epoch (UTC).
class Clock {
public:
    virtual ~Clock() = default;
    virtual std::int64_t Now() = 0;
    // The same clock to the nanosecond, where it has that precision.
    virtual std::int64_t NowNanoseconds() { return Now() * kNanosecondsPerSecond; }

    static constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;
};

class SystemClock final : public Clock {
public:
    std::int64_t Now() override;
    std::int64_t NowNanoseconds() override;
};

} // namespace engine
