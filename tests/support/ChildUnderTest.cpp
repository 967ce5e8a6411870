#include "support/ChildUnderTest.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace testsupport {
namespace {

using namespace std::chrono_literals;

// The test's environment with the given names set or replaced.
std::vector<std::string>
ChildEnvironment(const std::vector<std::pair<std::string, std::string>>& overrides) {
    std::vector<std::string> env;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        bool replaced = false;
        for (const auto& [key, value] : overrides)
            replaced = replaced || key == name;
        if (!replaced)
            env.push_back(text);
    }
    for (const auto& [key, value] : overrides)
        env.push_back(key + "=" + value);
    return env;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (auto& t : texts)
        out.push_back(t.data());
    out.push_back(nullptr);
    return out;
}

pid_t Spawn(const SpawnRequest& request) {
    std::vector<std::string> argv = request.argv;
    std::vector<std::string> env = ChildEnvironment(request.environment);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, request.outputPath.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    // Whatever the test runner left open stays out, so that every further
    // descriptor a grandchild finds is one that the child let through.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    if (!request.workingDirectory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, request.workingDirectory.c_str());
    // It must not inherit a blocked or ignored signal from the test runner.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv.at(0).c_str(), &actions, &attr, Pointers(argv).data(),
                               Pointers(env).data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

// Waits for the child to end; its exit status (128 + signal), or empty on time-out.
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
            std::this_thread::sleep_for(5ms);
        }
    }
}

} // namespace

ChildUnderTest::~ChildUnderTest() {
    Stop(10s);
}

bool ChildUnderTest::Start(const SpawnRequest& request) {
    if (IsRunning())
        return false;
    m_pid = Spawn(request);
    if (m_pid < 0)
        return false;
    // Readable when the child ends, close-on-exec by design; where the kernel
    // lacks it the waits poll instead.
    m_pidFd = static_cast<int>(syscall(SYS_pidfd_open, m_pid, 0));
    return true;
}

std::optional<int> ChildUnderTest::Stop(std::chrono::milliseconds timeout) {
    if (!IsRunning())
        return std::nullopt;
    kill(m_pid, SIGCONT);
    kill(m_pid, SIGTERM);
    auto status = Reap(m_pid, m_pidFd, timeout);
    if (!status) {
        Kill();
        return std::nullopt;
    }
    Forget();
    return status;
}

void ChildUnderTest::Kill() {
    if (!IsRunning())
        return;
    kill(m_pid, SIGKILL);
    Reap(m_pid, m_pidFd, 10s);
    Forget();
}

std::optional<int> ChildUnderTest::WaitForExit(std::chrono::milliseconds timeout) {
    if (!IsRunning())
        return std::nullopt;
    auto status = Reap(m_pid, m_pidFd, timeout);
    if (status)
        Forget();
    return status;
}

bool ChildUnderTest::Pause() {
    if (!IsRunning() || kill(m_pid, SIGSTOP) != 0)
        return false;
    // Only once it has stopped does it really hang; waiting for the stop keeps
    // a test from racing the signal.
    int status = 0;
    while (waitpid(m_pid, &status, WUNTRACED) < 0 && errno == EINTR) {
    }
    if (WIFSTOPPED(status))
        return true;
    Forget(); // it ended instead, and is reaped
    return false;
}

void ChildUnderTest::Forget() {
    if (m_pidFd >= 0)
        close(m_pidFd);
    m_pidFd = -1;
    m_pid = -1;
}

int RunProgram(const std::vector<std::string>& argv, const std::string& outputPath,
               std::chrono::milliseconds timeout) {
    ChildUnderTest child;
    if (!child.Start({argv, {}, outputPath, {}}))
        return -1;
    auto status = child.WaitForExit(timeout);
    if (!status)
        child.Kill();
    return status.value_or(-1);
}

} // namespace testsupport
