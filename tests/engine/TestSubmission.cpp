#include "EngineScene.h"
#include "engine/FileError.h"
#include "engine/OperationFlags.h"
#include "engine/SettleWatch.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <limits>

using engine::CBatch;
using enginetest::EngineScene;
using enginetest::Names;

namespace {

constexpr std::int64_t kNow = 1'700'000'000;

} // namespace

TEST(Submission, SettleTestsInWholeSeconds) {
    struct Case {
        const char* what;
        std::int64_t createdAgo; // seconds before now; negative lies in the future
        std::int64_t writtenAgo;
        std::int32_t wait;
        bool handedOver;
    };
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    const Case cases[] = {
        {"written 4 s ago", 10, 4, 5, false},
        {"written exactly 5 s ago", 10, 5, 5, true},
        {"copied: old write time, fresh creation", 4, 1000, 5, false},
        {"created exactly 5 s ago", 5, 1000, 5, true},
        {"creation in the future", -3, 100, 5, false},
        {"write time in the future, settle time 0: counts from first seen", 100, -1, 0, true},
        {"write time in 2099, first seen now", 100, kNow - 4'070'908'800, 5, false},
        {"settle time 0, both now", 0, 0, 0, true},
        {"settle time negative", -10, -10, -20, true},
        {"time stamps at the far past", kMin, kMin, 5, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EngineScene s;
        s.params.WaitBeforeSubmit = c.wait;
        s.Apply();
        s.clock.now = kNow;
        const auto stamp = [](std::int64_t ago) { return ago == kMin ? kMin : kNow - ago; };
        const CBatch batch{"B", s.Put("B.olb"), stamp(c.createdAgo), stamp(c.writtenAgo)};
        EXPECT_EQ(s.engine->SubmitBatch(batch), 1);
        EXPECT_EQ(s.library.submittedPaths.size(), c.handedOver ? 1u : 0u);
        EXPECT_EQ(s.engine->Submitted(), c.handedOver ? 1 : 0);
    }
    // A time stamp at the far future never overflows the age and keeps waiting.
    EngineScene s;
    s.clock.now = kNow;
    EXPECT_EQ(s.engine->SubmitBatch(CBatch{"B", s.Put("B.olb"), kMax, kMax}), 1);
    EXPECT_TRUE(s.library.calls.empty());
}

TEST(Submission, TheSettledBatchIsHandedOverOnTheFirstTickItsWriteIsOldEnough) {
    // Real time to the nanosecond: 5 s less 1 ns after the last change is
    // too early, whatever the whole seconds say.
    EngineScene s;
    const std::string path = s.Put("B.olb");
    s.engine->Rescan();
    const CBatch head = s.engine->List().GetHead();
    const std::int64_t changed =
        std::max(engine::ToNanoseconds(head.created, head.createdNanoseconds),
                 engine::ToNanoseconds(head.lastWrite, head.identity.modifiedNanoseconds));
    for (const std::int64_t after :
         {std::int64_t{4'000'000'000}, std::int64_t{4'999'999'999}, std::int64_t{5'000'000'000}}) {
        s.clock.now = (changed + after) / 1'000'000'000;
        s.clock.fraction = (changed + after) % 1'000'000'000;
        s.engine->ProcessStep();
        EXPECT_EQ(s.library.submittedPaths.size(), after < 5'000'000'000 ? 0u : 1u) << after;
    }
    EXPECT_EQ(s.library.submittedPaths, Names{path});
}

TEST(Submission, AStampAheadOfTheClockHoldsTheQueueNoLongerThanTheSettleTime) {
    // Stamped in 2099, or the clock stepped back by hours: the batch settles
    // the settle time after it was first seen unchanged.
    for (const std::int64_t ahead : {std::int64_t{4'070'908'800} - kNow, std::int64_t{3 * 3600}}) {
        SCOPED_TRACE(ahead);
        EngineScene s;
        const CBatch batch{"B", s.Put("B.olb"), kNow - 100, kNow + ahead};
        for (const std::int64_t tick : {0, 4, 5}) {
            s.clock.now = kNow + tick;
            s.engine->SubmitBatch(batch);
            EXPECT_EQ(s.library.submittedPaths.size(), tick < 5 ? 0u : 1u) << tick;
        }
    }
    // A clock stepped back after the first sighting starts the count anew.
    EngineScene s;
    const CBatch batch{"B", s.Put("B.olb"), kNow - 100, kNow + 50};
    s.clock.now = kNow + 20;
    s.engine->SubmitBatch(batch);
    s.clock.now = kNow;
    s.engine->SubmitBatch(batch);
    s.clock.now = kNow + 5;
    s.engine->SubmitBatch(batch);
    EXPECT_EQ(s.library.submittedPaths.size(), 1u);
}

TEST(Submission, StampsThatStandStillCountFromTheChangeSeen) {
    // Coarse or frozen stamps (FAT, a network file system's cache): a file
    // seen to grow settles the settle time after that was seen.
    engine::SettleWatch watch;
    CBatch b{"B", "/q/B.olb", 100, 100};
    b.identity.inode = 7;
    b.identity.size = 10;
    b.identity.modifiedSeconds = 100;
    const auto at = [](std::int64_t seconds) { return seconds * 1'000'000'000; };
    EXPECT_FALSE(watch.Settled(b, at(103), 5));
    b.identity.size = 20;
    EXPECT_FALSE(watch.Settled(b, at(106), 5));
    EXPECT_FALSE(watch.Settled(b, at(110) + 999'999'999, 5));
    EXPECT_TRUE(watch.Settled(b, at(111), 5));
    // A stamp that moved on to a fraction of a second tells the change itself.
    b.identity.size = 30;
    b.lastWrite = b.identity.modifiedSeconds = 112;
    b.identity.modifiedNanoseconds = 500'000'000;
    EXPECT_FALSE(watch.Settled(b, at(117), 5));
    EXPECT_TRUE(watch.Settled(b, at(117) + 500'000'000, 5));
}

TEST(Submission, OperationFlags) {
    struct Case {
        int acquire, process, quantify, marker, profile;
        std::int32_t expected;
    };
    const Case cases[] = {
        {1, 1, 0, 0, 0, 12}, {1, 1, 1, 32, 1, 124}, {0, 0, 0, 0, 0, 0},   {2, 0, 0, 0, 0, 4},
        {0, -1, 0, 0, 0, 8}, {0, 0, 7, 0, 0, 16},   {0, 0, 0, 32, 0, 32}, {0, 0, 0, 0, 99, 64},
    };
    for (const Case& c : cases) {
        settings::CBatchParams p;
        p.Acquire = c.acquire;
        p.Process = c.process;
        p.Quantify = c.quantify;
        p.QuanMarker = c.marker;
        p.Profile = c.profile;
        EXPECT_EQ(engine::OperationFlags(p), c.expected)
            << c.acquire << c.process << c.quantify << c.marker << c.profile;
    }
}

TEST(Submission, TheMarkerOnTheFirstLineSetsBit32) {
    struct Case {
        const char* what;
        std::string content;
        int flags;
    };
    const Case cases[] = {
        {"marker among text", "Batch [OAQUAN] run\nrow\n", 44},
        {"marker with CRLF", "[OAQUAN]\r\nrow\r\n", 44},
        {"lower case", "[oaquan]\n", 12},
        {"second line only", "title\n[OAQUAN]\n", 12},
        {"first line empty", "\n[OAQUAN]\n", 12},
        {"marker across a read block", std::string(4093, 'x') + "[OAQUAN]", 44},
        {"binary bytes", std::string("\0\xfe[OAQUAN]\xff", 11), 44},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EngineScene s;
        s.Put("B.olb", c.content);
        s.engine->ProcessStep();
        ASSERT_EQ(s.library.submittedFlags.size(), 1u);
        EXPECT_EQ(s.library.submittedFlags[0], c.flags);
        EXPECT_EQ(s.library.calls.back(),
                  "QueueSampleBatch(" + s.queue + "/B.olb,0,1,0," + std::to_string(c.flags) + ")");
    }
}

TEST(Submission, AnEmptyBatchFileDoesNotInheritThePreviousMarker) {
    EngineScene s;
    s.Put("A.olb", "[OAQUAN]\n");
    s.engine->ProcessStep();
    s.library.items = 0;
    s.engine->ProcessStep(); // A completes
    s.Put("B.olb", "");
    s.engine->ProcessStep();
    EXPECT_EQ(s.library.submittedFlags, (std::vector<int>{44, 12}));
    EXPECT_EQ(s.engine->Settings().QuanMarker, 0);
}

TEST(Submission, TheLibrarysAnswerDecides) {
    struct Case {
        int answer;
        int result;
        int submitted;
    };
    for (const Case c : {Case{2, 1, 1}, Case{-1, 1, 1}, Case{0, 0, 0}}) {
        EngineScene s;
        s.library.submitResult = c.answer;
        s.clock.now = kNow;
        EXPECT_EQ(s.engine->SubmitBatch(CBatch{"B", s.Put("B.olb"), 0, 0}), c.result) << c.answer;
        EXPECT_EQ(s.engine->Submitted(), c.submitted);
    }
}

TEST(Submission, AnUnreadableBatchFileFailsWithoutCallingTheLibrary) {
    struct Case {
        const char* what;
        int error;
        std::function<std::string(EngineScene&)> prepare;
    };
    const Case cases[] = {
        {"deleted after the scan", ENOENT, [](EngineScene& s) { return s.queue + "/gone.olb"; }},
        {"replaced by a link", ELOOP,
         [](EngineScene& s) {
             const std::string path = s.queue + "/L.olb";
             testsupport::WriteFile(s.root / "elsewhere", "[OAQUAN]\n");
             EXPECT_EQ(symlink((s.root / "elsewhere").c_str(), path.c_str()), 0);
             return path;
         }},
        {"replaced by a FIFO", EINVAL,
         [](EngineScene& s) {
             const std::string path = s.queue + "/F.olb";
             EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
             return path;
         }},
        {"read error", EIO,
         [](EngineScene& s) {
             s.files.Inject({testsupport::FaultyFileOps::Op::Read, EIO, 0});
             return s.Put("B.olb");
         }},
        {"close error", EIO,
         [](EngineScene& s) {
             s.files.Inject({testsupport::FaultyFileOps::Op::Close, EIO, 0});
             return s.Put("B.olb");
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EngineScene s;
        s.clock.now = kNow;
        const CBatch batch{"B", c.prepare(s), 0, 0};
        EXPECT_EQ(s.engine->SubmitBatch(batch), 0);
        EXPECT_TRUE(s.library.calls.empty());
        EXPECT_EQ(s.engine->Submitted(), 0);
        try {
            s.engine->DetectQuanMarker(batch);
            ADD_FAILURE() << "no FileError";
        } catch (const engine::FileError& e) {
            EXPECT_EQ(e.Cause(), c.error);
        }
    }
}

TEST(Submission, AFileStillOpenForWritingWaitsWholeUntilItsWriterCloses) {
    EngineScene s;
    const std::string path = s.Put("B.olb", "[OAQUAN]\n");
    s.Put("B.log");
    const int writer = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    s.engine->ProcessStep();
    EXPECT_TRUE(s.library.submittedPaths.empty());
    // It has not settled: it waits whole, nothing of it is filed.
    EXPECT_EQ(testsupport::ListDirectory(s.queue), (Names{"B.log", "B.olb"}));
    EXPECT_TRUE(testsupport::ListDirectory(s.failed).empty());
    close(writer);
    s.engine->ProcessStep();
    EXPECT_EQ(s.library.submittedPaths, Names{path});
}
