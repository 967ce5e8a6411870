#pragma once

#include <cstdint>

namespace engine {

// The calendar clock, in whole seconds since the epoch (UTC).
class Clock {
public:
    virtual ~Clock() = default;
    virtual std::int64_t Now() = 0;
};

class SystemClock final : public Clock {
public:
    std::int64_t Now() override;
};

} // namespace engine
