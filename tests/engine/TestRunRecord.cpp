#include "EngineScene.h"
#include "engine/RunRecord.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <filesystem>

using engine::RunEntry;
using engine::RunStage;
using enginetest::EngineScene;
using enginetest::Names;

namespace {

RunEntry EntryFor(const std::string& path, const std::string& title, RunStage stage) {
    RunEntry entry;
    EXPECT_TRUE(platform::IdentifyAt(AT_FDCWD, path.c_str(), entry.identity));
    entry.path = path;
    entry.title = title;
    entry.stage = stage;
    return entry;
}

} // namespace

TEST(RunRecord, OddNamesSurviveTheTextAndDamageIsRefused) {
    RunEntry odd;
    odd.identity = {66306, 1234567, 1'700'000'000, 999'999'999};
    odd.title = "a b\n%\xff-";
    odd.path = "/q/a b\n%\xff-.olb";
    RunEntry empty = odd;
    empty.title = "";
    RunEntry dash = odd;
    dash.title = "-";
    dash.stage = RunStage::Failed;
    const std::vector<RunEntry> entries = {odd, empty, dash};
    const std::string text = engine::FormatRunRecord(entries);
    const auto parsed = engine::ParseRunRecord(text);
    ASSERT_TRUE(parsed.has_value());
    ASSERT_EQ(parsed->size(), 3u);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ((*parsed)[i].identity, entries[i].identity);
        EXPECT_EQ((*parsed)[i].title, entries[i].title);
        EXPECT_EQ((*parsed)[i].path, entries[i].path);
        EXPECT_EQ((*parsed)[i].stage, entries[i].stage);
    }

    for (const std::string& damaged :
         Names{"garbage\n", "Tesmaro run record 2\n", text.substr(0, text.size() - 1),
               "Tesmaro run record 1\nrunning 1 2 3 4 t /q/t.olb\n",
               "Tesmaro run record 1\naccepted 1 x 3 4 t /q/t.olb\n",
               "Tesmaro run record 1\naccepted 1 2 3 4 t /q/t.olb extra\n",
               "Tesmaro run record 1\naccepted 1 2 3 4 t%4 /q/t.olb\n",
               "Tesmaro run record 1\naccepted  1 2 3 4 t /q/t.olb\n"}) {
        SCOPED_TRACE(damaged);
        EXPECT_FALSE(engine::ParseRunRecord(damaged).has_value());
        // The engine sets a damaged record aside and starts with an empty one.
        EngineScene s;
        s.runs.text = damaged;
        s.Start();
        EXPECT_TRUE(s.engine->Runs().IsEmpty());
        EXPECT_EQ(s.runs.setAside, damaged);
    }
}

TEST(RunRecord, ARestartResumesEachStageWithoutRunningAnythingTwice) {
    struct Case {
        const char* what;
        RunStage stage;
        int itemsAtStart;
        Names launches; // the viewer operations still started
        bool processed;
        const char* filed; // as the log is told
    };
    const Case cases[] = {
        {"in the hand-over call, the suite holds items",
         RunStage::HandingOver,
         1,
         {"/p", "/r"},
         true,
         "filed A Processed"},
        {"in the hand-over call, the suite is empty",
         RunStage::HandingOver,
         0,
         {},
         false,
         "filed A Failed interrupted"},
        {"accepted", RunStage::Accepted, 1, {"/p", "/r"}, true, "filed A Processed"},
        {"while the report viewer ran", RunStage::Printing, 0, {"/r"}, true, "filed A Processed"},
        {"while the summary viewer ran", RunStage::Summarising, 0, {}, true, "filed A Processed"},
        {"while filing as processed", RunStage::Processed, 0, {}, true, "filed A Processed"},
        {"refused", RunStage::Refused, 0, {}, false, "filed A Failed refused"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EngineScene s;
        s.params.PrintReport = 1;
        s.params.CreateSummary = 1;
        s.params.BrowserFile = "/opt/tools/Telvorn.exe";
        const std::string a = s.Put("A.olb");
        s.Put("A.rpt");
        s.runs.text = engine::FormatRunRecord({EntryFor(a, "A", c.stage)});
        s.library.items = c.itemsAtStart;
        s.Start();
        s.IdleTicks(3);
        EXPECT_TRUE(s.library.submittedPaths.empty());
        Names launches;
        for (const auto& launch : s.launcher.launches)
            launches.push_back(launch.request.arguments.at(2));
        EXPECT_EQ(launches, c.launches);
        EXPECT_EQ(testsupport::ListDirectory(c.processed ? s.processed : s.failed),
                  (Names{"A.olb", "A.rpt"}));
        EXPECT_TRUE(testsupport::ListDirectory(s.queue).empty());
        EXPECT_TRUE(s.engine->Runs().IsEmpty());
        const Names told = s.events.Told();
        EXPECT_EQ(std::count(told.begin(), told.end(), c.filed), 1);
    }
}

TEST(RunRecord, RestartedWhileTheSuiteRunsABatchItIsCompletedNotHandedOverAgain) {
    EngineScene s;
    const std::string a = s.Put("A.olb");
    s.SubmitHead();
    s.library.items = 1;
    s.Start();
    s.engine->ProcessStep();
    EXPECT_EQ(s.engine->StatusMessage(), "Processing batch 'A'");
    s.IdleTicks(2);
    EXPECT_EQ(s.library.submittedPaths, Names{a});
    EXPECT_EQ(testsupport::ListDirectory(s.processed), Names{"A.olb"});
    // A new file under the old name is a new batch and runs.
    const std::string again = s.Put("A.olb");
    s.IdleTicks(1);
    EXPECT_EQ(s.library.submittedPaths, (Names{a, again}));
}

TEST(RunRecord, NothingIsHandedOverWhileTheRecordCannotBeReadOrWritten) {
    for (const bool unreadable : {true, false}) {
        SCOPED_TRACE(unreadable ? "unreadable" : "unwritable");
        EngineScene s;
        s.Put("A.olb");
        s.runs.unreadable = unreadable;
        s.runs.failSaves = !unreadable;
        s.Start();
        s.IdleTicks(2);
        EXPECT_TRUE(s.library.submittedPaths.empty());
        EXPECT_EQ(testsupport::ListDirectory(s.queue), Names{"A.olb"});
        s.runs.unreadable = s.runs.failSaves = false;
        s.IdleTicks(1);
        EXPECT_EQ(s.library.submittedPaths.size(), 1u);
    }
}

TEST(RunRecord, AShortOutageOfTheQueueDirectoryDoesNotRunTheBatchAgain) {
    EngineScene s;
    const std::string a = s.Put("A.olb");
    s.SubmitHead();
    const std::string away = s.root / "away";
    std::filesystem::rename(s.queue, away);
    s.library.items = 1;
    s.engine->ProcessStep();
    EXPECT_EQ(s.engine->Submitted(), 0); // the list was found empty
    s.engine->ProcessStep();
    std::filesystem::rename(away, s.queue);
    s.IdleTicks(3);
    EXPECT_EQ(s.library.submittedPaths, Names{a});
    EXPECT_EQ(testsupport::ListDirectory(s.processed), Names{"A.olb"});
    EXPECT_EQ(s.events.Told(),
              (Names{"queue-missing", "queue-back", "completed A", "filed A Processed"}));
}

TEST(RunRecord, OnlyOneEngineWorksAQueueDirectory) {
    EngineScene s;
    const std::string a = s.Put("A.olb");
    engine::MemoryRunRecordStore otherRuns;
    testsupport::RecordingEventSink otherEvents;
    engine::CBatchQueue other(engine::EngineServices{&s.library, &s.clock,
                                                     engine::DefaultFinderFactory(), &s.files,
                                                     &s.launcher, &otherRuns, &otherEvents});
    other.SetSettings(s.params);
    s.engine->Rescan(); // the first one holds the directory
    s.library.running = 1;
    other.ProcessStep();
    EXPECT_TRUE(s.library.submittedPaths.empty());
    EXPECT_EQ(other.StatusMessage(), "Queue directory is in use by another Tesmaro");
    other.ProcessStep();
    EXPECT_EQ(otherEvents.Told(), Names{"queue-held-elsewhere"});
    s.engine.reset();
    other.ProcessStep();
    EXPECT_EQ(s.library.submittedPaths, Names{a});
    EXPECT_EQ(otherEvents.Told(),
              (Names{"queue-released", "suite-appeared", "handed-over A flags=12 accepted"}));
}
