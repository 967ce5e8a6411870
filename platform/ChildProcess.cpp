#include "platform/ChildProcess.h"

#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <ctime>
#include <utility>

extern char** environ;

namespace platform {

namespace {

// posix_spawn's own resources, released however Start leaves.
class SpawnSetup {
public:
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

std::string ProgramPath(const ProcessRequest& request) {
    const std::string& program = request.program;
    if (request.workingDirectory.empty() || program.empty() || program.front() == '/' ||
        program.find('/') == std::string::npos)
        return program;
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        return program;
    return std::string(cwd) + "/" + program;
}

// Called through syscall(): this C library's header declares pidfd_open
// without C linkage.
int OpenPidfd(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

void SleepBriefly() {
    const timespec pause{0, 10'000'000};
    nanosleep(&pause, nullptr);
}

} // namespace

std::optional<ChildProcess> ChildProcess::Start(const ProcessRequest& request) {
    if (request.arguments.empty()) {
        errno = EINVAL;
        return std::nullopt;
    }
    SpawnSetup setup;
    int rc = 0;
    if (!request.workingDirectory.empty())
        rc = posix_spawn_file_actions_addchdir_np(&setup.actions, request.workingDirectory.c_str());
    // dup2 clears close-on-exec on the copies only.
    if (rc == 0 && request.inputFd >= 0)
        rc = posix_spawn_file_actions_adddup2(&setup.actions, request.inputFd, STDIN_FILENO);
    if (rc == 0 && request.outputFd >= 0)
        rc = posix_spawn_file_actions_adddup2(&setup.actions, request.outputFd, STDOUT_FILENO);
    if (rc == 0 && request.outputFd >= 0)
        rc = posix_spawn_file_actions_adddup2(&setup.actions, request.outputFd, STDERR_FILENO);
    // Our descriptors are close-on-exec already; this also covers any that a
    // library opened without the flag.
    if (rc == 0 && !request.inheritAll)
        rc = posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    if (rc == 0 && !request.inheritAll)
        rc = posix_spawnattr_setsigdefault(&setup.attributes, &all);
    if (rc == 0 && !request.inheritAll)
        rc = posix_spawnattr_setsigmask(&setup.attributes, &none);
    if (rc == 0 && !request.inheritAll)
        rc = posix_spawnattr_setflags(&setup.attributes,
                                      POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    if (rc != 0) {
        errno = rc;
        return std::nullopt;
    }

    std::vector<char*> argv;
    argv.reserve(request.arguments.size() + 1);
    for (const std::string& arg : request.arguments)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    if (request.environment) {
        envp.reserve(request.environment->size() + 1);
        for (const std::string& entry : *request.environment)
            envp.push_back(const_cast<char*>(entry.c_str()));
        envp.push_back(nullptr);
    }

    const std::string program = ProgramPath(request);
    pid_t pid = -1;
    rc = posix_spawnp(&pid, program.c_str(), &setup.actions, &setup.attributes, argv.data(),
                      request.environment ? envp.data() : environ);
    if (rc != 0) {
        errno = rc;
        return std::nullopt;
    }
    // The pid stays ours until we reap it, so opening its pidfd now cannot race
    // with its reuse. Without pidfds the wait falls back to polling.
    return ChildProcess(pid, OpenPidfd(pid));
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : m_pid(other.m_pid), m_pidfd(std::move(other.m_pidfd)), m_reaped(other.m_reaped),
      m_status(other.m_status) {
    other.m_reaped = true;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        m_pid = other.m_pid;
        m_pidfd = std::move(other.m_pidfd);
        m_reaped = other.m_reaped;
        m_status = other.m_status;
        other.m_reaped = true;
    }
    return *this;
}

bool ChildProcess::TryReap() {
    if (m_reaped)
        return true;
    int status = 0;
    const pid_t got = waitpid(m_pid, &status, WNOHANG);
    // ECHILD: someone else reaped it (children ignored process-wide).
    if (got == m_pid || (got < 0 && errno == ECHILD)) {
        if (got == m_pid)
            m_status = status;
        m_reaped = true;
        m_pidfd.Reset();
    }
    return m_reaped;
}

ChildProcess::WaitEnd ChildProcess::WaitUntil(std::chrono::milliseconds timeout, int stopFd) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::max(timeout, std::chrono::milliseconds(0));
    while (!TryReap()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return WaitEnd::TimedOut;
        // Without a pidfd the wait falls back to short polls of the stop
        // descriptor alone, or to short sleeps.
        pollfd pfds[2] = {{m_pidfd.Get(), POLLIN, 0}, {stopFd, POLLIN, 0}};
        pollfd* first = m_pidfd.IsValid() ? &pfds[0] : &pfds[1];
        const nfds_t count = static_cast<nfds_t>(&pfds[1] - first) + (stopFd >= 0 ? 1 : 0);
        if (count == 0) {
            SleepBriefly();
            continue;
        }
        const int wait = m_pidfd.IsValid()
                             ? static_cast<int>(std::min<long long>(left.count() + 1, INT_MAX))
                             : static_cast<int>(std::min<long long>(left.count() + 1, 10));
        const int ready = poll(first, count, wait);
        if (ready > 0 && stopFd >= 0 && (pfds[1].revents & (POLLIN | POLLERR | POLLHUP)) != 0)
            return TryReap() ? WaitEnd::Ended : WaitEnd::Interrupted;
        // A pidfd is readable once the child has ended, so the next TryReap
        // succeeds; should either ever fail, the loop still must not spin.
        if ((ready < 0 && errno != EINTR) || (ready > 0 && m_pidfd.IsValid() && !TryReap()))
            SleepBriefly();
    }
    return WaitEnd::Ended;
}

void ChildReaper::Adopt(ChildProcess child) {
    if (!child.TryReap())
        m_children.push_back(std::move(child));
}

std::size_t ChildReaper::ReapEnded() {
    std::erase_if(m_children, [](ChildProcess& child) { return child.TryReap(); });
    return m_children.size();
}

std::vector<pid_t> ChildReaper::Pids() const {
    std::vector<pid_t> pids;
    for (const ChildProcess& child : m_children)
        pids.push_back(child.Pid());
    return pids;
}

} // namespace platform
