#include "EngineScene.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include <sys/stat.h>
#include <unistd.h>

using enginetest::EngineScene;
using enginetest::Names;
using testsupport::Exists;

namespace {

// One row of the cycle's state table: the state before the tick, what the
// tick finds, and what it must leave behind.
struct Row {
    const char* what;
    bool submittedBefore;
    bool abortFile;
    Names waiting; // batch files in the queue directory at the tick
    int running;
    int items;
    int submitResult;
    bool settled;
    // After the tick.
    int submittedAfter;
    Names queueAfter;
    Names processedAfter;
    Names failedAfter;
    bool statusFileAfter;
    Names calls;  // library calls during the tick; "{A}" stands for A.olb's path
    Names events; // what the tick reports for the log
};

Names Expand(Names calls, const std::string& pathOfA) {
    for (std::string& call : calls) {
        const auto at = call.find("{A}");
        if (at != std::string::npos)
            call.replace(at, 3, pathOfA);
    }
    return calls;
}

const Names kRunningIdle = {"IsKorvaneRunning", "GetNumberOfQueueItems"};
const Names kRunningBusy = {"IsKorvaneRunning", "GetNumberOfQueueItems", "IsKorvaneRunning"};
const Names kAbortNow = {"IsKorvaneRunning", "QueueControl(1)"};
const Names kHandOverA = {"IsKorvaneRunning", "GetNumberOfQueueItems",
                          "QueueSampleBatch({A},0,1,0,12)"};

} // namespace

TEST(ProcessingCycle, StateTableRowByRow) {
    const Row rows[] = {
        // clang-format off
        // what; before: submitted, abort file, waiting, running, items, submit result, settled
        //   after: submitted, queue, Processed, Failed, status file; calls; events
        {"idle, abort file present", false, true, {"A.olb", "B.olb"}, 1, 0, 1, true,
         0, {}, {}, {"A.olb", "B.olb"}, true, kAbortNow,
         {"suite-appeared", "filed A Failed aborted", "filed B Failed aborted"}},
        {"idle, abort file present, suite not running", false, true, {"A.olb"}, 0, 0, 1, true,
         0, {}, {}, {"A.olb"}, true, {"IsKorvaneRunning"}, {"filed A Failed aborted"}},
        {"idle, list empty, suite idle", false, false, {}, 1, 0, 1, true,
         0, {}, {}, {}, false, {"GetNumberOfQueueItems"}, {}},
        {"idle, list empty, suite busy with others' work", false, false, {}, 1, 3, 1, true,
         0, {}, {}, {}, true, {"GetNumberOfQueueItems", "IsKorvaneRunning"}, {"suite-appeared"}},
        {"idle, batches waiting, suite free: accepted", false, false, {"A.olb", "B.olb"},
         1, 0, 1, true,
         1, {"A.olb", "B.olb"}, {}, {}, true, kHandOverA,
         {"suite-appeared", "handed-over A flags=12 accepted"}},
        {"idle, batches waiting, suite free: not settled", false, false, {"A.olb"}, 1, 0, 1, false,
         0, {"A.olb"}, {}, {}, true, kRunningIdle, {"suite-appeared"}},
        {"idle, batches waiting, suite free: refused", false, false, {"A.olb", "B.olb"},
         1, 0, 0, true,
         0, {"B.olb"}, {}, {"A.olb"}, true, kHandOverA,
         {"suite-appeared", "handed-over A flags=12 refused", "filed A Failed refused"}},
        {"idle, batches waiting, suite not running", false, false, {"A.olb", "B.olb"},
         0, 0, 1, true,
         0, {"A.olb", "B.olb"}, {}, {}, true, {"IsKorvaneRunning"}, {}},
        {"idle, batches waiting, suite busy", false, false, {"A.olb"}, 1, 2, 1, true,
         0, {"A.olb"}, {}, {}, true, kRunningBusy, {"suite-appeared"}},
        {"submitted, abort file present", true, true, {"A.olb", "B.olb"}, 1, 1, 1, true,
         0, {}, {}, {"A.olb", "B.olb"}, true, kAbortNow,
         {"filed A Failed aborted", "filed B Failed aborted"}},
        {"submitted, list empty", true, false, {}, 1, 0, 1, true,
         0, {}, {}, {}, false, {"GetNumberOfQueueItems"}, {}},
        {"submitted, suite finished", true, false, {"A.olb", "B.olb"}, 1, 0, 1, true,
         0, {"B.olb"}, {"A.olb"}, {}, true, kRunningIdle, {"completed A", "filed A Processed"}},
        {"submitted, suite finished with a negative count", true, false, {"A.olb"}, 1, -1, 1, true,
         0, {}, {"A.olb"}, {}, true, kRunningIdle, {"completed A", "filed A Processed"}},
        {"submitted, suite not running", true, false, {"A.olb"}, 0, 0, 1, true,
         1, {"A.olb"}, {}, {}, true, {"IsKorvaneRunning"}, {"suite-gone"}},
        {"submitted, suite busy", true, false, {"A.olb"}, 1, 1, 1, true,
         1, {"A.olb"}, {}, {}, true, kRunningBusy, {}},
        // clang-format on
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EngineScene s;
        const std::string pathOfA = s.queue + "/A.olb";
        if (row.submittedBefore) {
            s.Put("A.olb");
            s.SubmitHead();
            ASSERT_EQ(s.engine->Submitted(), 1);
        }
        // A batch that still waits is the very file that was handed over.
        const bool aWaits = std::count(row.waiting.begin(), row.waiting.end(), "A.olb") != 0;
        if (row.submittedBefore && !aWaits)
            std::filesystem::remove(pathOfA);
        for (const std::string& name : row.waiting)
            if (!(row.submittedBefore && name == "A.olb"))
                s.Put(name);
        if (row.abortFile)
            testsupport::WriteFile(s.abortFile, "");
        if (!row.settled)
            s.clock.now = static_cast<std::int64_t>(std::time(nullptr)) - 60;
        s.library.running = row.running;
        s.library.items = row.items;
        s.library.submitResult = row.submitResult;

        EXPECT_EQ(s.engine->ProcessStep(), 1);
        EXPECT_EQ(s.engine->Submitted(), row.submittedAfter);
        EXPECT_EQ(testsupport::ListDirectory(s.queue), row.queueAfter);
        EXPECT_EQ(testsupport::ListDirectory(s.processed), row.processedAfter);
        EXPECT_EQ(testsupport::ListDirectory(s.failed), row.failedAfter);
        EXPECT_EQ(Exists(s.statusFile), row.statusFileAfter);
        EXPECT_EQ(s.library.calls, Expand(row.calls, pathOfA));
        EXPECT_EQ(s.events.Told(), row.events);
    }
}

TEST(ProcessingCycle, StatusMessageTexts) {
    struct Case {
        const char* what;
        bool abortFile;
        int running;
        int items;
        bool submitted;
        std::string expected;
    };
    const Case cases[] = {
        {"abort", true, 1, 0, false, "Abort flag is set, no processing can be performed"},
        {"not running", false, 0, 5, false, "Korvane must be running to process batches"},
        {"idle", false, 1, 0, false, ""},
        {"busy with others' work", false, 1, 2, false, "Korvane process queue is busy"},
        {"running our batch", false, 1, 1, true, "Processing batch 'Batch 100%s'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EngineScene s;
        if (c.submitted) {
            s.Put("Batch 100%s.olb");
            s.SubmitHead();
        }
        if (c.abortFile)
            testsupport::WriteFile(s.abortFile, "");
        s.library.running = c.running;
        s.library.items = c.items;
        EXPECT_EQ(s.engine->StatusMessage(), c.expected);
    }
}

TEST(ProcessingCycle, StatusMessageAsksTheSuiteInOrder) {
    EngineScene s;
    s.library.items = 1;
    s.engine->StatusMessage();
    EXPECT_EQ(s.library.calls, kRunningBusy);
}

TEST(ProcessingCycle, OneBatchAfterAnotherEndToEnd) {
    EngineScene s;
    s.Put("A.olb");
    s.Put("B.olb");
    s.Put("A.log");
    s.engine->ProcessStep(); // A handed over
    EXPECT_EQ(s.engine->CurrentBatch().title, "A");
    EXPECT_EQ(s.engine->StatusMessage(), "Processing batch 'A'");
    s.engine->ProcessStep(); // still running: nothing happens
    EXPECT_EQ(s.library.submittedPaths.size(), 1u);
    s.library.items = 0;
    s.engine->ProcessStep(); // A completes
    EXPECT_EQ(testsupport::ListDirectory(s.processed), (Names{"A.log", "A.olb"}));
    EXPECT_EQ(s.engine->Submitted(), 0);
    s.engine->ProcessStep(); // B handed over
    ASSERT_EQ(s.library.submittedPaths.size(), 2u);
    EXPECT_EQ(s.library.submittedPaths[1], s.queue + "/B.olb");
    s.library.items = 0;
    s.engine->ProcessStep();
    s.engine->ProcessStep(); // nothing left: the status file goes
    EXPECT_TRUE(testsupport::ListDirectory(s.queue).empty());
    EXPECT_FALSE(Exists(s.statusFile));
    s.engine->ProcessStep(); // and stays away
    EXPECT_FALSE(Exists(s.statusFile));
}

TEST(ProcessingCycle, AbortRepeatsEveryTickAndTakesNewcomersAtOnce) {
    EngineScene s;
    s.Put("A.olb");
    s.Put("B.olb");
    s.Put("C.olb");
    testsupport::WriteFile(s.abortFile, "");
    s.engine->ProcessStep();
    EXPECT_EQ(testsupport::ListDirectory(s.failed), (Names{"A.olb", "B.olb", "C.olb"}));
    EXPECT_EQ(s.engine->StatusMessage(), "Abort flag is set, no processing can be performed");
    // A newcomer that has not settled is failed on the first tick that sees it.
    s.clock.now = static_cast<std::int64_t>(std::time(nullptr)) - 60;
    s.Put("D.olb");
    s.library.calls.clear();
    s.engine->ProcessStep();
    EXPECT_EQ(testsupport::ListDirectory(s.failed), (Names{"A.olb", "B.olb", "C.olb", "D.olb"}));
    EXPECT_EQ(s.library.calls, (Names{"IsKorvaneRunning", "QueueControl(1)"}));
    EXPECT_TRUE(Exists(s.abortFile)); // never removed by us
}

TEST(ProcessingCycle, AnEmptyAbortFileSettingNeverAborts) {
    EngineScene s;
    s.params.AbortFile = "";
    s.Apply();
    s.Put("A.olb");
    s.engine->ProcessStep();
    EXPECT_EQ(s.engine->Submitted(), 1);
    EXPECT_EQ(s.engine->IsAbortSet(), 0);
}

TEST(ProcessingCycle, AnAbortPathThatIsADirectoryOrFifoCountsAsAbsent) {
    for (const bool fifo : {false, true}) {
        SCOPED_TRACE(fifo ? "FIFO" : "directory");
        EngineScene s;
        if (fifo)
            ASSERT_EQ(mkfifo(s.abortFile.c_str(), 0600), 0);
        else
            std::filesystem::create_directory(s.abortFile);
        s.Put("A.olb");
        s.engine->ProcessStep(); // would hang here if the FIFO were opened
        EXPECT_EQ(s.engine->IsAbortSet(), 0);
        EXPECT_EQ(s.engine->Submitted(), 1);
    }
}

TEST(ProcessingCycle, AnAbortPathWithWildcardsMatchesOnlyItself) {
    EngineScene s;
    s.params.AbortFile = s.root / "abort*.sem";
    s.Apply();
    testsupport::WriteFile(s.root / "abort-old.sem", "");
    EXPECT_EQ(s.engine->IsAbortSet(), 0);
    testsupport::WriteFile(s.root / "abort*.sem", "");
    EXPECT_EQ(s.engine->IsAbortSet(), 1);
}

TEST(ProcessingCycle, TheStatusFileIsNeverFollowedThroughALink) {
    EngineScene s;
    const std::string target = s.root / "elsewhere.sem";
    ASSERT_EQ(symlink(target.c_str(), s.statusFile.c_str()), 0);
    s.Put("A.olb");
    s.engine->ProcessStep();
    EXPECT_FALSE(Exists(target));
    struct stat st {};
    ASSERT_EQ(lstat(s.statusFile.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST(ProcessingCycle, AnExistingStatusFileIsLeftAsItIs) {
    EngineScene s;
    testsupport::WriteFile(s.statusFile, "someone's note");
    s.Put("A.olb");
    s.engine->ProcessStep();
    EXPECT_EQ(testsupport::ReadFile(s.statusFile), "someone's note");
}

TEST(ProcessingCycle, ViewersThatOutlivedTheirWaitAreReapedEveryTick) {
    EngineScene s;
    s.engine->ProcessStep();
    s.engine->ProcessStep();
    EXPECT_EQ(s.launcher.reapCalls, 2);
}

TEST(ProcessingCycle, AbortFilesWhatFilingEachBatchInTurnWouldFile) {
    EngineScene s;
    for (const char* name : {"A.olb", "A.log", "B.olb", "B.rpt", "B.a.olb", "B.a.dat", "Bx.dat",
                             "C.txt", "a*.olb", "ab.log"})
        s.Put(name);
    std::filesystem::create_directory(s.queue + "/A.d");
    // The first attempt at B.a.dat fails (under batch B.a); batch B, whose title
    // it also matches, takes it afterwards.
    s.files.Inject({testsupport::FaultyFileOps::Op::Rename, EIO, 1, "/B.a.dat"});
    testsupport::WriteFile(s.abortFile, "");
    s.engine->ProcessStep();
    EXPECT_EQ(testsupport::ListDirectory(s.failed),
              (Names{"A.log", "A.olb", "B.a.dat", "B.a.olb", "B.olb", "B.rpt", "a*.olb"}));
    EXPECT_EQ(testsupport::ListDirectory(s.queue), (Names{"A.d", "Bx.dat", "C.txt", "ab.log"}));
}

TEST(ProcessingCycle, WhatTheLogIsToldSceneBySceneAndOnlyOnChange) {
    using End = platform::RunOutcome::End;
    struct Case {
        const char* what;
        std::function<void(EngineScene&)> play;
        Names told; // "{q}" stands for the queue directory
    };
    // B is handed over; then one tick completes it with the report viewer
    // ending as `outcome` says.
    const auto viewer = [](platform::RunOutcome outcome, int timeout = 60) {
        return [outcome, timeout](EngineScene& s) {
            s.params.PrintReport = 1;
            s.params.BrowserFile = "/opt/v";
            s.params.ExternalTimeout = timeout;
            s.Apply();
            s.Put("B.olb");
            s.Put("B.rpt");
            s.SubmitHead();
            s.launcher.outcome = outcome;
            s.launcher.result = outcome.end != End::NotStarted;
            s.IdleTicks(1);
        };
    };
    const Names viewed = {"completed B", "viewer-started B /opt/v {q}/B.rpt /p"};
    const auto then = [](Names first, std::initializer_list<std::string> more) {
        first.insert(first.end(), more);
        return first;
    };
    const Case cases[] = {
        {"a viewer that exits", viewer({End::Exited, 3}),
         then(viewed, {"viewer-ended B Exited 3 60000", "filed B Processed"})},
        {"a viewer ended by a signal", viewer({End::Killed, 9}),
         then(viewed, {"viewer-ended B Killed 9 60000", "filed B Processed"})},
        {"a viewer still running at the time-out", viewer({End::StillRunning, 0}, 30),
         then(viewed, {"viewer-ended B StillRunning 0 30000", "filed B Processed"})},
        {"a viewer that cannot start", viewer({End::NotStarted, ENOENT}),
         then(viewed, {"viewer-ended B NotStarted 2 60000", "filed B Processed"})},
        {"an unreadable batch file",
         [](EngineScene& s) {
             s.Put("B.olb");
             s.files.Inject({testsupport::FaultyFileOps::Op::Read, EIO, 0});
             s.IdleTicks(2);
         },
         {"suite-appeared", "filed B Failed unreadable 5"}},
        {"quiet ticks tell nothing",
         [](EngineScene& s) {
             s.IdleTicks(3);
             s.Put("B.olb");
             s.SubmitHead();
             s.library.items = 1;
             for (int i = 0; i < 3; ++i)
                 s.engine->ProcessStep();
         },
         {}},
        {"another user's batch still open for writing waits, told once",
         [](EngineScene& s) {
             s.Put("B.olb");
             s.files.Inject({testsupport::FaultyFileOps::Op::SetLease, EACCES, 0});
             s.writers.writing = {"B.olb"};
             s.IdleTicks(2);
             s.writers.writing.clear();
             s.IdleTicks(1);
         },
         {"suite-appeared", "batch-being-written B", "handed-over B flags=12 accepted"}},
        {"a companion still open for writing keeps the batch whole",
         [](EngineScene& s) {
             s.Put("B.olb");
             s.Put("B.log");
             s.SubmitHead();
             s.files.Inject({testsupport::FaultyFileOps::Op::SetLease, EACCES, 0});
             s.writers.writing = {"B.log"};
             s.IdleTicks(2);
             s.writers.writing.clear();
             s.IdleTicks(1);
         },
         {"completed B", "filing-retried B 16", "filed B Processed"}},
        {"unwatched, only the settle time guards: told once",
         [](EngineScene& s) {
             s.writers.watching = false;
             s.IdleTicks(2);
         },
         {"writers-unseen"}},
        {"a name Processed refuses goes to Failed with its reason",
         [](EngineScene& s) {
             s.Put("B.olb");
             s.SubmitHead();
             s.files.Inject({testsupport::FaultyFileOps::Op::Rename, ENAMETOOLONG, 1, "/B.olb"});
             s.IdleTicks(2);
         },
         {"completed B", "filed B Failed unfileable 36"}},
        {"a name no destination takes stays, told once, never tried again",
         [](EngineScene& s) {
             s.Put("B.olb");
             s.files.Inject({testsupport::FaultyFileOps::Op::Open, ENAMETOOLONG, 0, "/B.olb"});
             s.files.Inject({testsupport::FaultyFileOps::Op::Rename, ENAMETOOLONG, 0, "/B.olb"});
             s.IdleTicks(2);
             const auto touches = [&s] {
                 const Names& log = s.files.PathLog();
                 return std::count_if(log.begin(), log.end(), [](const std::string& line) {
                     return line.find("/B.olb") != std::string::npos;
                 });
             };
             const auto before = touches();
             s.IdleTicks(3);
             EXPECT_EQ(touches(), before);
             EXPECT_TRUE(s.library.submittedPaths.empty());
         },
         {"suite-appeared", "filing-given-up B 36"}},
        {"status and abort files and the record's folder are never batches, whatever the filter",
         [](EngineScene& s) {
             s.params.Filters = "*";
             s.params.StatusFile = s.queue + "/status.sem";
             s.params.AbortFile = s.queue + "/abort.sem";
             s.recordStore = nullptr; // the record in the queue's own folder
             s.Start();
             s.Put("B.olb");
             s.IdleTicks(3);
             s.Put("C.olb");
             testsupport::WriteFile(s.params.AbortFile, "");
             s.IdleTicks(1);
             EXPECT_TRUE(Exists(s.params.AbortFile));
         },
         {"suite-appeared", "handed-over B flags=12 accepted", "completed B", "filed B Processed",
          "filed C Failed aborted"}},
        {"the suite goes and comes back: told once each",
         [](EngineScene& s) {
             s.Put("B.olb");
             s.SubmitHead();
             s.library.running = 0;
             s.engine->ProcessStep();
             s.engine->ProcessStep();
             s.library.running = 1;
             s.library.items = 1;
             s.engine->ProcessStep();
             s.engine->ProcessStep();
         },
         {"suite-gone", "suite-appeared"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EngineScene s;
        c.play(s);
        Names expected = c.told;
        for (std::string& line : expected)
            if (const auto at = line.find("{q}"); at != std::string::npos)
                line.replace(at, 3, s.queue);
        EXPECT_EQ(s.events.Told(), expected);
    }
}

TEST(ProcessingCycle, AnotherUsersLinkOnTheWayHoldsTheQueue) {
    if (geteuid() != 0)
        GTEST_SKIP() << "links of another owner need root";
    enum class Place { Queue, Processed, Failed };
    struct Case {
        const char* what;
        Place place;
        mode_t folderMode; // of the folder that holds the link
        uid_t owner;       // of the link
        bool refused;
    };
    constexpr uid_t kOther = 4242;
    const Case cases[] = {
        {"Processed: another user's link in a group folder", Place::Processed, 02770, kOther, true},
        {"Failed: another user's link in a sticky folder", Place::Failed, 01777, kOther, true},
        {"the queue: another user's link in a group folder", Place::Queue, 02770, kOther, true},
        {"Processed: our own link", Place::Processed, 02770, 0, false},
        {"Processed: another user's link in a folder only we write", Place::Processed, 0755, kOther,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EngineScene s;
        const std::string shared = s.root / "shared";
        const std::string target = s.root / "target";
        const std::string link = shared + "/place";
        ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
        ASSERT_EQ(chmod(shared.c_str(), c.folderMode), 0);
        ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
        ASSERT_EQ(lchown(link.c_str(), c.owner, c.owner), 0);
        (c.place == Place::Queue       ? s.params.QueueDir
         : c.place == Place::Processed ? s.params.ProcessedDir
                                       : s.params.FailedDir) = link;
        s.Apply();
        testsupport::WriteFile(s.params.QueueDir + "/B.olb", "row\n");
        s.IdleTicks(2);
        EXPECT_EQ(s.library.submittedPaths.size(), c.refused ? 0u : 1u);
        const Names told = s.events.Told();
        EXPECT_EQ(std::count(told.begin(), told.end(), "link-refused"), c.refused ? 1 : 0);
        if (c.refused) {
            EXPECT_EQ(s.engine->StatusMessage(),
                      "Link '" + link +
                          "' belongs to another user, no processing can be performed");
        }
        // Nothing of Tesmaro's lands where the link leads.
        if (c.refused && c.place == Place::Queue) {
            EXPECT_FALSE(Exists(target + "/.tesmaro"));
        }
    }
}
