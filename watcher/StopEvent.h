#pragma once

#include "platform/FileDescriptor.h"

namespace watcher {

// A manual-reset event on an eventfd: once signalled it stays readable (poll
// reports POLLIN) until Reset, however often it is waited on.
class StopEvent {
public:
    StopEvent();

    // False when the eventfd could not be created; Signal and Reset then do nothing.
    bool IsValid() const { return m_fd.IsValid(); }
    int Fd() const { return m_fd.Get(); }
    void Signal();
    void Reset();

private:
    platform::FileDescriptor m_fd;
};

} // namespace watcher
