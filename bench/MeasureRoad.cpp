// Measures how long a burst of batches takes through the whole road with the
// settings of a first start (nothing in the settings store) and a suite whose
// items take no time: from the last drop to the last batch in Processed.
//
//   MeasureRoad [batches [rounds]]     (default: 20 batches, 1 round)
//
// Not a test: it prints what it measured and how the time divides up.

#include "e2e/Scene.h"
#include "e2e/TesmaroProcess.h"
#include "sim/SimProcess.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace e2e;
using namespace std::chrono_literals;

namespace {

std::string Title(int i) {
    char name[16];
    std::snprintf(name, sizeof name, "B%02d", i);
    return name;
}

// One round; false when something did not happen within the bounds.
bool Round(int batches) {
    Scene scene;
    // With the defaults everything lives in Tesmaro's current directory.
    const std::string processed = scene.queue + "/Processed";
    const std::string statusFile = scene.queue + "/c:\\sampling.sem";

    auto simOptions = simtest::SimProcess::MakeOptions(scene.socket, scene.simLog, "0");
    simOptions.outputPath = scene.root + "/sim.out";
    simtest::SimProcess suite(simOptions);
    if (!suite.Start()) {
        std::fprintf(stderr, "korvane-sim did not start\n");
        return false;
    }
    TesmaroProcess::Options options;
    options.workingDirectory = scene.queue;
    options.environment = scene.Environment();
    options.outputPath = scene.output;
    TesmaroProcess tesmaro(options);
    // Running once its first tick, with nothing to do, removes the status file.
    WriteFile(statusFile, "");
    if (!tesmaro.Start() || !simtest::WaitUntil([&] { return !Exists(statusFile); }, 30s)) {
        std::fprintf(stderr, "Tesmaro did not start\n");
        return false;
    }

    const double firstDrop = NowFractional();
    for (int i = 1; i <= batches; ++i)
        scene.Drop(Title(i) + ".olb", "Sample list\nS1\n");
    const double lastDrop = NowFractional();
    const std::string last = processed + "/" + Title(batches) + ".olb";
    const auto limit = std::chrono::seconds(30 + 5 * batches);
    if (!simtest::WaitUntil([&] { return Exists(last); }, limit)) {
        std::fprintf(stderr, "the last batch did not reach Processed\n");
        return false;
    }
    const double done = NowFractional();

    std::vector<double> submissions;
    for (const auto& e : suite.Log()) {
        if (e.call == "QueueSampleBatch")
            submissions.push_back(e.t);
    }
    if (submissions.size() != static_cast<std::size_t>(batches)) {
        std::fprintf(stderr, "%zu submissions for %d batches\n", submissions.size(), batches);
        return false;
    }
    double gaps = 0;
    for (std::size_t i = 1; i < submissions.size(); ++i)
        gaps += submissions[i] - submissions[i - 1];

    std::printf("%d batches dropped in %.3f s\n", batches, lastDrop - firstDrop);
    std::printf("  last drop to last batch in Processed: %.2f s\n", done - lastDrop);
    std::printf("  last drop to first submission:        %.2f s (settle time and tick)\n",
                submissions.front() - lastDrop);
    std::printf("  mean time between submissions:       %.2f s\n",
                gaps / static_cast<double>(submissions.size() - 1));
    std::printf("  last submission to last in Processed: %.2f s\n", done - submissions.back());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const int batches = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1;
    for (int r = 0; r < rounds; ++r) {
        if (!Round(batches))
            return 1;
    }
    return 0;
}
