// Injected I/O faults through the engine's file seam: ENOSPC, EIO and EACCES
// at every call of every step of a batch's filing (on one file system and
// across two), at the status file's creation and at the batch file's read.
// After each fault every file is still whole somewhere, nothing half-written
// or temporary is left, and the engine goes on to file the next batch.

#include "engine/EngineScene.h"
#include "torture/TortureSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>

using enginetest::EngineScene;
using Op = testsupport::FaultyFileOps::Op;
using Fault = testsupport::FaultyFileOps::Fault;

namespace {

const Op kAllOps[] = {Op::Open,  Op::Read,   Op::Write,  Op::Fsync, Op::Close,   Op::Fstat,
                      Op::Lstat, Op::Rename, Op::Unlink, Op::Mkdir, Op::SetLease};
const int kErrors[] = {ENOSPC, EIO, EACCES};

const char* OpName(Op op) {
    static const char* const names[] = {"Open",  "Read",   "Write",  "Fsync", "Close",   "Fstat",
                                        "Lstat", "Rename", "Unlink", "Mkdir", "SetLease"};
    return names[static_cast<int>(op)];
}

// Where the batch goes in the faulted tick.
enum class Road {
    Completion,       // completed by the suite, filed to Processed on one file system
    CompletionAcross, // the same, with every rename out of the queue refused (EXDEV)
    Abort,            // the abort file fails every waiting batch
    Submission,       // the batch file's first line is read for the marker
};

const char* RoadName(Road road) {
    switch (road) {
    case Road::Completion:
        return "completion";
    case Road::CompletionAcross:
        return "completion across file systems";
    case Road::Abort:
        return "abort";
    case Road::Submission:
        return "submission";
    }
    return "?";
}

struct Outcome {
    std::map<Op, int> callsInFaultedTick;
    std::vector<std::string> breaches;
    bool nextBatchFiled = false;
};

// Runs the road once: plants batch B (with a result file and a larger log)
// and batch C, brings B to the faulted tick, injects the fault, runs the tick,
// then lets the engine run on with no faults and checks that C gets filed.
Outcome RunRoad(Road road, std::optional<Fault> fault) {
    EngineScene scene;
    torture::Planted planted;
    planted["B.olb"] = torture::Plant(scene.queue + "/B.olb", "[OAQUAN] batch B\nS1\n");
    planted["B.rpt"] = torture::Plant(scene.queue + "/B.rpt", "report of B\n");
    planted["B.log"] = torture::PlantLarge(scene.queue + "/B.log", 300 * 1024, 7);
    if (road == Road::CompletionAcross)
        scene.files.Inject(Fault(Op::Rename, EXDEV, 0, scene.queue + "/"));

    if (road == Road::Completion || road == Road::CompletionAcross)
        scene.SubmitHead();
    if (road == Road::Abort)
        torture::Plant(scene.abortFile, "");
    scene.library.running = 1;
    scene.library.items = 0;
    scene.library.submitResult = 1;

    Outcome outcome;
    std::map<Op, int> before;
    for (Op op : kAllOps)
        before[op] = scene.files.Calls(op);
    if (fault)
        scene.files.Inject(*fault);
    scene.engine->ProcessStep();
    for (Op op : kAllOps)
        outcome.callsInFaultedTick[op] = scene.files.Calls(op) - before[op];

    // Whatever the fault did, B's files are whole somewhere.
    outcome.breaches = torture::Breaches(planted, {scene.queue, scene.processed, scene.failed});

    // The engine goes on: with the abort gone, a later batch goes all the way.
    std::filesystem::remove(scene.abortFile);
    planted["C.olb"] = torture::Plant(scene.queue + "/C.olb", "batch C\n");
    for (int tick = 0; tick < 12 && !outcome.nextBatchFiled; ++tick) {
        scene.library.items = 0;
        scene.engine->ProcessStep();
        outcome.nextBatchFiled = testsupport::Exists(scene.processed + "/C.olb") ||
                                 testsupport::Exists(scene.failed + "/C.olb");
    }
    const auto after = torture::Breaches(planted, {scene.queue, scene.processed, scene.failed});
    outcome.breaches.insert(outcome.breaches.end(), after.begin(), after.end());
    return outcome;
}

std::string Describe(Road road, const Fault& fault) {
    return std::string(RoadName(road)) + ": " + OpName(fault.op) + " call " +
           std::to_string(fault.occurrence) + " fails with " + std::strerror(fault.error);
}

} // namespace

TEST(IoFaults, EveryCallOfEveryStepFailingLosesNothingAndTheEngineGoesOn) {
    int injected = 0;
    for (Road road : {Road::Completion, Road::CompletionAcross, Road::Abort, Road::Submission}) {
        const Outcome clean = RunRoad(road, std::nullopt);
        ASSERT_TRUE(clean.breaches.empty()) << RoadName(road) << ": " << clean.breaches.front();
        ASSERT_TRUE(clean.nextBatchFiled) << RoadName(road);
        for (Op op : kAllOps) {
            for (int call = 1; call <= clean.callsInFaultedTick.at(op); ++call) {
                for (int error : kErrors) {
                    // The short run takes one error per call, in turn.
                    if (!torture::LongRun() && error != kErrors[call % 3])
                        continue;
                    const Fault fault(op, error, call);
                    const Outcome outcome = RunRoad(road, fault);
                    ++injected;
                    for (const std::string& breach : outcome.breaches)
                        ADD_FAILURE() << Describe(road, fault) << ": " << breach;
                    EXPECT_TRUE(outcome.nextBatchFiled)
                        << Describe(road, fault) << ": the next batch was not filed";
                }
            }
        }
    }
    std::cout << "faults injected: " << injected << "\n";
    EXPECT_GT(injected, 100);
}

TEST(IoFaults, AFailedReadOfTheBatchFileFilesItAsFailedWithoutCallingTheSuite) {
    for (int error : kErrors) {
        EngineScene scene;
        scene.Put("B.olb", "batch\n");
        scene.files.Inject(Fault(Op::Read, error, 1));
        scene.engine->ProcessStep();
        EXPECT_TRUE(scene.library.submittedPaths.empty()) << std::strerror(error);
        EXPECT_EQ(testsupport::ListDirectory(scene.failed), (enginetest::Names{"B.olb"}))
            << std::strerror(error);
        EXPECT_EQ(testsupport::ReadFile(scene.failed + "/B.olb"), "batch\n");
    }
}

TEST(IoFaults, AStatusFileThatCannotBeCreatedIsCreatedOnTheNextTick) {
    for (int error : kErrors) {
        EngineScene scene;
        scene.library.running = 0; // work waits: the status file must be there
        scene.Put("B.olb");
        scene.files.Inject(Fault(Op::Open, error, 1, "status.sem"));
        scene.engine->ProcessStep();
        EXPECT_FALSE(testsupport::Exists(scene.statusFile)) << std::strerror(error);
        scene.engine->ProcessStep();
        EXPECT_TRUE(testsupport::Exists(scene.statusFile)) << std::strerror(error);
    }
}

TEST(IoFaults, AFullDiskAtEveryCopyKeepsTheBatchInTheQueueUntilThereIsRoom) {
    EngineScene scene;
    torture::Planted planted;
    planted["B.olb"] = torture::Plant(scene.queue + "/B.olb", "batch\n");
    planted["B.log"] = torture::PlantLarge(scene.queue + "/B.log", 200 * 1024, 3);
    scene.files.Inject(Fault(Op::Rename, EXDEV, 0, scene.queue + "/"));
    scene.SubmitHead();
    // Every write fails for a while: nothing moves, nothing is left half done.
    scene.files.Inject(Fault(Op::Write, ENOSPC, 0));
    scene.library.items = 0;
    scene.engine->ProcessStep();
    EXPECT_EQ(testsupport::ListDirectory(scene.queue), (enginetest::Names{"B.log", "B.olb"}));
    EXPECT_TRUE(testsupport::ListDirectory(scene.processed).empty());
    EXPECT_TRUE(torture::Breaches(planted, {scene.queue, scene.processed}).empty());
}
