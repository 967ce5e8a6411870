#pragma once

#include <chrono>
#include <functional>

namespace testsupport {

// Checks the condition until it holds or the time-out has passed, running
// `step` between two checks (a pause, or a turn of an event loop); the result
// is the last check, so a condition that comes true during the last step
// still counts.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               const std::function<void()>& step);
// As above, sleeping pollInterval between two checks.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds pollInterval = std::chrono::milliseconds(5));

} // namespace testsupport
