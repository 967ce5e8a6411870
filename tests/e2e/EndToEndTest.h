#pragma once

#include "e2e/Scene.h"
#include "e2e/TesmaroProcess.h"
#include "sim/SimProcess.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

// Every wait for the programs is bounded by this; far beyond what they need.
constexpr std::chrono::seconds kLimit{30};
// Tesmaro's first start on a machine may build the user's font cache first.
constexpr std::chrono::seconds kStartLimit{90};

// The title of a batch path: its file name without the extension.
std::string TitleOf(const std::string& path);

// The suite's log as a short road: "submit T" (accepted), "refused T",
// "done T" and "control N", in the order they happened.
Names Road(const std::vector<simtest::SimLogEntry>& log);
// The suite's log entry for the submission of the batch with this title.
std::optional<simtest::SimLogEntry> SubmissionOf(const std::vector<simtest::SimLogEntry>& log,
                                                 const std::string& title);

// The real programs side by side: the simulated suite and Tesmaro, each in its
// own process, working in one private scene.
class EndToEndTest : public ::testing::Test {
protected:
    void TearDown() override;

    // Starts (or starts again) the simulated suite on the scene's socket and log.
    bool StartSuite(const std::string& itemSeconds = "0");
    // Writes the test settings with these changes, starts Tesmaro in the
    // scene's root, with extra environment for the viewer when given, and
    // waits until it has run a tick. The queue must be empty and the suite idle
    // or absent: a left-over status file is then removed on the first tick.
    bool StartTesmaro(const SettingsValues& changes = {},
                      const std::vector<std::pair<std::string, std::string>>& extraEnv = {});

    // Options for a Tesmaro in the scene's root and environment.
    TesmaroProcess::Options SceneOptions(const std::string& outputPath) const;
    // Starts a Tesmaro in the scene's environment and waits until it has run
    // a tick, as above; false when it did not start or does not run.
    bool StartRunning(TesmaroProcess& process);

    bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = kLimit);
    // Waits until every name is a file in the directory.
    bool WaitForFiles(const std::string& dir, const Names& names);
    std::vector<simtest::SimLogEntry> Log() const;

    Scene scene;
    std::unique_ptr<simtest::SimProcess> suite;
    std::unique_ptr<TesmaroProcess> tesmaro;
};

} // namespace e2e
