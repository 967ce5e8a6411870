#include "e2e/TesmaroProcess.h"

#include "support/TempDir.h"

namespace e2e {

std::string TesmaroProcess::Executable() {
    return TESMARO_EXECUTABLE;
}

bool TesmaroProcess::Start() {
    const std::string& program = m_options.executable.empty() ? Executable() : m_options.executable;
    return ChildUnderTest::Start({{program},
                                  m_options.environment,
                                  m_options.outputPath,
                                  m_options.workingDirectory,
                                  m_options.unsetEnvironment,
                                  m_options.inheritAll});
}

std::string TesmaroProcess::Output() const {
    return testsupport::ReadFile(m_options.outputPath);
}

} // namespace e2e
