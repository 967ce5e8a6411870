// The road of a batch through the real programs: Tesmaro, the queue library
// and the simulated suite, each as it ships, driven through the file system.

#include "e2e/EndToEndTest.h"
#include "support/ViewerRecord.h"

#include <unistd.h>

#include <algorithm>
#include <tuple>

using namespace e2e;
using testsupport::ParseViewerRecord;
using testsupport::TestViewerExecutable;
using testsupport::ViewerRecord;

namespace {

// Six samples of a quarter second: longer than a tick, so that a batch sent
// before the previous one is done would show in the suite's log.
const std::string kBatch = "Sample list\nS1\nS2\nS3\nS4\nS5\nS6\n";

} // namespace

TEST_F(EndToEndTest, WhileTheSuiteIsDownBatchesWaitThenGoInCreationOrderOneAtATime) {
    ASSERT_TRUE(StartSuite("0.25"));
    ASSERT_TRUE(StartTesmaro());
    suite->Kill(); // its socket file stays behind, as after a crash

    scene.DropInSuccessiveSeconds({{"C.olb", kBatch}, {"A.olb", kBatch}, {"B.olb", kBatch}});
    ASSERT_TRUE(WaitFor([&] { return Exists(scene.statusFile); }));
    // By then every batch has been settled for at least one whole tick.
    const auto due = scene.LastCreation() + 3;
    ASSERT_TRUE(WaitFor([&] { return NowSeconds() >= due; }));
    EXPECT_EQ(FilesIn(scene.queue), (Names{"A.olb", "B.olb", "C.olb"}));
    EXPECT_EQ(FilesIn(scene.failed), Names{});
    EXPECT_EQ(FilesIn(scene.processed), Names{});
    EXPECT_TRUE(Exists(scene.statusFile));

    ASSERT_TRUE(StartSuite("0.25")); // over the stale socket
    const Names filed{"A.olb", "A.rpt", "B.olb", "B.rpt", "C.olb", "C.rpt"};
    bool statusKept = true;
    ASSERT_TRUE(WaitFor([&] {
        statusKept = statusKept && Exists(scene.statusFile);
        return FilesIn(scene.processed) == filed;
    })) << ::testing::PrintToString(FilesIn(scene.processed));
    EXPECT_TRUE(statusKept) << "the status file went away while there was work";
    EXPECT_EQ(Road(Log()),
              (Names{"submit C", "done C", "submit A", "done A", "submit B", "done B"}));

    EXPECT_TRUE(WaitFor([&] { return !Exists(scene.statusFile); }));
    EXPECT_EQ(FilesIn(scene.queue), Names{});
    EXPECT_EQ(FilesIn(scene.failed), Names{});
}

// A batch's title, its first line and the flags the suite must receive.
using FlaggedBatch = std::tuple<std::string, std::string, long long>;

struct FlagCase {
    const char* name;
    SettingsValues settings;
    std::vector<FlaggedBatch> batches;
    friend void PrintTo(const FlagCase& c, std::ostream* os) { *os << c.name; }
};

class OperationFlags : public EndToEndTest, public ::testing::WithParamInterface<FlagCase> {};

TEST_P(OperationFlags, ReachTheSuiteWithTheFixedArguments) {
    ASSERT_TRUE(StartSuite());
    ASSERT_TRUE(StartTesmaro(GetParam().settings));
    Names filed;
    for (const auto& [title, firstLine, flags] : GetParam().batches) {
        scene.Drop(title + ".olb", firstLine + "\nS1\n");
        filed.insert(filed.end(), {title + ".olb", title + ".rpt"});
    }
    std::sort(filed.begin(), filed.end());
    ASSERT_TRUE(WaitFor([&] { return FilesIn(scene.processed) == filed; }))
        << ::testing::PrintToString(FilesIn(scene.processed));

    const auto log = Log();
    for (const auto& [title, firstLine, flags] : GetParam().batches) {
        const auto submission = SubmissionOf(log, title);
        ASSERT_TRUE(submission.has_value()) << title;
        EXPECT_EQ(submission->flags, flags) << title;
        EXPECT_EQ(submission->args, (std::vector<long long>{0, 1, 0})) << title;
        EXPECT_EQ(submission->path, scene.queue + "/" + title + ".olb");
    }
}

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, OperationFlags,
    ::testing::Values(
        FlagCase{
            "Defaults", {}, {{"Plain", "Sample list", 12}, {"Marked", "Run [OAQUAN] now", 44}}},
        FlagCase{"EveryOperation",
                 {{"Acquire", "1"}, {"Process", "1"}, {"Quantify", "1"}, {"Profile", "1"}},
                 {{"Marked", "[OAQUAN]", 124}}}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(EndToEndTest, ARefusedBatchGoesToFailedAndAnAcceptedOneToProcessedWithItsCompanions) {
    ASSERT_TRUE(StartSuite());
    ASSERT_TRUE(StartTesmaro());
    // Companions first, so each batch is whole when it is seen.
    scene.Drop("R.notes", "refused notes");
    scene.Drop("R.a.log", "belongs to R by its name");
    scene.Drop("Rx.notes", "belongs to no batch");
    scene.Drop("G.notes", "accepted notes");
    scene.Drop("R.olb", "[REFUSE] this list\nS1\n");
    scene.Drop("G.olb", "Sample list\nS1\n");

    ASSERT_TRUE(WaitForFiles(scene.failed, {"R.a.log", "R.notes", "R.olb"}));
    ASSERT_TRUE(WaitForFiles(scene.processed, {"G.notes", "G.olb", "G.rpt"}));
    EXPECT_EQ(FilesIn(scene.failed), (Names{"R.a.log", "R.notes", "R.olb"}));
    EXPECT_EQ(FilesIn(scene.processed), (Names{"G.notes", "G.olb", "G.rpt"}));
    EXPECT_EQ(FilesIn(scene.queue), Names{"Rx.notes"});
    EXPECT_EQ(ReadFile(scene.failed + "/R.notes"), "refused notes");
    EXPECT_NE(ReadFile(scene.processed + "/G.rpt").find(scene.queue + "/G.olb"), std::string::npos);

    const Names road = Road(Log());
    EXPECT_NE(std::find(road.begin(), road.end(), "refused R"), road.end());
    EXPECT_NE(std::find(road.begin(), road.end(), "done G"), road.end());
    EXPECT_EQ(std::count(road.begin(), road.end(), "refused R"), 1) << "a refusal is not retried";
    EXPECT_TRUE(WaitFor([&] { return !Exists(scene.statusFile); }));

    // The administrator's log on standard error tells the same road.
    const std::string told = tesmaro->Output();
    const std::string r = " title=R path=" + scene.queue + "/R.olb";
    const std::string g = " title=G path=" + scene.queue + "/G.olb";
    for (const std::string& line : {"handed-over" + r + " flags=acquire,process result=refused",
                                    "filed" + r + " dir=" + scene.failed + " reason=refused",
                                    "handed-over" + g + " flags=acquire,process result=accepted",
                                    "completed" + g, "filed" + g + " dir=" + scene.processed})
        EXPECT_NE(told.find(" " + line + "\n"), std::string::npos) << line << "\n" << told;
}

TEST_F(EndToEndTest, TheViewerPrintsThenSummarisesWithTheSchemeBeforeTheBatchIsFiled) {
    const std::string record = scene.root + "/viewer.record";
    const std::string hold = scene.root + "/viewer.hold";
    const std::string viewer = TestViewerExecutable();
    ASSERT_TRUE(WriteFile(hold, "")); // the first start keeps running until it goes
    ASSERT_TRUE(StartSuite());
    ASSERT_TRUE(StartTesmaro({{"PrintReport", "1"},
                              {"CreateSummary", "1"},
                              {"SchemeName", "S1"},
                              {"BrowserFile", viewer}},
                             {{"TESMARO_VIEWER_RECORD", record}, {"TESMARO_VIEWER_HOLD", hold}}));
    scene.Drop("V.olb", kBatch);

    const auto start = [&](const std::string& operation) {
        std::optional<ViewerRecord> seen;
        WaitFor([&] {
            seen = ParseViewerRecord(ReadFile(record));
            return seen && seen->arguments.size() > 2 && seen->arguments[2] == operation;
        });
        return seen;
    };
    const std::string result = scene.queue + "/V.rpt";
    const auto print = start("/p");
    ASSERT_TRUE(print.has_value()) << ReadFile(record);
    EXPECT_EQ(print->arguments, (Names{viewer, result, "/p", "/sS1"}));
    EXPECT_EQ(print->cwd, viewer.substr(0, viewer.rfind('/')));
    EXPECT_EQ(print->descriptors, "0 1 2") << "Tesmaro let a descriptor of its own through";
    // While the viewer runs, the batch waits in the queue with its result file.
    EXPECT_TRUE(Exists(scene.queue + "/V.olb"));
    EXPECT_TRUE(Exists(result));

    ASSERT_EQ(unlink(hold.c_str()), 0);
    const auto summary = start("/r");
    ASSERT_TRUE(summary.has_value()) << ReadFile(record);
    EXPECT_EQ(summary->arguments, (Names{viewer, result, "/r", "/sS1"}));
    EXPECT_NE(summary->pid, print->pid);
    ASSERT_TRUE(WaitForFiles(scene.processed, {"V.olb", "V.rpt"}));
    EXPECT_EQ(FilesIn(scene.queue), Names{});
}
