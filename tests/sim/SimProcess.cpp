#include "sim/SimProcess.h"

#include "sim/SimClient.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace simtest {
namespace {

constexpr auto kPollStep = 5ms;

// A descriptor that becomes readable when the child ends (close-on-exec by
// design); -1 where the kernel lacks it, and the waits then poll.
int OpenPidFd(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// Spawns argv with stdout and stderr appended to outputPath; -1 on failure.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& outputPath) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    // The child must not inherit a blocked or ignored SIGTERM or SIGINT from the test.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

// Waits for a child to end; its exit status (128 + signal), or empty on time-out.
std::optional<int> Reap(pid_t pid, int pidFd, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (done < 0)
            return std::nullopt;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        if (pidFd >= 0) {
            pollfd p{pidFd, POLLIN, 0};
            poll(&p, 1, static_cast<int>(left.count()));
        } else {
            std::this_thread::sleep_for(kPollStep);
        }
    }
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

} // namespace

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(kPollStep);
    }
}

int RunProgram(const std::vector<std::string>& argv, const std::string& outputPath,
               std::chrono::milliseconds timeout) {
    const pid_t pid = Spawn(argv, outputPath);
    if (pid < 0)
        return -1;
    const int pidFd = OpenPidFd(pid);
    auto status = Reap(pid, pidFd, timeout);
    if (!status) {
        kill(pid, SIGKILL);
        Reap(pid, pidFd, 10s);
    }
    if (pidFd >= 0)
        close(pidFd);
    return status.value_or(-1);
}

std::string SimProcess::Executable() {
    return KORVANE_SIM_EXECUTABLE;
}

SimProcess::SimProcess(Options options) : m_options(std::move(options)) {
    if (m_options.outputPath.empty())
        m_options.outputPath = m_options.socketPath + ".out";
}

SimProcess::~SimProcess() {
    Stop();
}

bool SimProcess::Start(std::chrono::milliseconds timeout) {
    if (IsRunning())
        return false;
    std::vector<std::string> argv = {Executable(), "--socket", m_options.socketPath,
                                     "--item-seconds", m_options.itemSeconds};
    if (!m_options.logPath.empty()) {
        argv.push_back("--log");
        argv.push_back(m_options.logPath);
    }
    if (m_options.noResults)
        argv.push_back("--no-results");
    if (m_options.refuseAll)
        argv.push_back("--refuse-all");
    argv.insert(argv.end(), m_options.extraArgs.begin(), m_options.extraArgs.end());
    m_pid = Spawn(argv, m_options.outputPath);
    if (m_pid < 0)
        return false;
    m_pidFd = OpenPidFd(m_pid);
    bool answered = false;
    bool exited = false;
    WaitUntil(
        [&] {
            int status = 0;
            answered = Answers();
            exited = !answered && waitpid(m_pid, &status, WNOHANG) == m_pid;
            return answered || exited;
        },
        timeout);
    if (answered)
        return true;
    if (!exited) {
        kill(m_pid, SIGKILL);
        Reap(m_pid, m_pidFd, 10s);
    }
    if (m_pidFd >= 0)
        close(m_pidFd);
    m_pidFd = -1;
    m_pid = -1;
    return false;
}

std::optional<int> SimProcess::Stop(std::chrono::milliseconds timeout) {
    if (!IsRunning())
        return std::nullopt;
    kill(m_pid, SIGCONT); // a paused suite must be able to act on SIGTERM
    kill(m_pid, SIGTERM);
    auto status = Reap(m_pid, m_pidFd, timeout);
    if (!status) {
        Kill();
        return std::nullopt;
    }
    if (m_pidFd >= 0)
        close(m_pidFd);
    m_pidFd = -1;
    m_pid = -1;
    return status;
}

void SimProcess::Kill() {
    if (!IsRunning())
        return;
    kill(m_pid, SIGKILL);
    Reap(m_pid, m_pidFd, 10s);
    if (m_pidFd >= 0)
        close(m_pidFd);
    m_pidFd = -1;
    m_pid = -1;
}

bool SimProcess::Pause() {
    if (!IsRunning() || kill(m_pid, SIGSTOP) != 0)
        return false;
    // Only once it has stopped does it really hang; waiting for the stop keeps
    // a test from racing the signal.
    int status = 0;
    while (waitpid(m_pid, &status, WUNTRACED) < 0 && errno == EINTR) {
    }
    if (WIFSTOPPED(status))
        return true;
    if (m_pidFd >= 0)
        close(m_pidFd);
    m_pidFd = -1;
    m_pid = -1; // it ended instead, and is reaped
    return false;
}

bool SimProcess::Resume() {
    return IsRunning() && kill(m_pid, SIGCONT) == 0;
}

std::optional<int> SimProcess::WaitForExit(std::chrono::milliseconds timeout) {
    if (!IsRunning())
        return std::nullopt;
    auto status = Reap(m_pid, m_pidFd, timeout);
    if (status) {
        if (m_pidFd >= 0)
            close(m_pidFd);
        m_pidFd = -1;
        m_pid = -1;
    }
    return status;
}

bool SimProcess::Answers() const {
    sim::Request request;
    request.verb = sim::Verb::Running;
    return sim::AskSuite(m_options.socketPath, request, sim::Deadline::In(1s)).has_value();
}

std::vector<SimLogEntry> SimProcess::Log() const {
    return ReadSimLog(m_options.logPath);
}

bool SimProcess::WaitForLog(const std::function<bool(const std::vector<SimLogEntry>&)>& condition,
                            std::chrono::milliseconds timeout) const {
    return WaitUntil([&] { return condition(Log()); }, timeout);
}

std::string SimProcess::Output() const {
    return ReadWholeFile(m_options.outputPath);
}

int SimProcess::RunCommand(const std::vector<std::string>& args, std::string* output) const {
    const std::string outputPath = m_options.socketPath + ".command.out";
    unlink(outputPath.c_str());
    std::vector<std::string> argv = {Executable(), "--socket", m_options.socketPath};
    argv.insert(argv.end(), args.begin(), args.end());
    const int status = RunProgram(argv, outputPath, 10s);
    if (output)
        *output = ReadWholeFile(outputPath);
    unlink(outputPath.c_str());
    return status;
}

} // namespace simtest
