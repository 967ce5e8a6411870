#pragma once

#include "platform/FileDescriptor.h"

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct ProcessRequest {
    std::string program;                // a path, or a bare name looked up on PATH
    std::vector<std::string> arguments; // the whole argument vector, argv[0] first
    std::string workingDirectory;       // empty: the caller's own
    // Its whole environment, one NAME=value each; unset: the caller's own (an
    // empty list is an empty environment).
    std::optional<std::vector<std::string>> environment = {};
    // Descriptors above 2 that become its standard input, and its standard
    // output and error; -1: the caller's own. The caller keeps and closes them.
    int inputFd = -1;
    int outputFd = -1;
    // As a plain fork and exec: it also gets every descriptor of the caller
    // that is not close-on-exec, the signals the caller ignores and its mask.
    bool inheritAll = false;
};

// One started child process, waited for through a pidfd.
class ChildProcess {
public:
    // Starts the program directly, never through a shell, with the caller's
    // environment, default signal dispositions, an empty signal mask and no
    // descriptor above 2, unless the request says otherwise. A relative
    // program path that names a directory is taken from the caller's
    // directory, not from the new working directory. Empty when the program
    // could not be started; errno tells why.
    static std::optional<ChildProcess> Start(const ProcessRequest& request);

    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // Closes the pidfd; a child not yet reaped stays the parent's to reap.
    ~ChildProcess() = default;

    pid_t Pid() const { return m_pid; }
    // The wait status it ended with, once this object has reaped it; empty
    // before, or when someone else reaped it.
    std::optional<int> ExitStatus() const { return m_status; }
    enum class WaitEnd { Ended, TimedOut, Interrupted };
    // Waits until the child ends, the time-out passes or `stopFd` (when not
    // -1) becomes readable, and reaps the child when it has ended. An ended
    // child wins over the other two. A time-out of 0 or less does not wait.
    WaitEnd WaitUntil(std::chrono::milliseconds timeout, int stopFd);
    // As WaitUntil without a stop descriptor; true when the child has ended.
    bool WaitFor(std::chrono::milliseconds timeout) {
        return WaitUntil(timeout, -1) == WaitEnd::Ended;
    }
    // Reaps the child when it has ended, without waiting.
    bool TryReap();

private:
    ChildProcess(pid_t pid, int pidfd) : m_pid(pid), m_pidfd(pidfd) {}

    pid_t m_pid = -1;
    FileDescriptor m_pidfd; // empty without pidfds: the wait then polls
    bool m_reaped = false;
    std::optional<int> m_status;
};

// Children that outlived their wait: each one is reaped once it has ended, so
// none stays a zombie for longer than until the next call of ReapEnded.
class ChildReaper {
public:
    void Adopt(ChildProcess child);
    // Reaps every adopted child that has ended; returns how many still run.
    std::size_t ReapEnded();
    std::size_t Count() const { return m_children.size(); }
    std::vector<pid_t> Pids() const;

private:
    std::vector<ChildProcess> m_children;
};

} // namespace platform
