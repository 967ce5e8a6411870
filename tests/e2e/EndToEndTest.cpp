#include "e2e/EndToEndTest.h"

#include <algorithm>
#include <iostream>

namespace e2e {

std::string TitleOf(const std::string& path) {
    const std::string name = BaseName(path);
    const auto dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

Names Road(const std::vector<simtest::SimLogEntry>& log) {
    Names road;
    for (const auto& e : log) {
        if (e.call == "QueueSampleBatch")
            road.push_back((e.result.value_or(0) != 0 ? "submit " : "refused ") + TitleOf(e.path));
        else if (e.call == "done")
            road.push_back("done " + TitleOf(e.path));
        else if (e.call == "QueueControl")
            road.push_back("control " + std::to_string(e.code.value_or(-1)));
    }
    return road;
}

std::optional<simtest::SimLogEntry> SubmissionOf(const std::vector<simtest::SimLogEntry>& log,
                                                 const std::string& title) {
    for (const auto& e : log) {
        if (e.call == "QueueSampleBatch" && TitleOf(e.path) == title)
            return e;
    }
    return std::nullopt;
}

void EndToEndTest::TearDown() {
    if (tesmaro && tesmaro->IsRunning() && tesmaro->HasEnded())
        ADD_FAILURE() << "Tesmaro ended by itself";
    if (HasFailure()) {
        if (tesmaro)
            std::cerr << "--- Tesmaro's output:\n" << tesmaro->Output() << "\n";
        if (suite)
            std::cerr << "--- korvane-sim's output:\n" << suite->Output() << "\n";
        std::cerr << "--- korvane-sim's log:\n" << ReadFile(scene.simLog) << "\n";
    }
    // Tesmaro first, so that it never sees the suite go away.
    tesmaro.reset();
    suite.reset();
}

bool EndToEndTest::StartSuite(const std::string& itemSeconds) {
    auto options = simtest::SimProcess::MakeOptions(scene.socket, scene.simLog, itemSeconds);
    options.outputPath = scene.root + "/sim.out";
    suite = std::make_unique<simtest::SimProcess>(options);
    return suite->Start();
}

bool EndToEndTest::StartTesmaro(const SettingsValues& changes,
                                const std::vector<std::pair<std::string, std::string>>& extraEnv) {
    SettingsValues values = scene.TestSettings();
    for (const auto& [key, value] : changes)
        values[key] = value;
    if (!scene.WriteSettings(values))
        return false;
    TesmaroProcess::Options options = SceneOptions(scene.output);
    options.environment.insert(options.environment.end(), extraEnv.begin(), extraEnv.end());
    tesmaro = std::make_unique<TesmaroProcess>(options);
    return StartRunning(*tesmaro);
}

TesmaroProcess::Options EndToEndTest::SceneOptions(const std::string& outputPath) const {
    TesmaroProcess::Options options;
    options.workingDirectory = scene.root;
    options.environment = scene.Environment();
    options.outputPath = outputPath;
    return options;
}

bool EndToEndTest::StartRunning(TesmaroProcess& process) {
    if (!WriteFile(scene.statusFile, "") || !process.Start())
        return false;
    const bool ticked = WaitFor([&] { return !Exists(scene.statusFile); }, kStartLimit);
    EXPECT_TRUE(ticked) << "Tesmaro did not run a tick";
    return ticked && !process.HasEnded();
}

bool EndToEndTest::WaitFor(const std::function<bool()>& condition,
                           std::chrono::milliseconds limit) {
    return testsupport::WaitUntil(condition, limit);
}

bool EndToEndTest::WaitForFiles(const std::string& dir, const Names& names) {
    return WaitFor([&] {
        const Names present = FilesIn(dir);
        return std::all_of(names.begin(), names.end(), [&](const std::string& name) {
            return std::find(present.begin(), present.end(), name) != present.end();
        });
    });
}

std::vector<simtest::SimLogEntry> EndToEndTest::Log() const {
    return simtest::ReadSimLog(scene.simLog);
}

} // namespace e2e
