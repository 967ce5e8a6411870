#include "support/ChildUnderTest.h"
#include "platform/FileDescriptor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

extern char** environ;

namespace testsupport {
namespace {

using namespace std::chrono_literals;

// The test's environment with the given names set, replaced or left out.
std::vector<std::string> ChildEnvironment(const SpawnRequest& request) {
    std::vector<std::string> names = request.unsetEnvironment;
    for (const auto& [key, value] : request.environment)
        names.push_back(key);
    std::vector<std::string> env;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (std::find(names.begin(), names.end(), text.substr(0, text.find('='))) == names.end())
            env.push_back(text);
    }
    for (const auto& [key, value] : request.environment) {
        if (std::find(request.unsetEnvironment.begin(), request.unsetEnvironment.end(), key) ==
            request.unsetEnvironment.end())
            env.push_back(key + "=" + value);
    }
    return env;
}

// The status as a shell reports it: the exit code, or 128 + the signal.
int ExitCode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

ChildUnderTest::~ChildUnderTest() {
    Stop(10s);
}

bool ChildUnderTest::Start(const SpawnRequest& request) {
    if (IsRunning() || request.argv.empty())
        return false;
    // Closed here however the start goes; the child has its own copies.
    const platform::FileDescriptor input(open("/dev/null", O_RDONLY | O_CLOEXEC));
    const platform::FileDescriptor output(
        open(request.outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!input.IsValid() || !output.IsValid())
        return false;
    platform::ProcessRequest process{request.argv.front(), request.argv, request.workingDirectory};
    process.environment = ChildEnvironment(request);
    process.inputFd = input.Get();
    process.outputFd = output.Get();
    process.inheritAll = request.inheritAll;
    m_child = platform::ChildProcess::Start(process);
    return IsRunning();
}

std::optional<int> ChildUnderTest::Stop(std::chrono::milliseconds timeout) {
    if (!IsRunning())
        return std::nullopt;
    kill(Pid(), SIGCONT);
    kill(Pid(), SIGTERM);
    auto status = WaitForExit(timeout);
    if (!status)
        Kill();
    return status;
}

void ChildUnderTest::Kill() {
    if (!IsRunning())
        return;
    kill(Pid(), SIGKILL);
    m_child->WaitFor(10s);
    m_child.reset();
}

std::optional<int> ChildUnderTest::WaitForExit(std::chrono::milliseconds timeout) {
    if (!IsRunning() || !m_child->WaitFor(timeout))
        return std::nullopt;
    const std::optional<int> status = m_child->ExitStatus();
    m_child.reset();
    if (!status)
        return std::nullopt;
    return ExitCode(*status);
}

bool ChildUnderTest::Pause() {
    if (!IsRunning() || kill(Pid(), SIGSTOP) != 0)
        return false;
    // Only once it has stopped does it really hang; waiting for the stop keeps
    // a test from racing the signal. An end stays to be reaped by the child.
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(Pid()), &info, WSTOPPED | WEXITED | WNOWAIT) < 0 &&
           errno == EINTR) {
    }
    if (info.si_code == CLD_STOPPED)
        return true;
    m_child->WaitFor(10s); // it ended instead
    m_child.reset();
    return false;
}

bool ChildUnderTest::Resume() {
    return IsRunning() && kill(Pid(), SIGCONT) == 0;
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
