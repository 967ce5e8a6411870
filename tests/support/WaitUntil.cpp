#include "support/WaitUntil.h"

#include <thread>

namespace testsupport {

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               const std::function<void()>& step) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        step();
    }
    return true;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds pollInterval) {
    return WaitUntil(condition, timeout,
                     [pollInterval] { std::this_thread::sleep_for(pollInterval); });
}

} // namespace testsupport
