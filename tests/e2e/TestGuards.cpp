// What keeps batches from going to the suite, as the real programs behave:
// the abort file, work the suite got from elsewhere, a second Tesmaro.

#include "e2e/EndToEndTest.h"

#include <algorithm>

using namespace e2e;

namespace {

// A sample list with this many samples after its header line.
std::string SampleList(int samples) {
    std::string text = "Sample list\n";
    for (int i = 1; i <= samples; ++i)
        text += "S" + std::to_string(i) + "\n";
    return text;
}

} // namespace

TEST_F(EndToEndTest, TheAbortFileStopsTheSuiteAndFailsEveryWaitingBatchUntilItGoes) {
    // The first batch would keep the suite busy for two minutes.
    ASSERT_TRUE(StartSuite("1"));
    ASSERT_TRUE(StartTesmaro());
    scene.Drop("A1.olb", SampleList(120));
    ASSERT_TRUE(WaitFor([&] { return SubmissionOf(Log(), "A1").has_value(); }));
    scene.Drop("A2.notes", "notes");
    scene.Drop("A2.olb", SampleList(1));
    scene.Drop("A3.olb", SampleList(1));
    ASSERT_TRUE(WriteFile(scene.abortFile, ""));

    ASSERT_TRUE(WaitForFiles(scene.failed, {"A1.olb", "A2.notes", "A2.olb", "A3.olb"}));
    ASSERT_TRUE(WaitFor([&] {
        const Names road = Road(Log());
        return std::find(road.begin(), road.end(), "control 1") != road.end();
    }));
    std::string status;
    EXPECT_EQ(suite->RunCommand({"status"}, &status), 0);
    EXPECT_NE(status.find(" 0 items"), std::string::npos) << status;
    // A batch that comes while the abort file is there fails without being offered.
    scene.Drop("A4.olb", SampleList(1));
    ASSERT_TRUE(WaitForFiles(scene.failed, {"A4.olb"}));
    EXPECT_TRUE(WaitFor([&] { return !Exists(scene.statusFile); }));
    EXPECT_TRUE(Exists(scene.abortFile)) << "the abort file belongs to whoever made it";

    // Once it has gone, batches run again.
    ASSERT_EQ(unlink(scene.abortFile.c_str()), 0);
    scene.Drop("A5.olb", SampleList(1));
    ASSERT_TRUE(WaitForFiles(scene.processed, {"A5.olb", "A5.rpt"}));
    EXPECT_EQ(FilesIn(scene.processed), (Names{"A5.olb", "A5.rpt"}));
    EXPECT_EQ(FilesIn(scene.failed), (Names{"A1.olb", "A2.notes", "A2.olb", "A3.olb", "A4.olb"}));
    const auto log = Log();
    for (const char* title : {"A2", "A3", "A4"})
        EXPECT_FALSE(SubmissionOf(log, title).has_value()) << title;
    EXPECT_TRUE(WaitFor([&] { return !Exists(scene.statusFile); }));
}

TEST_F(EndToEndTest, ForeignWorkInTheSuiteKeepsTesmaroFromSubmitting) {
    ASSERT_TRUE(StartSuite("0.5"));
    ASSERT_TRUE(StartTesmaro()); // with nothing to do it has removed the status file

    const double added = NowFractional();
    ASSERT_EQ(suite->RunCommand({"add-foreign", "6"}), 0); // three seconds of work
    // Work in the suite is work for Tesmaro too, even with no batch waiting.
    ASSERT_TRUE(WaitFor([&] { return Exists(scene.statusFile); }));
    scene.Drop("F.olb", SampleList(1));
    ASSERT_TRUE(WaitForFiles(scene.processed, {"F.olb", "F.rpt"}));

    const auto submission = SubmissionOf(Log(), "F");
    ASSERT_TRUE(submission.has_value());
    // The margin allows only for the suite's item clock and the wall clock
    // drifting apart; a submission into the busy queue would come seconds early.
    EXPECT_GE(submission->t, added + 3.0 - 0.1) << "submitted while the suite was busy";
    EXPECT_TRUE(WaitFor([&] { return !Exists(scene.statusFile); }));
}

TEST_F(EndToEndTest, ASecondTesmaroEndsAtOnceWhileTheFirstRuns) {
    ASSERT_TRUE(StartTesmaro());

    TesmaroProcess::Options options;
    options.workingDirectory = scene.root;
    options.environment = scene.Environment();
    options.outputPath = scene.root + "/second.out";
    TesmaroProcess second(options);
    ASSERT_TRUE(second.Start());
    EXPECT_EQ(second.WaitForExit(kLimit), 0) << second.Output();
    EXPECT_FALSE(tesmaro->HasEnded());

    // The lock dies with its holder, however it ends.
    tesmaro->Kill();
    TesmaroProcess third(options);
    EXPECT_TRUE(StartRunning(third)) << third.Output();
}

TEST_F(EndToEndTest, EndsCleanlyOnSigterm) {
    ASSERT_TRUE(StartTesmaro());
    EXPECT_EQ(tesmaro->Stop(kLimit), 0);
}
