// What keeps batches from going to the suite, as the real programs behave:
// the abort file, work the suite got from elsewhere, a second Tesmaro; and
// how the program starts and ends: signals, inherited descriptors, no window
// system, the name of its settings.

#include "e2e/EndToEndTest.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>

using namespace e2e;

namespace {

// A sample list with this many samples after its header line.
std::string SampleList(int samples) {
    std::string text = "Sample list\n";
    for (int i = 1; i <= samples; ++i)
        text += "S" + std::to_string(i) + "\n";
    return text;
}

// The signal numbers set in one of the masks of /proc/<pid>/status ("SigIgn",
// "SigCgt"); empty when it cannot be read.
std::set<int> SignalMask(pid_t pid, const std::string& field) {
    std::set<int> out;
    const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("\n" + field + ":");
    if (at == std::string::npos)
        return out;
    const unsigned long long mask = std::stoull(status.substr(at + field.size() + 2), nullptr, 16);
    for (int sig = 1; sig < 64; ++sig)
        if ((mask >> (sig - 1)) & 1)
            out.insert(sig);
    return out;
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

    const TesmaroProcess::Options options = SceneOptions(scene.root + "/second.out");
    TesmaroProcess second(options);
    ASSERT_TRUE(second.Start());
    EXPECT_EQ(second.WaitForExit(kLimit), 0) << second.Output();
    EXPECT_FALSE(tesmaro->HasEnded());

    // The lock dies with its holder, however it ends.
    tesmaro->Kill();
    TesmaroProcess third(options);
    EXPECT_TRUE(StartRunning(third)) << third.Output();
}

TEST_F(EndToEndTest, EndsCleanlyOnSigtermAndSigint) {
    for (const int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        ASSERT_TRUE(StartTesmaro());
        ASSERT_EQ(kill(tesmaro->Pid(), sig), 0);
        EXPECT_EQ(tesmaro->WaitForExit(kLimit), 0);
    }
}

TEST_F(EndToEndTest, InheritedDescriptorsAreNotPassedOnAndAnIgnoredHangupStaysIgnored) {
    ASSERT_TRUE(scene.WriteSettings(scene.TestSettings()));
    // As under nohup, from a parent that leaves a descriptor open across exec:
    // the descriptor lacks close-on-exec on purpose, and the hangup is ignored.
    const int inherited = open(scene.root.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GT(inherited, 2);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction before {};
    ASSERT_EQ(sigaction(SIGHUP, &ignore, &before), 0);
    TesmaroProcess::Options options = SceneOptions(scene.output);
    options.inheritAll = true;
    tesmaro = std::make_unique<TesmaroProcess>(options);
    const bool running = StartRunning(*tesmaro);
    sigaction(SIGHUP, &before, nullptr);
    close(inherited);
    ASSERT_TRUE(running);

    const std::string fdinfo = ReadFile("/proc/" + std::to_string(tesmaro->Pid()) + "/fdinfo/" +
                                        std::to_string(inherited));
    const std::size_t flags = fdinfo.find("flags:");
    ASSERT_NE(flags, std::string::npos) << "the descriptor was not inherited";
    EXPECT_NE(std::stoul(fdinfo.substr(flags + 6), nullptr, 8) & O_CLOEXEC, 0u)
        << "an inherited descriptor would reach the viewers";

    EXPECT_EQ(SignalMask(tesmaro->Pid(), "SigIgn").count(SIGHUP), 1u);
    EXPECT_EQ(SignalMask(tesmaro->Pid(), "SigCgt").count(SIGTERM), 1u);
    ASSERT_EQ(kill(tesmaro->Pid(), SIGHUP), 0);
    EXPECT_EQ(tesmaro->Stop(kLimit), 0);
}

TEST_F(EndToEndTest, WithoutAWindowSystemOneLineSaysHowToRunOffscreen) {
    ASSERT_TRUE(scene.WriteSettings(scene.TestSettings()));
    TesmaroProcess::Options options = SceneOptions(scene.root + "/headless.out");
    options.unsetEnvironment = {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"};
    TesmaroProcess alone(options);
    ASSERT_TRUE(alone.Start());
    EXPECT_EQ(alone.WaitForExit(kStartLimit), 1);
    const std::string text = alone.Output();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_NE(text.find("QT_QPA_PLATFORM=offscreen"), std::string::npos) << text;

    // Another instance runs: the check comes first, and ends it silently.
    ASSERT_TRUE(StartTesmaro());
    options.outputPath = scene.root + "/second.out";
    TesmaroProcess second(options);
    ASSERT_TRUE(second.Start());
    EXPECT_EQ(second.WaitForExit(kLimit), 0);
    EXPECT_EQ(second.Output(), "");
}

TEST_F(EndToEndTest, TheSettingsAreNamedAfterTheExecutableFileNotTheNameItIsStartedBy) {
    // Tesmaro.conf holds this scene's settings; under any other name the
    // status file would be the default one, in the working directory.
    ASSERT_TRUE(scene.WriteSettings(scene.TestSettings()));
    scene.Drop("B.olb", SampleList(1));
    const std::string copy = scene.root + "/Tesmaro.old";
    std::filesystem::copy_file(TesmaroProcess::Executable(), copy);
    const std::string link = scene.root + "/other";
    ASSERT_EQ(symlink(TesmaroProcess::Executable().c_str(), link.c_str()), 0);
    for (const std::string& program : {copy, link}) {
        SCOPED_TRACE(program);
        TesmaroProcess::Options options = SceneOptions(scene.output);
        options.executable = program;
        TesmaroProcess started(options);
        ASSERT_TRUE(started.Start());
        EXPECT_TRUE(WaitFor([&] { return Exists(scene.statusFile); }, kStartLimit));
        EXPECT_FALSE(Exists(scene.root + "/c:\\sampling.sem"));
        started.Kill();
        unlink(scene.statusFile.c_str());
    }
}
