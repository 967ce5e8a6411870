#include "watcher/StopEvent.h"

#include <sys/eventfd.h>

#include <cerrno>
#include <cstdint>

namespace watcher {

StopEvent::StopEvent() : m_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void StopEvent::Signal() {
    if (!IsValid())
        return;
    const std::uint64_t one = 1;
    // EAGAIN means the counter is full, which is signalled already.
    while (write(m_fd.Get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void StopEvent::Reset() {
    if (!IsValid())
        return;
    // One read takes the whole counter back to zero; EAGAIN means it was zero.
    std::uint64_t count = 0;
    while (read(m_fd.Get(), &count, sizeof count) < 0 && errno == EINTR) {
    }
}

} // namespace watcher
