#include "sim/SimProcess.h"

#include "sim/SimClient.h"
#include "support/TempDir.h"

#include <unistd.h>

namespace simtest {
std::string SimProcess::Executable() {
    return KORVANE_SIM_EXECUTABLE;
}

SimProcess::SimProcess(Options options) : m_options(std::move(options)) {
    if (m_options.outputPath.empty())
        m_options.outputPath = m_options.socketPath + ".out";
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
    if (!ChildUnderTest::Start({argv, {}, m_options.outputPath, {}}))
        return false;
    bool answered = false;
    WaitUntil([&] { return (answered = Answers()) || HasEnded(); }, timeout);
    if (!answered)
        Kill();
    return answered;
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
    return testsupport::ReadFile(m_options.outputPath);
}

int SimProcess::RunCommand(const std::vector<std::string>& args, std::string* output) const {
    const std::string outputPath = m_options.socketPath + ".command.out";
    unlink(outputPath.c_str());
    std::vector<std::string> argv = {Executable(), "--socket", m_options.socketPath};
    argv.insert(argv.end(), args.begin(), args.end());
    const int status = RunProgram(argv, outputPath, 10s);
    if (output)
        *output = testsupport::ReadFile(outputPath);
    unlink(outputPath.c_str());
    return status;
}

} // namespace simtest
