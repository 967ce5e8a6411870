#include "EngineScene.h"
#include "engine/ViewerCommand.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

using engine::CBatch;
using enginetest::EngineScene;
using enginetest::Names;
using testsupport::ReadFile;
using testsupport::WriteFile;

namespace {

// The recorded launches as "cwd|arg|arg|...|timeout-ms".
Names Launches(const EngineScene& s) {
    Names out;
    for (const auto& launch : s.launcher.launches) {
        std::string line = launch.request.workingDirectory;
        EXPECT_EQ(launch.request.program, launch.request.arguments.at(0));
        for (const std::string& arg : launch.request.arguments)
            line += "|" + arg;
        out.push_back(line + "|" + std::to_string(launch.timeout.count()));
    }
    return out;
}

} // namespace

TEST(Completion, ViewerStartsAndFilingThroughTheCycle) {
    // B.olb with B.rpt beside it, its report printed by Telvorn, unless a case says otherwise.
    struct Case {
        const char* what;
        int print = 1;
        int summary = 0;
        std::string browser = "/opt/tools/Telvorn.exe";
        std::string scheme = {};
        int timeout = 60;
        std::string batch = "row\n"; // B.olb's content
        Names beside = {"B.rpt"};    // a name ending in "/" is a directory
        bool stopDuringWait = false;
        Names launches = {}; // "{q}" stands for the queue directory
        Names processed = {"B.olb", "B.rpt"};
    };
    const Case cases[] = {
        {.what = "print the report",
         .launches = {"/opt/tools/|/opt/tools/Telvorn.exe|{q}/B.rpt|/p|60000"}},
        {.what = "print and summary with a scheme",
         .summary = 1,
         .scheme = "S1",
         .launches = {"/opt/tools/|/opt/tools/Telvorn.exe|{q}/B.rpt|/p|/sS1|60000",
                      "/opt/tools/|/opt/tools/Telvorn.exe|{q}/B.rpt|/r|/sS1|60000"}},
        {.what = "the batch file's scheme wins",
         .scheme = "S1",
         .batch = "[OAQUAN]\n[Batch]\nReportScheme=Q7\n",
         .launches = {"/opt/tools/|/opt/tools/Telvorn.exe|{q}/B.rpt|/p|/sQ7|60000"}},
        {.what = "an empty scheme in the batch file falls back",
         .scheme = "S1",
         .batch = "[Batch]\nReportScheme=\n",
         .launches = {"/opt/tools/|/opt/tools/Telvorn.exe|{q}/B.rpt|/p|/sS1|60000"}},
        {.what = "blanks are kept verbatim",
         .print = 0,
         .summary = 1,
         .browser = "/opt/my tools/view er",
         .scheme = "two words",
         .launches = {"/opt/my tools/|/opt/my tools/view er|{q}/B.rpt|/r|/stwo words|60000"}},
        {.what = "Quorpix wants the fpt file",
         .browser = "/apps/Quorpix.exe",
         .beside = {"B.rpt", "B.fpt"},
         .launches = {"/apps/|/apps/Quorpix.exe|{q}/B.fpt|/p|60000"},
         .processed = {"B.fpt", "B.olb", "B.rpt"}},
        {.what = "another case is another program",
         .browser = "/apps/quorpix.exe",
         .beside = {"B.rpt", "B.fpt"},
         .launches = {"/apps/|/apps/quorpix.exe|{q}/B.rpt|/p|60000"},
         .processed = {"B.fpt", "B.olb", "B.rpt"}},
        {.what = "a bare program name gets no working directory",
         .browser = "Telvorn.exe",
         .launches = {"|Telvorn.exe|{q}/B.rpt|/p|60000"}},
        {.what = "time-out 0 does not wait",
         .timeout = 0,
         .launches = {"/opt/tools/|/opt/tools/Telvorn.exe|{q}/B.rpt|/p|0"}},
        {.what = "a negative time-out does not wait",
         .timeout = -5,
         .launches = {"/opt/tools/|/opt/tools/Telvorn.exe|{q}/B.rpt|/p|0"}},
        {.what = "no viewer program", .browser = ""},
        {.what = "no result file", .beside = {}, .processed = {"B.olb"}},
        {.what = "a directory is not a result file", .beside = {"B.rpt/"}, .processed = {"B.olb"}},
        {.what = "a stop during the print's wait leaves the summary to the next start",
         .summary = 1,
         .stopDuringWait = true,
         .launches = {"/opt/tools/|/opt/tools/Telvorn.exe|{q}/B.rpt|/p|60000"},
         .processed = {}},
        {.what = "a stop during the last viewer's wait files the batch",
         .stopDuringWait = true,
         .launches = {"/opt/tools/|/opt/tools/Telvorn.exe|{q}/B.rpt|/p|60000"}},
        {.what = "neither report nor summary asked for", .print = 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EngineScene s;
        s.Put("B.olb", c.batch);
        for (const std::string& name : c.beside)
            if (name.ends_with('/'))
                std::filesystem::create_directory(s.queue + "/" + name);
            else
                s.Put(name);
        s.params.PrintReport = c.print;
        s.params.CreateSummary = c.summary;
        s.params.BrowserFile = c.browser;
        s.params.SchemeName = c.scheme;
        s.params.ExternalTimeout = c.timeout;
        s.launcher.stopDuringWait = c.stopDuringWait;
        s.Apply();
        s.SubmitHead();
        s.launcher.result = false; // a viewer that cannot start changes nothing
        s.library.items = 0;
        s.engine->ProcessStep();
        Names expected = c.launches;
        for (std::string& line : expected)
            line.replace(line.find("{q}"), 3, s.queue);
        EXPECT_EQ(Launches(s), expected);
        EXPECT_EQ(testsupport::ListDirectory(s.processed), c.processed);
        EXPECT_EQ(s.engine->Submitted(), 0);
    }
}

TEST(Completion, FilingMovesTheBatchAndItsCompanionsOnly) {
    struct Case {
        const char *title, *file;
        Names processed, queueAfter;
    };
    const Names present = {"B.olb", "B.rpt", "B.log",  "B.a.olb", "B.x.csv", "Bx.olb",
                           "B",     "b.olb", "xB.olb", ".olb",    ".x"};
    const Case cases[] = {
        // B.a.olb, with the batch file's own extension, is a batch of its own.
        {"B",
         "B.olb",
         {"B.log", "B.olb", "B.rpt", "B.x.csv"},
         {".olb", ".x", "B", "B.a.olb", "B.d", "Bx.olb", "b.olb", "xB.olb"}},
        // Without an extension the batch's own file belongs to it as well.
        {"B",
         "B",
         {"B", "B.a.olb", "B.log", "B.olb", "B.rpt", "B.x.csv"},
         {".olb", ".x", "B.d", "Bx.olb", "b.olb", "xB.olb"}},
        // An empty title takes its own file and no other dotfile.
        {"",
         ".olb",
         {".olb"},
         {".x", "B", "B.a.olb", "B.d", "B.log", "B.olb", "B.rpt", "B.x.csv", "Bx.olb", "b.olb",
          "xB.olb"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        EngineScene s;
        for (const std::string& name : present)
            s.Put(name);
        std::filesystem::create_directory(s.queue + "/B.d");
        s.engine->FileBatch(CBatch{c.title, s.queue + "/" + c.file, 0, 0}, true);
        EXPECT_EQ(testsupport::ListDirectory(s.processed), c.processed);
        EXPECT_EQ(testsupport::ListDirectory(s.queue), c.queueAfter);
    }
}

TEST(Completion, ABatchThatCannotBeFiledRunsOnceAndIsFiledOnceTheFaultIsGone) {
    using Op = testsupport::FaultyFileOps::Op;
    enum Obstacle { kNone, kFileWhereProcessedsParentBelongs, kDirectoryNamedLikeTheBatch };
    struct Case {
        const char* what;
        Obstacle obstacle;                                     // in place until mended
        std::vector<testsupport::FaultyFileOps::Fault> faults; // injected until mended
        int error; // the cause told once, however often the filing is tried
    };
    const Case cases[] = {
        {"Processed cannot be created", kFileWhereProcessedsParentBelongs, {}, ENOTDIR},
        {"a directory of the same name in Processed", kDirectoryNamedLikeTheBatch, {}, EISDIR},
        {"a read-only Processed", kNone, {{Op::Rename, EACCES, 0, "/A."}}, EACCES},
        {"rename not permitted", kNone, {{Op::Rename, EPERM, 0, "/A."}}, EPERM},
        {"a full destination",
         kNone,
         {{Op::Rename, EXDEV, 0, "/A."}, {Op::Write, ENOSPC, 0}},
         ENOSPC},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EngineScene s;
        const std::string blocker = s.root / "blocker";
        if (c.obstacle == kFileWhereProcessedsParentBelongs) {
            WriteFile(blocker, "a file where a directory belongs");
            s.params.ProcessedDir = s.processed = blocker + "/Processed";
            s.Apply();
        } else if (c.obstacle == kDirectoryNamedLikeTheBatch) {
            std::filesystem::create_directories(s.processed + "/A.olb");
        }
        for (const auto& fault : c.faults)
            s.files.Inject(fault);
        const std::string a = s.Put("A.olb");
        s.Put("A.log");
        s.IdleTicks(1); // A is handed over
        s.IdleTicks(1); // A ends; its filing fails
        EXPECT_EQ(s.engine->StatusMessage(), "Batch 'A' could not be filed, retrying");
        const std::string b = s.Put("B.olb");
        s.IdleTicks(3); // B is handed over and ends; A is retried
        EXPECT_EQ(s.library.submittedPaths, (Names{a, b}));
        EXPECT_TRUE(testsupport::Exists(a));
        EXPECT_FALSE(testsupport::Exists(s.failed));
        s.files.ClearFaults();
        if (c.obstacle == kFileWhereProcessedsParentBelongs) {
            std::filesystem::remove(blocker);
            std::filesystem::create_directory(blocker);
        } else if (c.obstacle == kDirectoryNamedLikeTheBatch) {
            std::filesystem::remove(s.processed + "/A.olb");
        }
        s.IdleTicks(1);
        EXPECT_EQ(testsupport::ListDirectory(s.processed), (Names{"A.log", "A.olb", "B.olb"}));
        EXPECT_TRUE(testsupport::ListDirectory(s.queue).empty());
        EXPECT_EQ(s.library.submittedPaths, (Names{a, b}));
        EXPECT_TRUE(s.engine->Runs().IsEmpty());
        Names filings;
        for (const std::string& told : s.events.Told())
            if (told.find(" A ") != std::string::npos && told.rfind("fil", 0) == 0)
                filings.push_back(told);
        EXPECT_EQ(filings,
                  (Names{"filing-retried A " + std::to_string(c.error), "filed A Processed"}));
    }
}

TEST(Completion, AHardLinkAlreadyInProcessedCountsAsFiled) {
    EngineScene s;
    const std::string a = s.Put("A.olb");
    std::filesystem::create_directory(s.processed);
    ASSERT_EQ(link(a.c_str(), (s.processed + "/A.olb").c_str()), 0);
    s.IdleTicks(4);
    EXPECT_EQ(s.library.submittedPaths, Names{a});
    EXPECT_TRUE(testsupport::ListDirectory(s.queue).empty());
    EXPECT_EQ(testsupport::ListDirectory(s.processed), Names{"A.olb"});
}

TEST(Completion, AResultFileStillBeingWrittenHoldsTheWholeBatchBack) {
    EngineScene s;
    s.Put("A.olb");
    const std::string result = s.Put("A.rpt");
    const int writer = open(result.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    s.IdleTicks(3);
    EXPECT_EQ(testsupport::ListDirectory(s.queue), (Names{"A.olb", "A.rpt"}));
    EXPECT_EQ(s.library.submittedPaths.size(), 1u);
    close(writer);
    s.IdleTicks(1);
    EXPECT_EQ(testsupport::ListDirectory(s.processed), (Names{"A.olb", "A.rpt"}));
}

TEST(Completion, FilingMatchesTheTitleLiterally) {
    EngineScene s;
    for (const char* name : {"a*.olb", "a*.rpt", "ab.olb", "a?.olb", "a[b].olb", "ab].olb"})
        s.Put(name);
    s.engine->FileBatch(CBatch{"a*", s.queue + "/a*.olb", 0, 0}, false);
    s.engine->FileBatch(CBatch{"a[b]", s.queue + "/a[b].olb", 0, 0}, false);
    EXPECT_EQ(testsupport::ListDirectory(s.failed), (Names{"a*.olb", "a*.rpt", "a[b].olb"}));
    EXPECT_EQ(testsupport::ListDirectory(s.queue), (Names{"a?.olb", "ab.olb", "ab].olb"}));
}

TEST(Completion, FilingReplacesATargetAndCreatesOneDirectoryLevel) {
    EngineScene s;
    s.Put("B.olb", "new");
    std::filesystem::create_directory(s.processed);
    WriteFile(s.processed + "/B.olb", "old");
    s.engine->FileBatch(CBatch{"B", s.queue + "/B.olb", 0, 0}, true);
    EXPECT_EQ(ReadFile(s.processed + "/B.olb"), "new");

    // A destination whose parent is missing is not created; the files stay.
    s.params.FailedDir = s.root / "no/Failed";
    s.Apply();
    s.Put("C.olb");
    s.engine->FileBatch(CBatch{"C", s.queue + "/C.olb", 0, 0}, false);
    EXPECT_EQ(testsupport::ListDirectory(s.queue), Names{"C.olb"});
    EXPECT_FALSE(testsupport::Exists(s.root / "no"));

    // Nothing to file: the directory is created all the same.
    s.engine->FileBatch(CBatch{"Z", s.queue + "/Z.olb", 0, 0}, false);
    s.params.FailedDir = s.failed;
    s.Apply();
    s.engine->FileBatch(CBatch{"Z", s.queue + "/Z.olb", 0, 0}, false);
    EXPECT_TRUE(testsupport::Exists(s.failed));
}

TEST(Completion, AFileThatCannotBeMovedStaysAndComesRoundAgain) {
    EngineScene s;
    s.Put("B.olb");
    s.Put("B.rpt");
    s.files.Inject({testsupport::FaultyFileOps::Op::Rename, EACCES, 1, "/B.olb"});
    s.engine->FileBatch(CBatch{"B", s.queue + "/B.olb", 0, 0}, true);
    EXPECT_EQ(testsupport::ListDirectory(s.queue), Names{"B.olb"});
    EXPECT_EQ(testsupport::ListDirectory(s.processed), Names{"B.rpt"});
    s.engine->FileBatch(CBatch{"B", s.queue + "/B.olb", 0, 0}, true);
    EXPECT_TRUE(testsupport::ListDirectory(s.queue).empty());
}

TEST(Completion, QueueDirChangedWhileABatchIsSubmittedAndBack) {
    EngineScene s;
    s.recordStore = nullptr;
    s.Start();
    const std::string oldQueue = s.queue;
    s.params.PrintReport = 1;
    s.params.BrowserFile = "/opt/tools/Telvorn.exe";
    s.Apply();
    const std::string b = s.Put("B.olb");
    s.Put("B.rpt");
    s.SubmitHead();

    const std::string newQueue = s.root / "queue2";
    std::filesystem::create_directory(newQueue);
    WriteFile(newQueue + "/B.olb", "row\n");
    WriteFile(newQueue + "/B.log", "log\n");
    s.params.QueueDir = newQueue;
    s.Apply();
    s.library.items = 1; // the suite still runs the batch of the old queue
    s.engine->ProcessStep();
    // The batch under way belongs to the old queue's record: nothing of it is
    // done from the new queue, and nothing of the new queue is taken for it.
    EXPECT_TRUE(s.launcher.launches.empty());
    EXPECT_TRUE(testsupport::ListDirectory(s.processed).empty());

    // Pointed back, the old queue's record takes it up: one viewer run, filed
    // whole, never handed over again.
    s.params.QueueDir = oldQueue;
    s.Apply();
    s.IdleTicks(2);
    ASSERT_EQ(s.launcher.launches.size(), 1u);
    EXPECT_EQ(s.launcher.launches[0].request.arguments[1], oldQueue + "/B.rpt");
    EXPECT_EQ(testsupport::ListDirectory(s.processed), (Names{"B.olb", "B.rpt"}));
    EXPECT_EQ(testsupport::ListDirectory(newQueue), (Names{"B.log", "B.olb"}));
    EXPECT_EQ(s.library.submittedPaths, Names{b});
}

TEST(Completion, ResultFileBaseCutsOnlyTheFileNamesExtension) {
    struct Case {
        const char *path, *base;
    };
    const Case cases[] = {
        {"/q/B.olb", "/q/B"},     {"/q/a.b.olb", "/q/a.b"}, {"/q.d/B", "/q.d/B"},
        {"/q.d/B.olb", "/q.d/B"}, {"B.olb", "B"},           {"B", "B"},
        {"/q/.olb", "/q/"},       {".olb", ".olb"},         {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(engine::ResultFileBase(c.path), c.base) << c.path;

    // Through LaunchViewer: the batch q.d/B looks for q.d/B.rpt, never q.rpt.
    EngineScene s;
    s.params.BrowserFile = "/opt/tools/Telvorn.exe";
    s.Apply();
    const std::string dir = s.root / "q.d";
    std::filesystem::create_directory(dir);
    WriteFile(s.root / "q.rpt", "");
    EXPECT_FALSE(s.engine->LaunchViewer(CBatch{"B", dir + "/B", 0, 0}, true));
    WriteFile(dir + "/B.rpt", "");
    EXPECT_TRUE(s.engine->LaunchViewer(CBatch{"B", dir + "/B", 0, 0}, true));
    EXPECT_EQ(s.launcher.launches.at(0).request.arguments[1], dir + "/B.rpt");
}

TEST(Completion, ViewerCommandLineByTheDocumentedFormat) {
    struct Case {
        const char *browser, *result;
        bool print;
        const char *scheme, *line;
    };
    const Case cases[] = {
        {"/opt/tools/Telvorn.exe", "/q/B.rpt", true, "", "/opt/tools/Telvorn.exe \"/q/B.rpt\" /p"},
        {"Telvorn.exe", "/q/B.rpt", false, "S1", "Telvorn.exe \"/q/B.rpt\" /r /sS1"},
        {"/my tools/v", "/q q/B.rpt", true, "two words",
         "/my tools/v \"/q q/B.rpt\" /p /stwo words"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(engine::ViewerCommandLine(c.browser, c.result, c.print, c.scheme), c.line);
    EXPECT_EQ(engine::ViewerArguments("v", "-r \"x\"\n.rpt", false, "S"),
              (Names{"v", "-r \"x\"\n.rpt", "/r", "/sS"}));
    EXPECT_EQ(engine::ViewerWorkingDirectory("/opt/tools/Telvorn.exe"), "/opt/tools/");
    EXPECT_EQ(engine::ViewerWorkingDirectory("Telvorn.exe"), "");
}

TEST(Completion, GetResultExtensionAndGetReportScheme) {
    EngineScene s;
    std::string ext = "x";
    EXPECT_FALSE(s.engine->GetResultExtension("", ext));
    EXPECT_EQ(ext, "");
    EXPECT_TRUE(s.engine->GetResultExtension("D:/Apps/Quorpix.exe", ext));
    EXPECT_EQ(ext, "fpt");
    EXPECT_TRUE(s.engine->GetResultExtension("Quorpix.exe.bak", ext));
    EXPECT_EQ(ext, "fpt");
    EXPECT_TRUE(s.engine->GetResultExtension("/apps/QUORPIX.EXE", ext));
    EXPECT_EQ(ext, "rpt");

    std::string scheme = "x";
    const CBatch missing{"M", s.queue + "/M.olb", 0, 0};
    EXPECT_FALSE(s.engine->GetReportScheme(missing, scheme));
    EXPECT_EQ(scheme, "");
    s.params.SchemeName = "S1";
    s.Apply();
    EXPECT_TRUE(s.engine->GetReportScheme(missing, scheme));
    EXPECT_EQ(scheme, "S1");
    const CBatch named{
        "B", s.Put("B.olb", "[batch]\nreportscheme = \"" + std::string(300, 'q') + "\"\n"), 0, 0};
    EXPECT_TRUE(s.engine->GetReportScheme(named, scheme));
    EXPECT_EQ(scheme, std::string(259, 'q'));
}

TEST(Completion, ABatchFiledToProcessedOnARetryIsNotAlsoToldAsFailedByAnAbortInTheSameTick) {
    EngineScene s;
    s.Put("A.olb");
    testsupport::WriteFile(s.processed, "not a directory");
    s.SubmitHead();
    s.IdleTicks(1); // completed, but Processed cannot take it
    std::filesystem::remove(s.processed);
    WriteFile(s.abortFile, "");
    s.events.Told();
    s.IdleTicks(1);
    EXPECT_EQ(testsupport::ListDirectory(s.processed), Names{"A.olb"});
    EXPECT_EQ(s.events.Told(), Names{"filed A Processed"});
}

TEST(Completion, LeftoverCopiesAreSweptAPartPerTickAndNotOnceAStopIsAsked) {
    constexpr long kNamesPerTick = 4096;
    constexpr int kNames = 4100; // more than one tick's part
    for (const bool stop : {false, true}) {
        SCOPED_TRACE(stop ? "stop asked" : "running");
        EngineScene s;
        std::filesystem::create_directories(s.processed + "/.tesmaro");
        for (int i = 0; i < (stop ? 0 : kNames); ++i)
            testsupport::WriteFile(s.processed + "/f" + std::to_string(i), "");
        // Left by a copy whose process is gone; ours by where it lies.
        const std::string leftover = s.processed + "/.tesmaro/.B.olb.part-2147483646-1";
        testsupport::WriteFile(leftover, "half");
        s.launcher.stopped = stop;
        long read = 0;
        for (int tick = 0; tick < 4; ++tick) {
            s.engine->ProcessStep();
            EXPECT_LE(s.files.NamesReadInParts() - read, 2 * kNamesPerTick);
            read = s.files.NamesReadInParts();
        }
        EXPECT_EQ(testsupport::Exists(leftover), stop);
        // Every name once: the destination's own and ".", "..", the folder, the
        // leftover and the folder's "." and "..".
        EXPECT_EQ(read, stop ? 0 : kNames + 6);
    }
}
