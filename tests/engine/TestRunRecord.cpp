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
    EXPECT_TRUE(platform::IdentifyAt(platform::DefaultFileOps(), path, entry.identity));
    entry.identity.device = 0;
    entry.name = std::filesystem::path(path).filename();
    entry.title = title;
    entry.stage = stage;
    return entry;
}

} // namespace

TEST(RunRecord, OddNamesSurviveTheTextHarmlessFormsReadAndDamageIsLeftAlone) {
    RunEntry odd;
    odd.identity = {0, 1234567, 1'700'000'000, 42, 1'700'000'001, 0xFEDCBA98, 999'999'999, 5};
    odd.title = "a b\n%\xff-";
    odd.name = "a b\n%\xff-.olb";
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
        EXPECT_EQ((*parsed)[i].name, entries[i].name);
        EXPECT_EQ((*parsed)[i].stage, entries[i].stage);
    }

    // What an editor or a copy does to a text file is read as meant.
    const std::string one = "Tesmaro run record 2\naccepted 7 1 2 3 4 5 ab A A.olb\n";
    for (const std::string& harmless :
         Names{one, one + "\n\n", "\xEF\xBB\xBF" + one, one.substr(0, one.size() - 1),
               "Tesmaro run record 2\r\naccepted 7 1 2 3 4 5 ab A A.olb\r\n", "", "\n"}) {
        SCOPED_TRACE(harmless);
        const auto read = engine::ParseRunRecord(harmless);
        ASSERT_TRUE(read.has_value());
        EXPECT_EQ(read->size(), harmless.size() > 2 ? 1u : 0u);
    }

    // Real damage: nothing is handed over, the file stays as it is, and the
    // status line and the log say so until someone mends or removes it.
    for (const std::string& damaged :
         Names{"garbage\n", "Tesmaro run record 3\n", "Tesmaro run record 1\n",
               "Tesmaro run record 2\nrunning 1 2 3 4 5 6 0 t t.olb\n",
               "Tesmaro run record 2\naccepted 1 x 3 4 5 6 0 t t.olb\n",
               "Tesmaro run record 2\naccepted 1 2 3 4 5 6 0 t t.olb extra\n",
               "Tesmaro run record 2\naccepted 1 2 3 4 5 6 0 t%4 t.olb\n",
               "Tesmaro run record 2\naccepted 1 2 3 4 5 6 0 t q/t.olb\n",
               "Tesmaro run record 2\naccepted  1 2 3 4 5 6 0 t t.olb\n"}) {
        SCOPED_TRACE(damaged);
        EXPECT_FALSE(engine::ParseRunRecord(damaged).has_value());
        EngineScene s;
        s.Put("A.olb");
        s.runs.text = damaged;
        s.Start();
        s.IdleTicks(2);
        EXPECT_TRUE(s.library.submittedPaths.empty());
        EXPECT_EQ(s.runs.text, damaged);
        EXPECT_EQ(s.runs.saves, 0);
        EXPECT_EQ(s.engine->StatusMessage(),
                  "Run record is damaged or unreadable, no processing can be performed");
        const Names told = s.events.Told();
        EXPECT_EQ(
            std::count_if(told.begin(), told.end(),
                          [](const std::string& e) { return e.starts_with("record-damaged"); }),
            1);
        // Removing it is the administrator's "start afresh".
        s.runs.text.reset();
        s.IdleTicks(1);
        EXPECT_EQ(s.library.submittedPaths.size(), 1u);
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

TEST(RunRecord, NothingMovesOnWhileTheRecordCannotBeReadOrWrittenAndTheStatusLineSaysWhy) {
    struct Case {
        const char* what;
        bool unreadable, unwritableAtStart, unwritableAtViewer;
        const char* status;
        const char* told;
    };
    const Case cases[] = {
        {"unreadable", true, false, false,
         "Run record is damaged or unreadable, no processing can be performed",
         "record-unreadable"},
        {"unwritable", false, true, false,
         "Run record cannot be written, no processing can be performed", "record-unwritable"},
        {"the report viewer's stage cannot be written", false, false, true,
         "Run record cannot be written, no processing can be performed", "record-unwritable"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EngineScene s;
        s.params.PrintReport = 1;
        s.params.BrowserFile = "/opt/tools/Telvorn.exe";
        s.Put("A.olb");
        s.Put("A.rpt");
        s.runs.unreadable = c.unreadable;
        s.runs.failSaves = c.unwritableAtStart;
        s.Start();
        if (c.unwritableAtViewer) {
            s.SubmitHead();
            s.runs.failSaves = true;
        }
        s.IdleTicks(3);
        // Waiting at its stage: no viewer skipped, nothing filed past it.
        EXPECT_EQ(s.library.submittedPaths.size(), c.unwritableAtViewer ? 1u : 0u);
        EXPECT_TRUE(s.launcher.launches.empty());
        EXPECT_EQ(testsupport::ListDirectory(s.queue), (Names{"A.olb", "A.rpt"}));
        EXPECT_EQ(s.engine->StatusMessage(), c.status);
        Names told = s.events.Told();
        EXPECT_EQ(std::count(told.begin(), told.end(), c.told), 1);

        s.runs.unreadable = s.runs.failSaves = false;
        s.IdleTicks(3);
        EXPECT_EQ(s.library.submittedPaths.size(), 1u);
        EXPECT_EQ(s.launcher.launches.size(), 1u);
        EXPECT_EQ(testsupport::ListDirectory(s.processed), (Names{"A.olb", "A.rpt"}));
        told = s.events.Told();
        EXPECT_EQ(std::count(told.begin(), told.end(), "record-working"), 1);
    }
}

// A Tesmaro that takes over the queue (another operator's, or the same one
// after a restart, with nothing but the queue directory in common) finds what
// the last one left there, and no batch runs twice.
TEST(RunRecord, TheQueueKeepsItsOwnRecordForWhoeverWorksItNext) {
    enum class Meanwhile { SuiteRuns, FilingFails, QueueDirElsewhere, OldPerUserRecord };
    struct Case {
        const char* what;
        Meanwhile meanwhile;
    };
    const Case cases[] = {
        {"taken over while the suite runs the batch", Meanwhile::SuiteRuns},
        {"taken over while its filing fails", Meanwhile::FilingFails},
        {"QueueDir elsewhere for one start while its filing fails", Meanwhile::QueueDirElsewhere},
        {"an earlier version's per-user record", Meanwhile::OldPerUserRecord},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EngineScene s;
        s.recordStore = nullptr;
        const std::string a = s.Put("A.olb");
        s.Put("A.log");
        const std::string legacy = s.root / "state/Tesmaro.runs";
        if (c.meanwhile == Meanwhile::OldPerUserRecord) {
            // Written by an earlier version: by full path and device.
            std::filesystem::create_directory(s.root / "state");
            engine::LegacyRunEntry old{EntryFor(a, "A", RunStage::Accepted), a};
            testsupport::WriteFile(
                legacy, engine::FormatLegacyRunRecord({old, {old.entry, s.root / "other/A.olb"}}));
            s.library.items = 1;
        } else if (c.meanwhile != Meanwhile::SuiteRuns) {
            testsupport::WriteFile(s.processed, "not a directory");
        }
        if (c.meanwhile != Meanwhile::OldPerUserRecord) {
            s.Start();
            s.SubmitHead();
            s.library.items = c.meanwhile == Meanwhile::SuiteRuns ? 1 : 0;
            s.IdleTicks(c.meanwhile == Meanwhile::SuiteRuns ? 0 : 2);
        }
        if (c.meanwhile == Meanwhile::QueueDirElsewhere) {
            s.params.QueueDir = s.root / "elsewhere";
            std::filesystem::create_directory(s.params.QueueDir);
            s.Start();
            s.IdleTicks(2);
            s.params.QueueDir = s.queue;
        }
        std::filesystem::remove(s.processed);

        // The next Tesmaro: a new engine, sharing nothing with the last.
        s.engine.reset();
        s.events.Told();
        s.engine = std::make_unique<engine::CBatchQueue>(
            engine::EngineServices{&s.library, &s.clock, engine::DefaultFinderFactory(), &s.files,
                                   &s.launcher, nullptr, &s.events, legacy, &s.writers});
        s.Apply();
        s.IdleTicks(3);
        EXPECT_EQ(s.library.submittedPaths,
                  c.meanwhile == Meanwhile::OldPerUserRecord ? Names{} : Names{a});
        EXPECT_EQ(testsupport::ListDirectory(s.processed), (Names{"A.log", "A.olb"}));
        EXPECT_TRUE(s.engine->Runs().IsEmpty());
        if (c.meanwhile == Meanwhile::OldPerUserRecord) {
            // What belongs to other queues stays where it was.
            const auto rest = engine::ParseLegacyRunRecord(testsupport::ReadFile(legacy));
            ASSERT_TRUE(rest.has_value());
            ASSERT_EQ(rest->size(), 1u);
            EXPECT_EQ(rest->front().path, s.root / "other/A.olb");
            const Names told = s.events.Told();
            EXPECT_EQ(std::count(told.begin(), told.end(), "record-migrated"), 1);
        }
    }
}

TEST(RunRecord, AHundredThousandUnfiledBatchesDoNotStopTheQueue) {
    EngineScene s;
    std::vector<RunEntry> entries(100'000);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        entries[i].identity = {0, 1'000 + i, 1'700'000'000, 10, 1'700'000'000, 1, 1, 1};
        entries[i].name = "gone" + std::to_string(i) + ".olb";
        entries[i].title = "gone" + std::to_string(i);
        entries[i].stage = i % 2 == 0 ? RunStage::Processed : RunStage::Refused;
    }
    s.runs.text = engine::FormatRunRecord(entries);
    const std::string a = s.Put("A.olb");
    s.Start();
    s.IdleTicks(2);
    EXPECT_EQ(s.library.submittedPaths, Names{a});
    EXPECT_TRUE(s.engine->Runs().Entries().size() <= 1u);
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
    engine::CBatchQueue other(engine::EngineServices{&s.library,
                                                     &s.clock,
                                                     engine::DefaultFinderFactory(),
                                                     &s.files,
                                                     &s.launcher,
                                                     &otherRuns,
                                                     &otherEvents,
                                                     {},
                                                     &s.writers});
    other.SetSettings(s.params);
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

TEST(RunRecord, AFileIsKnownByWhatSurvivesARemountNeverByItsDevice) {
    using platform::Sameness;
    const platform::FileIdentity born{1, 77, 1'700'000'000, 10, 1'700'000'100, 0xAB, 5, 9};
    platform::FileIdentity unborn = born;
    unborn.bornSeconds = 0;
    unborn.bornNanoseconds = 0;
    const auto with = [](platform::FileIdentity id, auto change) {
        change(id);
        return id;
    };
    struct Case {
        const char* what;
        platform::FileIdentity recorded, found;
        Sameness expected;
    };
    const Case cases[] = {
        {"another device number after a remount", born, with(born, [](auto& id) { id.device = 2; }),
         Sameness::Same},
        {"renamed or written to: inode and birth time stay", born,
         with(born, [](auto& id) { id.size = 99; }), Sameness::Same},
        {"a new file on a reused inode", born, with(born, [](auto& id) { id.bornNanoseconds = 6; }),
         Sameness::Different},
        {"no birth time, new inode numbers after a remount", unborn,
         with(unborn, [](auto& id) { id.inode = 5000; }), Sameness::Same},
        {"no birth time, a new file on a reused inode", unborn,
         with(unborn, [](auto& id) { id.modifiedSeconds += 1; }), Sameness::Different},
        {"no birth time, same size and time, other content", unborn,
         with(unborn, [](auto& id) { id.digest = 0xCD; }), Sameness::Different},
        {"no birth time, content not read yet", unborn,
         with(unborn, [](auto& id) { id.digest = 0; }), Sameness::NeedsDigest},
        {"whole seconds only on one side", unborn,
         with(unborn, [](auto& id) { id.modifiedNanoseconds = 0; }), Sameness::Same},
        {"birth time on one side only (another view of the disk)", born,
         with(unborn, [](auto& id) { id.inode = 5000; }), Sameness::Same},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(platform::CompareStable(c.recorded, c.found), c.expected);
    }
}

TEST(RunRecord, AFileReplacedDuringTheHandOverCountsAsHandedOverAndNeitherRunsAgain) {
    EngineScene s;
    const std::string a = s.Put("A.olb", "first\n");
    s.library.duringSubmit = [&](const std::string&) {
        testsupport::WriteFile(s.root / "new.olb", "second, longer\n");
        std::filesystem::rename(s.root / "new.olb", a);
    };
    s.IdleTicks(1);
    s.library.duringSubmit = nullptr;
    const Names told = s.events.Told();
    EXPECT_EQ(std::count(told.begin(), told.end(), "batch-replaced"), 1);
    s.IdleTicks(3);
    EXPECT_EQ(s.library.submittedPaths, Names{a});
    EXPECT_EQ(testsupport::ListDirectory(s.processed), Names{"A.olb"});
    EXPECT_EQ(testsupport::ReadFile(s.processed + "/A.olb"), "second, longer\n");
}

TEST(RunRecord, AnEngineThatLostTheLockReadsTheRecordAgainBeforeItWorksOnce) {
    EngineScene s;
    s.recordStore = nullptr;
    s.Start();
    const std::string x = s.Put("X.olb");
    s.SubmitHead(); // the first engine hands X over
    testsupport::RecordingEventSink otherEvents;
    auto other = std::make_unique<engine::CBatchQueue>(
        engine::EngineServices{&s.library, &s.clock, engine::DefaultFinderFactory(), &s.files,
                               &s.launcher, nullptr, &otherEvents});
    other->SetSettings(s.params);
    // Its lock is taken from it (judged stale elsewhere): the other engine
    // finishes X and hands Y over, then ends.
    std::filesystem::remove(s.queue + "/.tesmaro/lock");
    other->ProcessStep();
    const std::string y = s.Put("Y.olb");
    for (int tick = 0; tick < 2; ++tick) {
        s.library.items = 0;
        other->ProcessStep();
    }
    ASSERT_EQ(s.library.submittedPaths, (Names{x, y})); // Y runs
    other.reset();
    s.IdleTicks(3);
    EXPECT_EQ(s.library.submittedPaths, (Names{x, y}));
    EXPECT_EQ(testsupport::ListDirectory(s.processed), (Names{"X.olb", "Y.olb"}));
}
