// Hostile queue contents handed to the engine with real files and the real
// finder, ticked as fast as it goes: links, a FIFO, a directory, a large file
// without a line end, random bytes, awkward names, an empty file, a file held
// open for writing, and files deleted or replaced between the scan and the
// submission. Nothing blocks, nothing is followed, every regular batch is
// filed whole, and the normal batches go to the suite in their order. Two
// engines on two views of one queue (a link, a bind mount) never hand a batch
// over twice.

#include "engine/EngineScene.h"
#include "platform/DurableMove.h"
#include "platform/Wildcard.h"
#include "torture/HostileEntries.h"
#include "torture/TortureSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>

using enginetest::EngineScene;

namespace {

std::set<std::string> gNonRegular;
bool IsNonRegular(const std::string& name) {
    return gNonRegular.count(name) != 0;
}

long PeakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Ticks until `done` holds, letting the fake suite finish every batch at
// once; false when it never does.
bool TickUntil(EngineScene& scene, const std::function<bool()>& done, int limit = 200) {
    for (int tick = 0; tick < limit; ++tick) {
        if (done())
            return true;
        scene.library.items = 0;
        scene.engine->ProcessStep();
    }
    return done();
}

// The titles the fake suite was given, in order.
std::vector<std::string> SubmittedNames(const EngineScene& scene) {
    std::vector<std::string> names;
    for (const std::string& path : scene.library.submittedPaths)
        names.push_back(path.substr(path.rfind('/') + 1));
    return names;
}

} // namespace

TEST(HostileQueue, EveryRegularBatchIsFiledWholeAndNothingElseIsTouched) {
    const std::uint64_t largeSize = torture::Size<std::uint64_t>(96ull << 20, 1ull << 30);
    EngineScene scene;
    scene.library.itemsAfterSubmit = 0;
    const auto nonRegular = torture::PlantNonRegular(scene.queue, scene.root.Path());
    gNonRegular = nonRegular.names;

    // Normal batches, oldest first by their write and creation times.
    torture::Planted planted;
    for (int i = 1; i <= 3; ++i) {
        const std::string name = "N" + std::to_string(i) + ".olb";
        planted[name] = torture::Plant(scene.queue + "/" + name, "normal\nS1\n");
    }
    auto hostile = torture::PlantHostileRegular(scene.queue, largeSize, torture::Seed());
    planted.insert(hostile.begin(), hostile.end());
    planted["Held.olb"] = torture::Plant(scene.queue + "/Held.olb", "held\n");
    torture::WriterHolder holder(scene.queue + "/Held.olb");
    ASSERT_TRUE(holder.Holding());

    const long rssBefore = PeakRssKiB();
    // While another process writes it, the held file is neither read for
    // submission nor moved: it waits at the head of the queue, and every tick
    // still returns at once.
    for (int tick = 0; tick < 10; ++tick) {
        scene.library.items = 0;
        scene.engine->ProcessStep();
    }
    EXPECT_TRUE(testsupport::Exists(scene.queue + "/Held.olb"));
    EXPECT_TRUE(
        torture::Breaches(planted, {scene.queue, scene.processed, scene.failed}, IsNonRegular)
            .empty());
    holder.Release();
    const auto onlyNonRegularLeft = [&] {
        for (const std::string& name : testsupport::ListDirectory(scene.queue))
            if (!IsNonRegular(name))
                return false;
        return true;
    };
    ASSERT_TRUE(TickUntil(scene, onlyNonRegularLeft))
        << "still waiting: " << testsupport::ListDirectory(scene.queue).size();

    const long growth = PeakRssKiB() - rssBefore;
    std::cout << "hostile entries: " << planted.size() + nonRegular.names.size() << ", large file "
              << (largeSize >> 20) << " MiB, peak memory growth " << growth << " KiB\n";
    // Far below the large file's size, so reading it whole would show.
    EXPECT_LT(growth, (torture::kUnderAddressSanitizer ? 48 : 16) * 1024)
        << "memory grew with the file sizes";

    for (const std::string& breach :
         torture::Breaches(planted, {scene.queue, scene.processed, scene.failed}, IsNonRegular))
        ADD_FAILURE() << breach;
    for (const std::string& change : torture::NonRegularChanged(scene.queue, nonRegular))
        ADD_FAILURE() << change;
    // Nothing but regular files reaches the filing directories.
    for (const std::string& dir : {scene.processed, scene.failed})
        for (const std::string& name : testsupport::ListDirectory(dir))
            EXPECT_FALSE(IsNonRegular(name)) << name << " was filed";

    // The normal batches kept their order among themselves.
    std::vector<std::string> normals;
    for (const std::string& name : SubmittedNames(scene))
        if (name.size() == 6 && name[0] == 'N')
            normals.push_back(name);
    EXPECT_EQ(normals, (std::vector<std::string>{"N1.olb", "N2.olb", "N3.olb"}));
    // The marker at the very end of a line with no end is still the first line's.
    for (std::size_t i = 0; i < scene.library.submittedPaths.size(); ++i) {
        if (SubmittedNames(scene)[i] == torture::kLargeMarkedName) {
            EXPECT_EQ(scene.library.submittedFlags[i] & 32, 32);
        }
    }
}

namespace {

// Real file calls, with something done to the files just before the first
// open of one path: what another program does between the scan and the
// submission.
class InterposingFileOps final : public platform::SystemFileOps {
public:
    std::string path;
    std::function<void()> before;
    int Open(const char* p, int flags, mode_t mode = 0) override {
        if (before && path == p) {
            auto action = std::move(before);
            before = nullptr;
            action();
        }
        return SystemFileOps::Open(p, flags, mode);
    }
    int Lstat(const char* p, struct stat* st) override {
        if (before && path == p) {
            auto action = std::move(before);
            before = nullptr;
            action();
        }
        return SystemFileOps::Lstat(p, st);
    }
};

} // namespace

TEST(HostileQueue, FilesChangedBetweenTheScanAndTheSubmission) {
    struct Case {
        const char* what;
        std::function<void(const std::string& path, const std::string& root)> change;
    };
    const Case cases[] = {
        {"deleted", [](const std::string& p, const std::string&) { unlink(p.c_str()); }},
        {"replaced by another file",
         [](const std::string& p, const std::string& root) {
             torture::Plant(root + "/new", "replacement\n");
             rename((root + "/new").c_str(), p.c_str());
         }},
        {"replaced by a link to /dev/zero",
         [](const std::string& p, const std::string&) {
             unlink(p.c_str());
             symlink("/dev/zero", p.c_str());
         }},
        {"replaced by a FIFO",
         [](const std::string& p, const std::string&) {
             unlink(p.c_str());
             mkfifo(p.c_str(), 0644);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::TempDir root;
        const std::string queue = root / "queue";
        std::filesystem::create_directory(queue);
        testsupport::FakeQueueLibrary library;
        library.itemsAfterSubmit = 0;
        testsupport::FakeClock clock{static_cast<std::int64_t>(time(nullptr)) + 3600};
        testsupport::RecordingLauncher launcher;
        InterposingFileOps files;
        settings::CBatchParams params;
        params.QueueDir = queue;
        params.ProcessedDir = root / "Processed";
        params.FailedDir = root / "Failed";
        params.Filters = "*.olb";
        params.StatusFile = root / "status.sem";
        params.AbortFile = root / "abort.sem";
        engine::CBatchQueue engine(engine::EngineServices{
            &library, &clock, engine::DefaultFinderFactory(), &files, &launcher});
        engine.SetSettings(params);

        torture::Plant(queue + "/A.olb", "first\n");
        const auto next = torture::Plant(queue + "/B.olb", "second\n");
        files.path = queue + "/A.olb";
        files.before = [&] { c.change(files.path, root.Path()); };
        for (int tick = 0; tick < 6; ++tick) {
            library.items = 0;
            engine.ProcessStep();
        }
        // The next batch is not held up, and is filed whole.
        torture::FileFacts facts;
        EXPECT_TRUE(torture::Facts(root / "Processed/B.olb", facts));
        EXPECT_EQ(facts, next);
        EXPECT_FALSE(testsupport::Exists(queue + "/B.olb"));
        // A link or FIFO left in A's place is neither filed nor followed.
        for (const std::string& dir : {root / "Processed", root / "Failed"}) {
            struct stat st {};
            if (lstat((dir + "/A.olb").c_str(), &st) == 0) {
                EXPECT_TRUE(S_ISREG(st.st_mode)) << dir;
            }
        }
    }
}

TEST(HostileQueue, NamesOfEveryLengthAreFiledAcrossFileSystems) {
    // The copy's temporary name is longer than the file's own; a name at the
    // limit must still find room for it.
    for (const std::size_t length : {1, 200, 251}) {
        EngineScene scene;
        const std::string name = std::string(length, 'x') + ".olb";
        const auto facts = torture::Plant(scene.queue + "/" + name, "batch\n");
        scene.files.Inject({testsupport::FaultyFileOps::Op::Rename, EXDEV, 0, scene.queue + "/"});
        scene.SubmitHead();
        scene.library.items = 0;
        scene.engine->ProcessStep();
        torture::FileFacts filed;
        EXPECT_TRUE(torture::Facts(scene.processed + "/" + name, filed)) << length;
        EXPECT_EQ(filed, facts) << length;
        EXPECT_EQ(testsupport::ListDirectory(scene.queue), std::vector<std::string>{}) << length;
    }
}

TEST(HostileQueue, APathPastTheSystemLimitIsToldOnceAndHoldsUpNothing) {
    // A queue directory so deep that one batch's path is longer than the
    // system takes, while a short-named batch beside it still fits.
    EngineScene scene;
    std::string deep = scene.queue;
    while (deep.size() < PATH_MAX - 40)
        deep += "/" + std::string(std::min<std::size_t>(200, PATH_MAX - 40 - deep.size()), 'd');
    std::filesystem::create_directories(deep);
    scene.params.QueueDir = deep;
    scene.Apply();
    const std::string longName = std::string(60, 'L') + ".olb";
    const int dir = open(deep.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir, 0);
    const int file = openat(dir, longName.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(file, 0);
    ASSERT_EQ(write(file, "batch\n", 6), 6);
    close(file);
    torture::Plant(deep + "/A.olb", "batch\n");
    scene.IdleTicks(8);
    // The short one runs and is filed; the long one is told once, never
    // handed over, and stays where it is.
    EXPECT_EQ(SubmittedNames(scene), std::vector<std::string>{"A.olb"});
    EXPECT_TRUE(testsupport::Exists(scene.processed + "/A.olb"));
    const auto told = scene.events.Told();
    EXPECT_EQ(std::count_if(told.begin(), told.end(),
                            [](const std::string& line) { return line.rfind("filing-", 0) == 0; }),
              1);
    EXPECT_EQ(told.back(),
              "filing-given-up " + std::string(60, 'L') + " " + std::to_string(ENAMETOOLONG));
    EXPECT_EQ(faccessat(dir, longName.c_str(), F_OK, AT_SYMLINK_NOFOLLOW), 0);
    unlinkat(dir, longName.c_str(), 0); // a path the temporary directory's removal cannot take
    close(dir);
}

TEST(HostileQueue, ACompanionNameProcessedCannotTakeSendsTheWholeBatchToFailed) {
    // Processed lies so deep that the companion's name no longer fits under
    // it: nothing of the batch goes there, all of it goes to Failed.
    EngineScene scene;
    std::string deep = scene.root / "P";
    while (deep.size() < PATH_MAX - 40)
        deep += "/" + std::string(std::min<std::size_t>(200, PATH_MAX - 40 - deep.size()), 'p');
    std::filesystem::create_directories(deep);
    scene.params.ProcessedDir = deep;
    scene.Apply();
    const auto batch = torture::Plant(scene.queue + "/B.olb", "batch\n");
    const std::string companion = "B." + std::string(60, 'c');
    torture::Plant(scene.queue + "/" + companion, "result\n");
    scene.SubmitHead();
    scene.IdleTicks(3);
    EXPECT_EQ(testsupport::ListDirectory(deep), std::vector<std::string>{});
    EXPECT_EQ(testsupport::ListDirectory(scene.failed),
              (std::vector<std::string>{companion, "B.olb"}));
    EXPECT_EQ(testsupport::ListDirectory(scene.queue), std::vector<std::string>{});
    torture::FileFacts filed;
    EXPECT_TRUE(torture::Facts(scene.failed + "/B.olb", filed));
    EXPECT_EQ(filed, batch);
}

TEST(HostileQueue, LeftoversOfAnInterruptedCopyAreRemovedAtTheNextStartAndNothingElse) {
    EngineScene scene;
    std::filesystem::create_directory(scene.processed);
    std::filesystem::create_directory(scene.failed);
    // A leftover of this very process id (a run before a restart that reused
    // it), of a process that is gone, and things that only look alike.
    const std::string ours = platform::TemporaryCopyName("B.olb", getpid(), 3);
    const std::string gone = platform::TemporaryCopyName("C.olb", 999999999, 1);
    const std::vector<std::string> kept = {"B.olb.part-1-2", ".B.olb.part-x-1", ".B.olb.part-12",
                                           "notes.part-1-1", ".hidden"};
    // Left as a killed move leaves them: marked as ours with their own names.
    for (const std::string& path : {scene.processed + "/" + ours, scene.failed + "/" + gone}) {
        torture::Plant(path, "half");
        const std::string name = path.substr(path.rfind('/') + 1);
        ASSERT_EQ(
            setxattr(path.c_str(), platform::kCopyOwnerAttribute, name.data(), name.size(), 0), 0);
    }
    for (const std::string& name : kept)
        torture::Plant(scene.processed + "/" + name, "a user's file");
    // A link named like a leftover is not ours either.
    const std::string link = platform::TemporaryCopyName("D.olb", 999999999, 1);
    symlink("/dev/null", (scene.processed + "/" + link).c_str());

    scene.engine->ProcessStep();
    std::vector<std::string> expected = kept;
    expected.push_back(link);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(testsupport::ListDirectory(scene.processed), expected);
    EXPECT_EQ(testsupport::ListDirectory(scene.failed), std::vector<std::string>{});
}

TEST(HostileQueue, ACompanionNamedLikeATemporaryCopyIsFiledAndNeverSwept) {
    // Companions of ".x.olb" whose names are those of interrupted copies, of
    // a process that is gone and of this very one.
    const std::vector<std::string> companions = {
        ".x.part-99999-1", platform::TemporaryCopyName(".x", getpid(), 1).substr(1)};
    for (const bool acrossFileSystems : {false, true}) {
        SCOPED_TRACE(acrossFileSystems ? "across file systems" : "one file system");
        EngineScene scene;
        scene.library.itemsAfterSubmit = 0;
        if (acrossFileSystems)
            scene.files.Inject(
                {testsupport::FaultyFileOps::Op::Rename, EXDEV, 0, scene.queue + "/"});
        torture::Planted planted;
        planted[".x.olb"] = torture::Plant(scene.queue + "/.x.olb", "batch\n");
        for (const std::string& name : companions)
            planted[name] = torture::Plant(scene.queue + "/" + name, "a user's notes");
        ASSERT_TRUE(
            TickUntil(scene, [&] { return testsupport::ListDirectory(scene.queue).empty(); }));
        // The next start sweeps the filing directories again.
        scene.Start();
        torture::Plant(scene.queue + "/y.olb", "batch\n");
        ASSERT_TRUE(
            TickUntil(scene, [&] { return testsupport::ListDirectory(scene.queue).empty(); }));
        planted.erase("y.olb");
        EXPECT_TRUE(torture::Breaches(planted, {scene.processed}, [](const std::string& name) {
                        return name == "y.olb";
                    }).empty());
    }
}

TEST(HostileQueue, ABatchTooLargeToReadGoesToFailedAndTheNextOneRuns) {
    // Sparse heads of the queue: reading them byte by byte would hold the
    // window for hours; they are files that cannot be read.
    struct Case {
        const char* what;
        std::int64_t size;
        std::vector<testsupport::SparsePiece> pieces;
        bool acrossFileSystems;
    };
    constexpr std::int64_t kGiB = std::int64_t(1) << 30;
    const Case cases[] = {
        {"one TiB of hole", kGiB << 10, {}, false},
        {"one TiB of hole, filed by a copy", kGiB << 10, {}, true},
        {"a first line past the limit",
         kGiB + 64,
         {{0, "x"}, {kGiB + 16, "[OAQUAN]\nS1\n"}},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EngineScene scene;
        scene.library.itemsAfterSubmit = 0;
        if (c.acrossFileSystems)
            scene.files.Inject(
                {testsupport::FaultyFileOps::Op::Rename, EXDEV, 0, scene.queue + "/"});
        const std::string head = scene.queue + "/A.olb";
        testsupport::WriteSparseFile(head, c.size, c.pieces);
        struct stat planted {};
        ASSERT_EQ(stat(head.c_str(), &planted), 0);
        testsupport::SetWriteTime(head, planted.st_mtim.tv_sec - 60); // the oldest
        torture::Plant(scene.queue + "/B.olb", "normal\nS1\n");

        ASSERT_TRUE(TickUntil(
            scene, [&] { return testsupport::ListDirectory(scene.queue).empty(); }, 20));
        EXPECT_EQ(SubmittedNames(scene), std::vector<std::string>{"B.olb"});
        EXPECT_TRUE(testsupport::Exists(scene.processed + "/B.olb"));
        struct stat filed {};
        ASSERT_EQ(stat((scene.failed + "/A.olb").c_str(), &filed), 0);
        EXPECT_EQ(filed.st_size, planted.st_size);
        EXPECT_LE(filed.st_blocks, planted.st_blocks); // no hole was filled
        EXPECT_EQ(testsupport::ListDirectory(scene.failed), std::vector<std::string>{"A.olb"});
    }
}

TEST(HostileQueue, NamesHoldingWildcardCharactersAreBatchesLikeAnyOther) {
    // A '*' in a file name once matched a '*' of the pattern as a plain
    // character, so "*x.olb" was no batch of "*.olb".
    const std::pair<const char*, const char*> matches[] = {
        {"*.olb", "*x.olb"}, {"*b*", "*\x11\x1c\x62"}, {"*.*", "*.*"}, {"?*", "**"}};
    for (const auto& [pattern, name] : matches)
        EXPECT_TRUE(platform::WildcardMatch(pattern, name)) << pattern << " " << name;

    EngineScene scene;
    scene.library.itemsAfterSubmit = 0;
    torture::Planted planted;
    for (const char* name : {"*x.olb", "*x.notes", "?q.olb", "a*b.olb", "a*b.rpt", "aXb.olb"})
        planted[name] = torture::Plant(scene.queue + "/" + name, std::string(name) + "\n");
    ASSERT_TRUE(TickUntil(scene, [&] { return testsupport::ListDirectory(scene.queue).empty(); }));
    // Each batch took its own companions and no other batch's files.
    EXPECT_EQ(testsupport::ListDirectory(scene.processed),
              (std::vector<std::string>{"*x.notes", "*x.olb", "?q.olb", "a*b.olb", "a*b.rpt",
                                        "aXb.olb"}));
    EXPECT_TRUE(torture::Breaches(planted, {scene.processed}).empty());
    EXPECT_EQ(scene.library.submittedPaths.size(), 4u);
}

namespace {

// The second view of the queue's directory: a symbolic link to it, or a bind
// mount of it (as root).
enum class View { Link, BindMount };

const char* ViewText(View view) {
    return view == View::Link ? "SymbolicLink" : "BindMount";
}
std::string ViewName(const ::testing::TestParamInfo<View>& info) {
    return ViewText(info.param);
}
void PrintTo(View view, std::ostream* out) {
    *out << ViewText(view);
}

} // namespace

// Two engines, each with its own real files and finder, on two views of one
// directory that holds the queue, Processed and Failed: the directory itself
// and a link or bind mount of it. They tick in turn; every third hand-over,
// the engine that made it stops while the suite runs its batch, and starts
// again a tick later, so that the other one takes the batch up through its own
// view. The one suite sees each batch once, and each is filed whole, once.
class TwoViews : public ::testing::TestWithParam<View> {};

TEST_P(TwoViews, TwoEnginesHandEachBatchOverOnceAndFileItOnce) {
    constexpr int kBatches = 20;
    testsupport::TempDir root;
    const std::string real = root / "real";
    const std::string other = root / "other";
    for (const char* dir : {"", "/queue", "/Processed", "/Failed"})
        ASSERT_EQ(mkdir((real + dir).c_str(), 0755), 0);
    std::unique_ptr<torture::Mount> bind; // gone before the directory
    if (GetParam() == View::BindMount) {
        const std::string why = torture::WhyNotPrivileged({"mount", "umount"});
        if (!why.empty())
            GTEST_SKIP() << why;
        ASSERT_EQ(mkdir(other.c_str(), 0755), 0);
        bind = std::make_unique<torture::Mount>(std::vector<std::string>{"--bind"}, real, other,
                                                root / "tools.out");
        if (!bind->Mounted())
            GTEST_SKIP() << "mount refused: " << testsupport::ReadFile(root / "tools.out");
    } else {
        ASSERT_EQ(symlink(real.c_str(), other.c_str()), 0);
    }

    torture::Planted planted;
    for (int i = 0; i < kBatches; ++i) {
        const std::string title = "V" + std::to_string(100 + i);
        planted[title + ".notes"] = torture::Plant(real + "/queue/" + title + ".notes", title);
        planted[title + ".olb"] = torture::Plant(real + "/queue/" + title + ".olb", "S1\n");
    }
    testsupport::FakeQueueLibrary suite;
    testsupport::FakeClock clock{static_cast<std::int64_t>(std::time(nullptr)) + 3600};
    struct Side {
        std::string base;
        platform::SystemFileOps files;
        std::unique_ptr<engine::CBatchQueue> engine;
        int handOvers = 0;
    };
    Side sides[2] = {{real, {}, {}, 0}, {other, {}, {}, 0}};
    const auto start = [&](Side& side) {
        side.engine = std::make_unique<engine::CBatchQueue>(engine::EngineServices{
            &suite, &clock, engine::DefaultFinderFactory(), &side.files, nullptr, nullptr});
        settings::CBatchParams params;
        params.QueueDir = side.base + "/queue";
        params.ProcessedDir = side.base + "/Processed";
        params.FailedDir = side.base + "/Failed";
        params.Filters = "*.olb";
        params.StatusFile = root / "status.sem";
        params.AbortFile = root / "abort.sem";
        params.Acquire = 1;
        params.Process = 1;
        side.engine->SetSettings(params);
        side.engine->RestoreRunRecord();
    };
    start(sides[0]);
    start(sides[1]);

    int ticksSinceHandOver = 0;
    for (int tick = 0; tick < 50 * kBatches; ++tick) {
        if (testsupport::ListDirectory(real + "/queue").empty())
            break;
        Side& side = sides[tick % 2];
        if (!side.engine) {
            start(side);
            continue;
        }
        // The suite runs a batch for two ticks.
        if (++ticksSinceHandOver > 2)
            suite.items = 0;
        const std::size_t before = suite.submittedPaths.size();
        side.engine->ProcessStep();
        if (suite.submittedPaths.size() == before)
            continue;
        ticksSinceHandOver = 0;
        if (++side.handOvers % 3 == 0)
            side.engine.reset();
    }

    EXPECT_EQ(testsupport::ListDirectory(real + "/queue"), std::vector<std::string>{});
    for (const std::string& breach : torture::Breaches(planted, {real + "/Processed"}))
        ADD_FAILURE() << breach;
    std::map<std::string, int> handOvers;
    for (const std::string& path : suite.submittedPaths)
        ++handOvers[path.substr(path.rfind('/') + 1)];
    for (const auto& [name, count] : handOvers)
        EXPECT_EQ(count, 1) << name << " was handed over " << count << " times";
    EXPECT_EQ(handOvers.size(), static_cast<std::size_t>(kBatches));
    // Both views took their turns.
    EXPECT_GT(sides[0].handOvers, 0);
    EXPECT_GT(sides[1].handOvers, 0);
    std::cout << "hand-overs through " << real << ": " << sides[0].handOvers << ", through "
              << other << ": " << sides[1].handOvers << "\n";
}

INSTANTIATE_TEST_SUITE_P(Views, TwoViews, ::testing::Values(View::Link, View::BindMount), ViewName);
