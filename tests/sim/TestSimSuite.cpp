// The suite without its socket: batch files, result files, the process queue
// and the answers to each call, with time passed in.

#include "sim/BatchFile.h"
#include "sim/CallLog.h"
#include "sim/ProcessQueue.h"
#include "sim/ResultFile.h"
#include "sim/SimLog.h"
#include "sim/SimServer.h"
#include "sim/SimSuite.h"
#include "support/FileModesBind.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

using namespace std::chrono_literals;
using sim::TimePoint;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

const TimePoint kStart = TimePoint(100s);

} // namespace

TEST(SimBatchFile, OneItemPerNonEmptyLineAfterTheFirst) {
    struct Case {
        std::string text;
        int items;
        std::string header;
    };
    const std::vector<Case> cases = {
        {"", 1, ""},
        {"Header only", 1, "Header only"},
        {"Header\n", 1, "Header"},
        {"H\nS1\nS2\nS3", 3, "H"},
        {"H\r\nS1\r\n\r\nS2\r\n", 2, "H"},
        {"H\n\n \n\t\nS1\n\n", 1, "H"},
        {"\nS1\nS2\n", 2, ""},
        {"H [OAQUAN]\nS1\n", 1, "H [OAQUAN]"},
    };
    for (const auto& c : cases) {
        const auto batch = sim::ParseBatchText(c.text);
        EXPECT_EQ(batch.items, c.items) << c.text;
        EXPECT_EQ(batch.header, c.header) << c.text;
    }
    const auto batch = sim::ParseBatchText("H\n  S1 \nS2\r\n");
    EXPECT_EQ(batch.samples, (std::vector<std::string>{"  S1 ", "S2"}));
}

TEST(SimBatchFile, ListsABoundedNumberOfSamples) {
    std::string text = "H\n";
    for (std::size_t i = 0; i < sim::kMaxListedSamples + 5; ++i)
        text += std::string(sim::kMaxLineBytes + 10, 'x') + "\n";
    const auto batch = sim::ParseBatchText(text);
    EXPECT_EQ(batch.items, static_cast<int>(sim::kMaxListedSamples + 5));
    EXPECT_EQ(batch.samples.size(), sim::kMaxListedSamples);
    EXPECT_EQ(batch.samples.front().size(), sim::kMaxLineBytes);
}

TEST(SimBatchFile, OnlyReadableRegularFilesAreRead) {
    TempDir dir;
    WriteFile(dir / "B.olb", "H\nS1\nS2\n");
    ASSERT_EQ(mkdir((dir / "D.olb").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo((dir / "F.olb").c_str(), 0644), 0);
    ASSERT_EQ(symlink((dir / "B.olb").c_str(), (dir / "L.olb").c_str()), 0);

    const auto regular = sim::ReadBatchFile(dir / "B.olb");
    ASSERT_TRUE(regular);
    EXPECT_EQ(regular->items, 2);
    // A FIFO with no writer must not block the suite.
    for (const char* name : {"D.olb", "F.olb", "L.olb", "missing.olb"})
        EXPECT_FALSE(sim::ReadBatchFile(dir / name)) << name;
    EXPECT_FALSE(sim::ReadBatchFile(""));

    testsupport::FileModesBind modesBind;
    if (testsupport::ModesBindHere(dir.Path().c_str())) {
        ASSERT_EQ(chmod((dir / "B.olb").c_str(), 0), 0);
        EXPECT_FALSE(sim::ReadBatchFile(dir / "B.olb"));
    }
}

TEST(SimBatchFile, ReadsNoMoreThanItsLimit) {
    TempDir dir;
    std::string text = "H\n";
    while (text.size() < sim::kMaxBatchBytes + 4096)
        text += "sample\n";
    WriteFile(dir / "Big.olb", text);
    const auto batch = sim::ReadBatchFile(dir / "Big.olb");
    ASSERT_TRUE(batch);
    // Whole lines up to the limit, and the line cut off by it.
    const std::size_t lines = (sim::kMaxBatchBytes - 2 + 6) / 7;
    EXPECT_EQ(batch->items, static_cast<int>(lines));
}

TEST(SimResultFile, LiesBesideTheBatchWithItsExtensionReplaced) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/q/B.olb", "/q/B.rpt"},     {"/q/B.two.olb", "/q/B.two.rpt"},
        {"/q/NoExt", "/q/NoExt.rpt"}, {"/q.d/NoExt", "/q.d/NoExt.rpt"},
        {"./B.olb", "./B.rpt"},       {"B.olb", "B.rpt"},
        {"/q/B.", "/q/B.rpt"},
    };
    for (const auto& [batch, result] : cases)
        EXPECT_EQ(sim::ResultPathFor(batch), result) << batch;
}

TEST(SimResultFile, ReportNamesBatchFlagsAndSamples) {
    const auto report =
        sim::FormatReport("/q/B.olb", sim::ParseBatchText("Run 7 [OAQUAN]\nA1\nA2\n"), 44);
    for (const char* part :
         {"/q/B.olb", "Run 7 [OAQUAN]", "44 (acquire, process, quan marker)", "1. A1", "2. A2"})
        EXPECT_NE(report.find(part), std::string::npos) << part << "\n" << report;
    EXPECT_NE(sim::FormatReport("/q/B.olb", sim::ParseBatchText("H"), 124)
                  .find("124 (acquire, process, quantify, quan marker, profile)"),
              std::string::npos);
    EXPECT_NE(sim::FormatReport("/q/B.olb", sim::ParseBatchText("H"), 0).find("0 (none)"),
              std::string::npos);
}

TEST(SimResultFile, AppearsWholeOrNotAtAll) {
    TempDir dir;
    ASSERT_TRUE(sim::WriteFileAtomically(dir / "B.rpt", "first"));
    ASSERT_TRUE(sim::WriteFileAtomically(dir / "B.rpt", "second"));
    EXPECT_EQ(testsupport::ReadFile(dir / "B.rpt"), "second");
    EXPECT_EQ(testsupport::ListDirectory(dir.Path()), std::vector<std::string>{"B.rpt"});

    EXPECT_FALSE(sim::WriteFileAtomically(dir / "gone/B.rpt", "x"));
    // A target that cannot be replaced leaves no temporary file behind.
    ASSERT_EQ(mkdir((dir / "D.rpt").c_str(), 0755), 0);
    WriteFile(dir / "D.rpt/keep", "");
    EXPECT_FALSE(sim::WriteFileAtomically(dir / "D.rpt", "x"));
    EXPECT_EQ(testsupport::ListDirectory(dir.Path()), (std::vector<std::string>{"B.rpt", "D.rpt"}));
}

TEST(SimProcessQueue, RunsItemsOneAfterAnother) {
    sim::ProcessQueue queue(1s);
    std::vector<std::pair<sim::ProcessQueue::BatchId, int>> done; // id, count seen when done
    const auto onDone = [&](sim::ProcessQueue::BatchId id) {
        done.emplace_back(id, queue.Count());
    };
    EXPECT_FALSE(queue.NextDeadline());
    queue.AddBatch(7, 2, kStart);
    queue.AddForeign(1, kStart + 500ms);
    queue.AddBatch(8, 1, kStart + 600ms);
    EXPECT_EQ(queue.Count(), 4);
    EXPECT_EQ(queue.NextDeadline(), kStart + 1s);

    struct Step {
        std::chrono::milliseconds at;
        int count;
        std::size_t batchesDone;
    };
    const std::vector<Step> steps = {
        {999ms, 4, 0},  {1000ms, 3, 0}, {1999ms, 3, 0}, {2000ms, 2, 1},
        {3000ms, 1, 1}, {3999ms, 1, 1}, {4000ms, 0, 2}, {9000ms, 0, 2},
    };
    for (const auto& s : steps) {
        queue.Advance(kStart + s.at, onDone);
        EXPECT_EQ(queue.Count(), s.count) << s.at.count();
        EXPECT_EQ(done.size(), s.batchesDone) << s.at.count();
    }
    // Each batch was reported while its last item still counted.
    EXPECT_EQ(done, (std::vector<std::pair<sim::ProcessQueue::BatchId, int>>{{7, 3}, {8, 1}}));
    EXPECT_FALSE(queue.NextDeadline());
}

TEST(SimProcessQueue, ALateWakeUpCatchesUpWithoutDrift) {
    sim::ProcessQueue queue(250ms);
    int done = 0;
    queue.AddForeign(1000, kStart);
    queue.AddBatch(1, 4, kStart);
    queue.Advance(kStart + 1001 * 250ms + 10ms, [&](auto) { ++done; });
    EXPECT_EQ(queue.Count(), 3);
    EXPECT_EQ(queue.NextDeadline(), kStart + 1002 * 250ms);
    queue.Advance(kStart + 1004 * 250ms, [&](auto) { ++done; });
    EXPECT_EQ(queue.Count(), 0);
    EXPECT_EQ(done, 1);
}

TEST(SimProcessQueue, ZeroTimeItemsFinishAtTheNextLook) {
    sim::ProcessQueue queue(0s);
    std::vector<sim::ProcessQueue::BatchId> done;
    queue.AddBatch(1, 3, kStart);
    queue.AddForeign(2, kStart);
    queue.AddBatch(2, 1, kStart);
    EXPECT_EQ(queue.Count(), 6);
    queue.Advance(kStart, [&](auto id) { done.push_back(id); });
    EXPECT_EQ(queue.Count(), 0);
    EXPECT_EQ(done, (std::vector<sim::ProcessQueue::BatchId>{1, 2}));
}

TEST(SimProcessQueue, ClearingReportsNothingAndRestartsTheClock) {
    sim::ProcessQueue queue(1s);
    int done = 0;
    queue.AddBatch(1, 2, kStart);
    queue.Clear();
    EXPECT_EQ(queue.Count(), 0);
    queue.Advance(kStart + 10s, [&](auto) { ++done; });
    EXPECT_EQ(done, 0);
    queue.AddBatch(2, 1, kStart + 20s);
    EXPECT_EQ(queue.NextDeadline(), kStart + 21s);
    EXPECT_EQ(queue.AddForeign(-5, kStart), 0);
    EXPECT_EQ(queue.AddForeign(sim::ProcessQueue::kMaxItems, kStart),
              sim::ProcessQueue::kMaxItems - 1);
    EXPECT_EQ(queue.Count(), sim::ProcessQueue::kMaxItems);
}

namespace {

// A suite over a temporary queue directory, with a log file and fixed times.
class SuiteTest : public ::testing::Test {
protected:
    sim::SimSuite& Make(sim::SuiteOptions options = {}) {
        std::string error;
        EXPECT_TRUE(m_log.Open(m_logPath, &error)) << error;
        m_suite.emplace(options, m_log, [] { return 1700000000.0; });
        return *m_suite;
    }
    sim::Submission Batch(const std::string& name, int flags = 12) const {
        return sim::Submission{m_dir / name, "", 0, 1, 0, flags};
    }
    std::vector<simtest::SimLogEntry> Log() const { return simtest::ReadSimLog(m_logPath); }

    TempDir m_dir;
    TempDir m_logDir;
    std::string m_logPath = m_logDir / "sim.log";
    sim::CallLog m_log;
    std::optional<sim::SimSuite> m_suite;
};

} // namespace

TEST_F(SuiteTest, RunsABatchAndWritesItsResultBeforeItLeavesTheQueue) {
    auto& suite = Make();
    WriteFile(m_dir / "B.olb", "Header\nS1\nS2\n");
    EXPECT_EQ(suite.Submit(Batch("B.olb", 44), kStart), 1);
    EXPECT_EQ(suite.Count(kStart + 1500ms), 1);
    EXPECT_FALSE(testsupport::Exists(m_dir / "B.rpt"));
    EXPECT_EQ(suite.Count(kStart + 2s), 0);
    const auto report = testsupport::ReadFile(m_dir / "B.rpt");
    EXPECT_NE(report.find("44 (acquire, process, quan marker)"), std::string::npos) << report;
    EXPECT_EQ(testsupport::ListDirectory(m_dir.Path()),
              (std::vector<std::string>{"B.olb", "B.rpt"}));

    const auto log = Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].call, "QueueSampleBatch");
    EXPECT_EQ(log[0].path, m_dir / "B.olb");
    EXPECT_EQ(log[0].args, (std::vector<long long>{0, 1, 0}));
    EXPECT_EQ(log[0].flags, 44);
    EXPECT_EQ(log[0].result, 1);
    EXPECT_EQ(log[1].call, "done");
    EXPECT_EQ(log[1].path, m_dir / "B.olb");
}

TEST_F(SuiteTest, RefusesWhatItCannotRun) {
    auto& suite = Make();
    WriteFile(m_dir / "Refused.olb", "Plate 3 [REFUSE] please\nS1\n");
    WriteFile(m_dir / "Later.olb", "Header\n[REFUSE]\n");
    WriteFile(m_dir / "lower.olb", "[refuse]\nS1\n");
    ASSERT_EQ(mkdir((m_dir / "Dir.olb").c_str(), 0755), 0);
    const std::vector<std::pair<std::string, int>> cases = {
        {"Refused.olb", 0}, {"Missing.olb", 0}, {"Dir.olb", 0}, {"Later.olb", 1}, {"lower.olb", 1},
    };
    for (const auto& [name, result] : cases)
        EXPECT_EQ(suite.Submit(Batch(name), kStart), result) << name;
    EXPECT_EQ(suite.Count(kStart), 2);
    const auto log = Log();
    ASSERT_EQ(log.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(log[i].result, cases[i].second) << cases[i].first;
}

TEST_F(SuiteTest, RefuseAllRefusesGoodBatches) {
    sim::SuiteOptions options;
    options.refuseAll = true;
    auto& suite = Make(options);
    WriteFile(m_dir / "B.olb", "Header\nS1\n");
    EXPECT_EQ(suite.Submit(Batch("B.olb"), kStart), 0);
    EXPECT_EQ(suite.Count(kStart), 0);
    ASSERT_EQ(Log().size(), 1u);
    EXPECT_EQ(Log()[0].result, 0);
}

TEST_F(SuiteTest, RelativePathsAreTheCallersAndAreLoggedAsGiven) {
    auto& suite = Make();
    WriteFile(m_dir / "B.olb", "Header\nS1\n");
    sim::Submission s{"./B.olb", m_dir.Path(), 0, 1, 0, 12};
    EXPECT_EQ(suite.Submit(s, kStart), 1);
    suite.Advance(kStart + 1s);
    EXPECT_TRUE(testsupport::Exists(m_dir / "B.rpt"));
    const auto log = Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].path, "./B.olb");
    EXPECT_EQ(log[1].path, "./B.olb");
    EXPECT_EQ(sim::LocateBatch("B.olb", "/w/"), "/w/B.olb");
    EXPECT_EQ(sim::LocateBatch("/q/B.olb", "/w"), "/q/B.olb");
    EXPECT_EQ(sim::LocateBatch("B.olb", ""), "B.olb");
}

TEST_F(SuiteTest, NoResultsStillFinishesBatches) {
    sim::SuiteOptions options;
    options.writeResults = false;
    options.itemTime = 0s;
    auto& suite = Make(options);
    WriteFile(m_dir / "B.olb", "Header\nS1\n");
    EXPECT_EQ(suite.Submit(Batch("B.olb"), kStart), 1);
    EXPECT_EQ(suite.Count(kStart), 0);
    EXPECT_EQ(testsupport::ListDirectory(m_dir.Path()), std::vector<std::string>{"B.olb"});
    ASSERT_EQ(Log().size(), 2u);
    EXPECT_EQ(Log()[1].call, "done");
}

TEST_F(SuiteTest, ABatchWhoseFolderWentGetsNoResult) {
    auto& suite = Make();
    ASSERT_EQ(mkdir((m_dir / "sub").c_str(), 0755), 0);
    WriteFile(m_dir / "sub/B.olb", "Header\nS1\n");
    EXPECT_EQ(suite.Submit(Batch("sub/B.olb"), kStart), 1);
    std::filesystem::remove_all(m_dir / "sub");
    EXPECT_EQ(suite.Count(kStart + 1s), 0);
    EXPECT_EQ(Log().back().call, "done");
}

TEST_F(SuiteTest, ControlOneEmptiesTheQueueAtOnce) {
    auto& suite = Make();
    WriteFile(m_dir / "B.olb", "Header\nS1\nS2\n");
    EXPECT_EQ(suite.Submit(Batch("B.olb"), kStart), 1);
    EXPECT_EQ(suite.AddForeign(3, kStart), 5);
    EXPECT_EQ(suite.Control(2, kStart), 0);
    EXPECT_EQ(suite.Count(kStart), 5);
    EXPECT_EQ(suite.Control(1, kStart), 1);
    EXPECT_EQ(suite.Count(kStart), 0);
    suite.Advance(kStart + 1h);
    EXPECT_FALSE(testsupport::Exists(m_dir / "B.rpt"));
    const auto log = Log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[1].call, "QueueControl");
    EXPECT_EQ(log[1].code, 2);
    EXPECT_EQ(log[2].code, 1);
}

TEST_F(SuiteTest, ForeignItemsDelayABatch) {
    auto& suite = Make();
    WriteFile(m_dir / "B.olb", "Header\nS1\n");
    EXPECT_EQ(suite.AddForeign(2, kStart), 2);
    EXPECT_EQ(suite.Submit(Batch("B.olb"), kStart), 1);
    suite.Advance(kStart + 2999ms);
    EXPECT_FALSE(testsupport::Exists(m_dir / "B.rpt"));
    suite.Advance(kStart + 3s);
    EXPECT_TRUE(testsupport::Exists(m_dir / "B.rpt"));
}

TEST_F(SuiteTest, ASubmissionWhoseCallerHasGivenUpIsNotTaken) {
    auto& suite = Make();
    sim::SimServer server(suite, -1);
    WriteFile(m_dir / "B.olb", "Header\nS1\n");
    sim::Request request;
    request.verb = sim::Verb::Submit;
    request.path = m_dir / "B.olb";
    request.deadlineNs = sim::Deadline(kStart + 10ms).Nanoseconds();
    EXPECT_FALSE(server.Answer(request, kStart));
    EXPECT_EQ(suite.Count(kStart), 0);
    EXPECT_TRUE(Log().empty());

    request.deadlineNs = sim::Deadline(kStart + 80ms).Nanoseconds();
    EXPECT_EQ(server.Answer(request, kStart), 1);
    EXPECT_EQ(suite.Count(kStart), 1);
    // Other calls are answered whenever they arrive.
    sim::Request count;
    count.verb = sim::Verb::Count;
    EXPECT_EQ(server.Answer(count, kStart + 1h), 0);
}
