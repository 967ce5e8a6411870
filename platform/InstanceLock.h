#pragma once

#include "platform/FileDescriptor.h"

#include <string>
#include <sys/types.h>

namespace platform {

// The lock file that marks a running instance: "Tesmaro_Running" in the user's
// runtime directory when it is set to an absolute path, else in the temporary
// directory with the user id in the name.
std::string InstanceLockPath(const char* runtimeDir, const char* tempDir, uid_t uid);
// The same, from the environment of this process.
std::string InstanceLockPath();

// Holds an exclusive lock on the lock file for the life of the object. The
// kernel drops the lock when the process ends, however it ends, so a killed
// instance never blocks the next one.
class InstanceLock {
public:
    enum class State {
        Acquired,      // this process is the running instance
        HeldElsewhere, // another instance runs
        Unavailable,   // no guard possible: the program runs without one
    };

    explicit InstanceLock(const std::string& path);
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    State GetState() const { return m_state; }

private:
    FileDescriptor m_fd;
    State m_state = State::Unavailable;
};

} // namespace platform
