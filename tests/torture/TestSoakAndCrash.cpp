// The real Tesmaro under crashes and over a long run: SIGKILL at random
// moments while it files batches with large companions (within one file
// system and across two), and a soak of many batches with random restarts of
// the suite and of Tesmaro. Nothing dropped is ever lost or half-written.

#include "platform/DurableMove.h"
#include "torture/ProgramTorture.h"

#include <gtest/gtest.h>

#include <iostream>
#include <thread>

using namespace torture;
using e2e::Exists;
using e2e::FilesIn;

namespace {

bool IsResultOrTemporary(const std::string& name) {
    return IsResultFile(name) || platform::IsTemporaryCopyName(name);
}

std::string SampleList(int samples) {
    std::string text = "Sample list\n";
    for (int i = 1; i <= samples; ++i)
        text += "S" + std::to_string(i) + "\n";
    return text;
}

std::string Numbered(const char* prefix, int n) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%04d", prefix, n);
    return buf;
}

bool AnyTemporaryIn(const std::string& dir) {
    for (const std::string& name : testsupport::ListDirectory(dir))
        if (platform::IsTemporaryCopyName(name))
            return true;
    return false;
}

// True as soon as a temporary copy is in the directory; false at the limit.
bool WatchForTemporary(const std::string& dir, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (AnyTemporaryIn(dir))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

} // namespace

class CrashConsistency : public ProgramTorture {};

TEST_F(CrashConsistency, KilledAtRandomMomentsWhileFilingLosesNothing) {
    const int kills = Size(3, 200);
    // Mostly holes, so they cost no disk; the large one, dropped alone in the
    // rounds that aim at a copy under way, makes that copy last longer.
    const std::uint64_t companionBytes = 8u << 20;
    const std::uint64_t largeCompanionBytes = 64u << 20;
    const std::string otherProcessed = OtherFileSystemDir("Processed");
    std::cout << "second file system: " << (HaveSecondFileSystem() ? "yes" : "no") << "\n";
    ASSERT_TRUE(StartSuite("0"));

    Planted planted;
    int dropped = 0;
    const auto drop = [&](int count, std::uint64_t bytes) {
        for (int i = 0; i < count; ++i, ++dropped) {
            const std::string title = Numbered("K", dropped);
            planted[title + ".olb"] = Plant(scene.queue + "/" + title + ".olb", SampleList(1));
            planted[title + ".dat"] =
                PlantSparse(scene.queue + "/" + title + ".dat", bytes, Seed() + dropped);
        }
    };
    const std::vector<std::string> dirs = {scene.queue, scene.processed, scene.failed,
                                           otherProcessed};
    int leftoversSeen = 0;
    int killedMidCopy = 0;
    for (int round = 0; round < kills; ++round) {
        // Odd rounds file across file systems, even rounds within one; every
        // fourth round aims at a copy under way.
        const bool across = round % 2 == 1;
        const bool aimed = round % 4 == 1;
        if (aimed)
            drop(1, largeCompanionBytes);
        else
            drop(2, companionBytes);
        ASSERT_TRUE(LaunchTesmaro({{"WaitBeforeSubmit", "0"},
                                   {"ProcessedDir", across ? otherProcessed : scene.processed}}));
        if (aimed) {
            // Kill as soon as a temporary copy shows; looked for every
            // millisecond, as a copy lasts well under a second.
            killedMidCopy += WatchForTemporary(otherProcessed, std::chrono::seconds(6)) ? 1 : 0;
        } else {
            RandomPause(200, 2600);
        }
        ASSERT_FALSE(tesmaro->HasEnded()) << "Tesmaro ended by itself";
        tesmaro->Kill();
        for (const std::string& dir : dirs)
            for (const std::string& name : testsupport::ListDirectory(dir))
                leftoversSeen += platform::IsTemporaryCopyName(name) ? 1 : 0;
        const auto breaches = Breaches(planted, dirs, IsResultOrTemporary);
        ASSERT_TRUE(breaches.empty()) << "after kill " << round + 1 << ": " << breaches.front();
    }

    // A last run files everything, and removes the leftovers of the killed copies.
    ASSERT_TRUE(LaunchTesmaro({{"WaitBeforeSubmit", "0"}, {"ProcessedDir", otherProcessed}}));
    ASSERT_TRUE(WaitFor([&] { return FilesIn(scene.queue).empty(); },
                        std::chrono::seconds(30 + 3 * dropped)));
    ASSERT_TRUE(WaitFor([&] {
        return !AnyTemporaryIn(scene.processed) && !AnyTemporaryIn(otherProcessed);
    })) << "leftovers of killed copies were not removed";
    const auto breaches = Breaches(planted, dirs, IsResultFile);
    for (const std::string& breach : breaches)
        ADD_FAILURE() << breach;
    std::cout << "kills survived: " << kills << " (" << killedMidCopy
              << " aimed at a copy under way), temporary copies left by kills: " << leftoversSeen
              << ", files dropped: " << planted.size() << ", lost: " << breaches.size() << "\n";
}

class Soak : public ProgramTorture {};

TEST_F(Soak, ManyBatchesWithRandomRestartsOfTheSuiteAndTesmaro) {
    const int batches = Size(8, 1000);
    ASSERT_TRUE(StartSuite("0"));
    Planted planted;
    for (int i = 0; i < batches; ++i) {
        const std::string title = Numbered("S", i);
        planted[title + ".olb"] = Plant(scene.queue + "/" + title + ".olb", SampleList(1));
        planted[title + ".notes"] = Plant(scene.queue + "/" + title + ".notes", title + " notes\n");
    }
    const e2e::SettingsValues settings = {{"WaitBeforeSubmit", "0"}};
    ASSERT_TRUE(LaunchTesmaro(settings));

    int suiteRestarts = 0;
    int tesmaroRestarts = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60 + 4 * batches);
    std::uniform_int_distribution<int> event(0, 9);
    while (!FilesIn(scene.queue).empty() && std::chrono::steady_clock::now() < deadline) {
        RandomPause(1000, LongRun() ? 20000 : 4000);
        ASSERT_FALSE(tesmaro->HasEnded()) << "Tesmaro ended by itself";
        switch (event(random)) {
        case 0:
        case 1:
            suite->Kill();
            ASSERT_TRUE(StartSuite("0"));
            ++suiteRestarts;
            break;
        case 2:
            suite->Stop();
            ASSERT_TRUE(StartSuite("0"));
            ++suiteRestarts;
            break;
        case 3:
        case 4:
            tesmaro->Kill();
            ASSERT_TRUE(LaunchTesmaro(settings));
            ++tesmaroRestarts;
            break;
        case 5:
            tesmaro->Stop();
            ASSERT_TRUE(LaunchTesmaro(settings));
            ++tesmaroRestarts;
            break;
        default:
            break;
        }
    }
    ASSERT_TRUE(FilesIn(scene.queue).empty()) << FilesIn(scene.queue).size() << " still waiting";

    // Every batch is filed exactly once, its companion beside it.
    int processed = 0;
    int failed = 0;
    for (int i = 0; i < batches; ++i) {
        const std::string title = Numbered("S", i);
        const bool inProcessed = Exists(scene.processed + "/" + title + ".olb");
        const bool inFailed = Exists(scene.failed + "/" + title + ".olb");
        EXPECT_NE(inProcessed, inFailed) << title;
        const std::string& dir = inProcessed ? scene.processed : scene.failed;
        EXPECT_TRUE(Exists(dir + "/" + title + ".notes")) << title;
        (inProcessed ? processed : failed) += 1;
    }
    const auto breaches =
        Breaches(planted, {scene.queue, scene.processed, scene.failed}, IsResultFile);
    for (const std::string& breach : breaches)
        ADD_FAILURE() << breach;
    std::cout << "batches soaked: " << batches << " (processed " << processed << ", failed "
              << failed << "), suite restarts: " << suiteRestarts
              << ", Tesmaro restarts: " << tesmaroRestarts << ", lost: " << breaches.size() << "\n";
}
