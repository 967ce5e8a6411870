#pragma once

#include "support/ChildUnderTest.h"

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;

// The desktop program as a child process of a test: its own environment on top
// of the test's, its own current directory, its output in a file, no shell.
// The destructor stops it (SIGTERM, then SIGKILL) and reaps it.
class TesmaroProcess : public testsupport::ChildUnderTest {
public:
    struct Options {
        std::string workingDirectory; // empty: the test's own
        // Set in its environment, replacing the test's value of the same name.
        std::vector<std::pair<std::string, std::string>> environment;
        std::string outputPath; // its stdout and stderr, appended; required
        // Left out of its environment, even when named above.
        std::vector<std::string> unsetEnvironment = {};
        std::string executable = {}; // empty: the built program
        // It also gets the test's descriptors that are not close-on-exec and
        // the signals the test ignores, as from a plain fork and exec.
        bool inheritAll = false;
    };

    // The built program.
    static std::string Executable();

    explicit TesmaroProcess(Options options) : m_options(std::move(options)) {}

    // Starts it; false when it could not be started.
    bool Start();
    // What it printed so far.
    std::string Output() const;

private:
    Options m_options;
};

} // namespace e2e
