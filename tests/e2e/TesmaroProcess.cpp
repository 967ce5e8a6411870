#include "e2e/TesmaroProcess.h"

#include "support/TempDir.h"

namespace e2e {

std::string TesmaroProcess::Executable() {
    return TESMARO_EXECUTABLE;
}

TesmaroProcess::TesmaroProcess(Options options) : m_options(std::move(options)) {}

TesmaroProcess::~TesmaroProcess() {
    Stop();
}

bool TesmaroProcess::Start() {
    return m_child.Start(
        {{Executable()}, m_options.environment, m_options.outputPath, m_options.workingDirectory});
}

std::optional<int> TesmaroProcess::Stop(std::chrono::milliseconds timeout) {
    return m_child.Stop(timeout);
}

void TesmaroProcess::Kill() {
    m_child.Kill();
}

std::optional<int> TesmaroProcess::WaitForExit(std::chrono::milliseconds timeout) {
    return m_child.WaitForExit(timeout);
}

bool TesmaroProcess::HasEnded() {
    return !IsRunning() || WaitForExit(std::chrono::milliseconds(0)).has_value();
}

std::string TesmaroProcess::Output() const {
    return testsupport::ReadFile(m_options.outputPath);
}

} // namespace e2e
