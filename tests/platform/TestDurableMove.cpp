#include "platform/DurableMove.h"
#include "platform/DurableWrite.h"
#include "platform/QueueDirectoryLock.h"
#include "support/CrashFileOps.h"
#include "support/FaultyFileOps.h"
#include "support/FileModesBind.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>

using platform::DurableMove;
using platform::MoveResult;
using testsupport::Exists;
using testsupport::FaultyFileOps;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;
using Op = FaultyFileOps::Op;

namespace {

// A queue directory with one batch file and a destination directory.
struct MoveScene {
    TempDir root;
    std::string from = root / "B.olb";
    std::string destDir = root / "Processed";
    std::string to = destDir + "/B.olb";
    const std::string content = std::string(200'000, 'x') + "end"; // several copy blocks

    MoveScene() {
        WriteFile(from, content);
        std::filesystem::create_directory(destDir);
    }
};

// Renames of the batch file itself report a different file system, so that
// every move takes the copy path.
void ForceCopyPath(FaultyFileOps& ops) {
    ops.Inject({Op::Rename, EXDEV, 0, "/B.olb"});
}

// How the copy is made: as an unnamed file (where the file system can), or
// under a temporary name (where it cannot).
enum class Copy { Unnamed, Named };
constexpr Copy kBothWays[] = {Copy::Unnamed, Copy::Named};
const char* Describe(Copy how) {
    return how == Copy::Unnamed ? "unnamed copy" : "named copy";
}
// The first open in the destination is the unnamed file's; refusing it as a
// file system without unnamed files would makes the copy take a name.
void ForceCopy(FaultyFileOps& ops, Copy how) {
    ForceCopyPath(ops);
    if (how == Copy::Named)
        ops.Inject({Op::Open, EOPNOTSUPP, 1, "Processed/."});
}

// What Tesmaro's own folder in the destination holds.
std::vector<std::string> InOwnFolder(const MoveScene& s) {
    return testsupport::ListDirectory(s.destDir + "/" + platform::kQueueFolderName);
}

// A process id that no process has (above the kernel's largest).
constexpr long kGonePid = 999999999;

off_t AllocatedBytes(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? off_t(st.st_blocks) * 512 : -1;
}

} // namespace

TEST(DurableMove, SameFileSystemIsOneRenameReplacingTheTarget) {
    MoveScene s;
    WriteFile(s.to, "old target");
    FaultyFileOps ops;
    EXPECT_EQ(DurableMove(ops)(s.from, s.to), MoveResult::Moved);
    EXPECT_FALSE(Exists(s.from));
    EXPECT_EQ(ReadFile(s.to), s.content);
    EXPECT_EQ(ops.Calls(Op::Rename), 1);
    EXPECT_EQ(ops.Calls(Op::Write), 0);
}

TEST(DurableMove, CopyPathFlushesRenamesAndOnlyThenRemovesTheSource) {
    struct Case {
        const char* what;
        Copy how;
        bool targetExists;
        std::optional<FaultyFileOps::Fault> fault;
        bool keepsTime = true;
    };
    const Case cases[] = {
        {"unnamed copy over a target", Copy::Unnamed, true, std::nullopt},
        {"unnamed copy, no target", Copy::Unnamed, false, std::nullopt},
        {"named copy over a target", Copy::Named, true, std::nullopt},
        {"unnamed files that cannot be named", Copy::Unnamed, true,
         FaultyFileOps::Fault{Op::Link, ENOENT, 1}},
        {"times that cannot be kept", Copy::Named, false,
         FaultyFileOps::Fault{Op::Futimens, EPERM, 1}, false},
        {"a temporary name that is taken", Copy::Named, true,
         FaultyFileOps::Fault{Op::Open, EEXIST, 1, ".part-"}},
        {"our folder refuses the temporary", Copy::Named, true,
         FaultyFileOps::Fault{Op::Open, EACCES, 1, ".tesmaro/"}},
        {"our folder refuses the temporary name", Copy::Unnamed, true,
         FaultyFileOps::Fault{Op::Link, EACCES, 1, ".tesmaro/"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MoveScene s;
        if (c.targetExists)
            WriteFile(s.to, "old target");
        testsupport::SetWriteTime(s.from, 1'000'000'000);
        FaultyFileOps ops;
        ForceCopy(ops, c.how);
        if (c.fault)
            ops.Inject(*c.fault);
        EXPECT_EQ(DurableMove(ops)(s.from, s.to), MoveResult::Moved);
        EXPECT_FALSE(Exists(s.from));
        EXPECT_EQ(ReadFile(s.to), s.content);
        EXPECT_EQ(testsupport::ListDirectory(s.destDir),
                  std::vector<std::string>{"B.olb"}); // no temporary left
        EXPECT_TRUE(InOwnFolder(s).empty());
        struct stat st {};
        ASSERT_EQ(stat(s.to.c_str(), &st), 0);
        // The copy keeps the source's time where it may.
        EXPECT_EQ(st.st_mtim.tv_sec == 1'000'000'000, c.keepsTime);
        EXPECT_GE(ops.Calls(Op::Fsync), 2); // the file and its directory
        // The source goes last.
        ASSERT_FALSE(ops.PathLog().empty());
        EXPECT_EQ(ops.PathLog().back(), "Unlink " + s.from);
    }
}

TEST(DurableMove, AFailureAtAnyCopyStepKeepsTheSourceAndLeavesNothingUnderTheTarget) {
    struct Case {
        const char* what;
        FaultyFileOps::Fault fault;
        std::optional<Copy> only = std::nullopt; // a step of one way only
    };
    const Case cases[] = {
        {"create the temporary", {Op::Open, EACCES, 0, ".part-"}, Copy::Named},
        {"create the temporary, disk full", {Op::Open, ENOSPC, 0, ".part-"}, Copy::Named},
        {"every temporary name taken", {Op::Open, EEXIST, 0, ".part-"}, Copy::Named},
        {"write, disk full", {Op::Write, ENOSPC, 1}},
        {"second write, disk full", {Op::Write, ENOSPC, 2}},
        {"read the source", {Op::Read, EIO, 2}},
        {"flush the copy", {Op::Fsync, EIO, 1}},
        {"close the copy", {Op::Close, EIO, 1, ".part-"}, Copy::Named},
        {"rename the copy", {Op::Rename, EACCES, 1, ".part-"}, Copy::Named},
        {"create the unnamed copy", {Op::Open, EACCES, 1, "Processed/."}, Copy::Unnamed},
        {"name the copy", {Op::Link, EACCES, 1}, Copy::Unnamed},
        {"find the end of the data", {Op::Lseek, EIO, 2}},
    };
    for (const Case& c : cases) {
        for (const Copy how : kBothWays) {
            if (c.only && *c.only != how)
                continue;
            SCOPED_TRACE(std::string(c.what) + ", " + Describe(how));
            MoveScene s;
            FaultyFileOps ops;
            ForceCopy(ops, how);
            ops.Inject(c.fault);
            EXPECT_EQ(DurableMove(ops)(s.from, s.to), MoveResult::Failed);
            EXPECT_EQ(ReadFile(s.from), s.content);
            EXPECT_TRUE(testsupport::ListDirectory(s.destDir).empty());
            EXPECT_TRUE(InOwnFolder(s).empty());
        }
    }
}

TEST(DurableMove, WhereOurFolderCannotBeHadTheCopyIsMadeBesideTheTarget) {
    enum class Planted { Link, File, Nothing };
    struct Case {
        const char* what;
        Planted planted;
        std::optional<FaultyFileOps::Fault> fault;
    };
    const Case cases[] = {
        {"a link planted under its name", Planted::Link, std::nullopt},
        {"a file under its name", Planted::File, std::nullopt},
        {"it cannot be made", Planted::Nothing, FaultyFileOps::Fault{Op::Mkdir, EACCES, 0}},
    };
    for (const Case& c : cases) {
        for (const Copy how : kBothWays) {
            SCOPED_TRACE(std::string(c.what) + ", " + Describe(how));
            MoveScene s;
            WriteFile(s.to, "old target"); // an unnamed copy then needs a temporary name too
            const TempDir elsewhere;
            const std::string folder = s.destDir + "/" + platform::kQueueFolderName;
            if (c.planted == Planted::Link) {
                ASSERT_EQ(symlink(elsewhere.Path().c_str(), folder.c_str()), 0);
            }
            if (c.planted == Planted::File)
                WriteFile(folder, "a user's file");
            // Named like a leftover, behind the link: never ours to sweep.
            const std::string bait = platform::TemporaryCopyName("B.olb", kGonePid, 1);
            WriteFile(elsewhere / bait, "a user's file");
            FaultyFileOps ops;
            ForceCopy(ops, how);
            if (c.fault)
                ops.Inject(*c.fault);
            EXPECT_EQ(DurableMove(ops)(s.from, s.to), MoveResult::Moved);
            EXPECT_EQ(ReadFile(s.to), s.content);
            EXPECT_EQ(testsupport::ListDirectory(s.destDir), std::vector<std::string>{"B.olb"});
            EXPECT_EQ(platform::RemoveInterruptedCopies(platform::DefaultFileOps(), s.destDir), 0);
            EXPECT_EQ(testsupport::ListDirectory(elsewhere.Path()), std::vector<std::string>{bait});
            struct stat st {};
            EXPECT_EQ(lstat(folder.c_str(), &st) == 0, c.planted != Planted::Nothing);
            if (c.planted == Planted::Link) {
                EXPECT_TRUE(S_ISLNK(st.st_mode));
            }
            if (c.planted == Planted::File) {
                EXPECT_EQ(ReadFile(folder), "a user's file");
            }
        }
    }
}

TEST(DurableMove, AFailureKeepsAnExistingTargetUntouched) {
    MoveScene s;
    WriteFile(s.to, "old target");
    FaultyFileOps ops;
    ForceCopyPath(ops);
    ops.Inject({Op::Write, ENOSPC, 1});
    EXPECT_EQ(DurableMove(ops)(s.from, s.to), MoveResult::Failed);
    EXPECT_EQ(ReadFile(s.to), "old target");
    EXPECT_EQ(testsupport::ListDirectory(s.destDir), std::vector<std::string>{"B.olb"});
}

TEST(DurableMove, AfterAWholeCopyALaterFailureKeepsBothFiles) {
    struct Case {
        const char* what;
        FaultyFileOps::Fault fault;
    };
    const Case cases[] = {
        {"flush the directory", {Op::Fsync, EIO, 2}},
        {"remove the source", {Op::Unlink, EACCES, 1, "/B.olb"}},
        {"close the unnamed copy once named", {Op::Close, EIO, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MoveScene s;
        FaultyFileOps ops;
        ForceCopyPath(ops);
        ops.Inject(c.fault);
        EXPECT_EQ(DurableMove(ops)(s.from, s.to), MoveResult::CopiedSourceKept);
        EXPECT_EQ(ReadFile(s.from), s.content);
        EXPECT_EQ(ReadFile(s.to), s.content);
    }
}

TEST(DurableMove, SameFileSystemRenameFailureChangesNothing) {
    MoveScene s;
    FaultyFileOps ops;
    ops.Inject({Op::Rename, EACCES, 1});
    EXPECT_EQ(DurableMove(ops)(s.from, s.to), MoveResult::Failed);
    EXPECT_EQ(ReadFile(s.from), s.content);
    EXPECT_FALSE(Exists(s.to));
    // A missing destination directory is a failure too.
    EXPECT_EQ(DurableMove()(s.from, s.root / "missing/B.olb"), MoveResult::Failed);
    EXPECT_EQ(ReadFile(s.from), s.content);
}

TEST(DurableMove, RefusesWhatIsNotARegularFile) {
    TempDir root;
    std::filesystem::create_directory(root / "dest");
    WriteFile(root / "real", "secret");
    ASSERT_EQ(symlink((root / "real").c_str(), (root / "L.olb").c_str()), 0);
    ASSERT_EQ(mkfifo((root / "F.olb").c_str(), 0600), 0);
    std::filesystem::create_directory(root / "D.olb");
    for (const char* name : {"L.olb", "F.olb", "D.olb", "missing.olb"}) {
        SCOPED_TRACE(name);
        const std::string target = root / "dest/" + name;
        EXPECT_EQ(DurableMove()(root / name, target), MoveResult::Failed);
        EXPECT_FALSE(Exists(target));
    }
    EXPECT_TRUE(Exists(root / "L.olb"));
    EXPECT_TRUE(Exists(root / "F.olb"));
}

TEST(DurableMove, LeavesAFileThatAnotherProcessIsWritingWhereItIs) {
    MoveScene s;
    const int writer = open(s.from.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    for (const bool forceCopy : {false, true}) {
        FaultyFileOps ops;
        if (forceCopy)
            ForceCopyPath(ops);
        EXPECT_EQ(DurableMove(ops)(s.from, s.to), MoveResult::SourceBusy);
        EXPECT_EQ(ReadFile(s.from), s.content);
        EXPECT_FALSE(Exists(s.to));
    }
    close(writer);
    EXPECT_EQ(DurableMove()(s.from, s.to), MoveResult::Moved);
}

TEST(DurableMove, WithoutLeasesTheMoveGoesOnUnguarded) {
    MoveScene s;
    FaultyFileOps ops;
    ops.Inject({Op::SetLease, EINVAL, 0}); // a file system without leases
    EXPECT_EQ(DurableMove(ops)(s.from, s.to), MoveResult::Moved);
    EXPECT_EQ(ReadFile(s.to), s.content);
}

TEST(DurableMove, NeverRemovesTheSourceWhenBothNamesLeadToTheCopy) {
    // Two names of one directory on different mounts make rename report EXDEV;
    // the copy then lands on the source's own name, which must survive. A
    // second link elsewhere must not make the two routes look like two names.
    for (const bool secondLink : {false, true}) {
        SCOPED_TRACE(secondLink ? "with a second link elsewhere" : "one link");
        TempDir root;
        std::filesystem::create_directory(root / "sub");
        WriteFile(root / "B.olb", "data");
        if (secondLink) {
            ASSERT_EQ(link((root / "B.olb").c_str(), (root / "sub/other").c_str()), 0);
        }
        FaultyFileOps ops;
        ops.Inject({Op::Rename, EXDEV, 1});
        EXPECT_EQ(DurableMove(ops)(root / "B.olb", root / "sub/../B.olb"),
                  MoveResult::CopiedSourceKept);
        EXPECT_EQ(ReadFile(root / "B.olb"), "data");
        EXPECT_EQ(testsupport::ListDirectory(root.Path()),
                  (std::vector<std::string>{"B.olb", "sub"}));
    }
}

TEST(DurableMove, AHardLinkAlreadyInTheDestinationIsFiledByRemovingTheSourceName) {
    struct Case {
        const char* what;
        bool forceCopy;
        std::optional<FaultyFileOps::Fault> fault;
        MoveResult expected;
    };
    const Case cases[] = {
        {"one file system", false, std::nullopt, MoveResult::Moved},
        {"across file systems", true, std::nullopt, MoveResult::Moved},
        {"the source name cannot be removed", false, FaultyFileOps::Fault{Op::Unlink, EACCES, 1},
         MoveResult::Failed},
        {"the target cannot be examined", false,
         FaultyFileOps::Fault{Op::Lstat, EIO, 1, "Processed/"}, MoveResult::Failed},
        {"unreadable source", false, FaultyFileOps::Fault{Op::Open, EACCES, 1, "/B.olb"},
         MoveResult::Moved},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MoveScene s;
        ASSERT_EQ(link(s.from.c_str(), s.to.c_str()), 0);
        FaultyFileOps ops;
        if (c.forceCopy)
            ForceCopyPath(ops);
        if (c.fault)
            ops.Inject(*c.fault);
        EXPECT_EQ(DurableMove(ops)(s.from, s.to), c.expected);
        EXPECT_EQ(Exists(s.from), c.expected != MoveResult::Moved);
        EXPECT_EQ(ReadFile(s.to), s.content);
        EXPECT_EQ(testsupport::ListDirectory(s.destDir), std::vector<std::string>{"B.olb"});
        EXPECT_EQ(ops.Calls(Op::Write), 0);
    }
}

TEST(DurableMove, AFileWeMayNotOpenIsRenamedButNeverCopied) {
    struct Case {
        const char* what;
        int openError;
        bool forceCopy;
        MoveResult expected;
    };
    const Case cases[] = {
        {"permission denied", EACCES, false, MoveResult::Moved},
        {"operation not permitted", EPERM, false, MoveResult::Moved},
        {"across file systems", EACCES, true, MoveResult::Failed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MoveScene s;
        FaultyFileOps ops;
        ops.Inject({Op::Open, c.openError, 0, "/B.olb"});
        if (c.forceCopy)
            ForceCopyPath(ops);
        EXPECT_EQ(DurableMove(ops)(s.from, s.to), c.expected);
        const bool moved = c.expected == MoveResult::Moved;
        EXPECT_EQ(Exists(s.from), !moved);
        EXPECT_EQ(ReadFile(moved ? s.to : s.from), s.content);
        EXPECT_EQ(testsupport::ListDirectory(s.destDir).empty(), !moved);
    }
}

TEST(DurableMove, AnotherUsersPrivateFileIsRenamedWhereTheDirectoryAllows) {
    for (const bool forceCopy : {false, true}) {
        SCOPED_TRACE(forceCopy ? "across file systems" : "one file system");
        MoveScene s;
        // Another user's private file; where we cannot give it away, one of
        // ours that nobody may read.
        const bool givenAway = geteuid() == 0 && chown(s.from.c_str(), 65534, 65534) == 0;
        ASSERT_EQ(chmod(s.from.c_str(), givenAway ? 0600 : 0), 0);
        struct stat before {};
        ASSERT_EQ(lstat(s.from.c_str(), &before), 0);
        MoveResult result{};
        {
            testsupport::FileModesBind modesBind;
            const int probe = open(s.from.c_str(), O_RDONLY | O_CLOEXEC);
            if (probe >= 0)
                close(probe);
            if (probe >= 0 || !testsupport::ModesBindHere(s.root.Path().c_str()))
                GTEST_SKIP() << "file modes do not bind here";
            FaultyFileOps ops;
            if (forceCopy)
                ForceCopyPath(ops);
            result = DurableMove(ops)(s.from, s.to);
        }
        struct stat after {};
        if (forceCopy) {
            EXPECT_EQ(result, MoveResult::Failed);
            EXPECT_EQ(lstat(s.from.c_str(), &after), 0);
            EXPECT_TRUE(testsupport::ListDirectory(s.destDir).empty());
        } else {
            EXPECT_EQ(result, MoveResult::Moved);
            EXPECT_FALSE(Exists(s.from));
            EXPECT_EQ(lstat(s.to.c_str(), &after), 0);
        }
        EXPECT_EQ(after.st_ino, before.st_ino);
    }
}

TEST(DurableMove, RealMoveBetweenTwoFileSystems) {
    struct statfs shm {};
    if (statfs("/dev/shm", &shm) != 0 || access("/dev/shm", W_OK) != 0)
        GTEST_SKIP() << "no writable /dev/shm";
    MoveScene s;
    struct stat a {
    }, b{};
    ASSERT_EQ(stat(s.root.Path().c_str(), &a), 0);
    ASSERT_EQ(stat("/dev/shm", &b), 0);
    if (a.st_dev == b.st_dev)
        GTEST_SKIP() << "the temporary directory is on /dev/shm";
    const testsupport::TempDir there("/dev/shm");
    const std::string target = there / "B.olb";
    FaultyFileOps ops;
    EXPECT_EQ(DurableMove(ops)(s.from, target), MoveResult::Moved);
    EXPECT_FALSE(Exists(s.from));
    EXPECT_EQ(ReadFile(target), s.content);
    EXPECT_GT(ops.Calls(Op::Write), 0); // it was copied, not renamed
    EXPECT_EQ(testsupport::ListDirectory(there.Path()), std::vector<std::string>{"B.olb"});
    // A sparse GiB takes no more room there than here.
    testsupport::WriteSparseFile(s.from, std::int64_t(1) << 30,
                                 {{0, "head"}, {512 << 20, s.content}, {(1 << 30) - 4, "tail"}});
    const off_t allocated = AllocatedBytes(s.from);
    EXPECT_EQ(DurableMove()(s.from, target), MoveResult::Moved);
    EXPECT_LE(AllocatedBytes(target), allocated + 64 * 1024);
    struct stat copied {};
    ASSERT_EQ(stat(target.c_str(), &copied), 0);
    EXPECT_EQ(copied.st_size, off_t(1) << 30);
}

TEST(DurableMove, ACopyKeepsTheHolesOfASparseFile) {
    struct Case {
        const char* what;
        std::int64_t size;
        std::vector<testsupport::SparsePiece> pieces;
    };
    constexpr std::int64_t kMiB = 1 << 20;
    const std::string data(200'000, 'd'); // several copy blocks
    const Case cases[] = {
        {"data, holes between", 16 * kMiB, {{0, data}, {5 * kMiB, data}, {16 * kMiB - 3, "end"}}},
        {"a leading and a trailing hole", 16 * kMiB, {{8 * kMiB, data}}},
        {"only a hole", 16 * kMiB, {}},
    };
    for (const Case& c : cases) {
        for (const Copy how : kBothWays) {
            SCOPED_TRACE(std::string(c.what) + ", " + Describe(how));
            MoveScene s;
            testsupport::WriteSparseFile(s.from, c.size, c.pieces);
            const std::string content = ReadFile(s.from);
            const off_t allocated = AllocatedBytes(s.from);
            FaultyFileOps ops;
            ForceCopy(ops, how);
            EXPECT_EQ(DurableMove(ops)(s.from, s.to), MoveResult::Moved);
            EXPECT_TRUE(ReadFile(s.to) == content);
            EXPECT_LE(AllocatedBytes(s.to), allocated);
        }
    }
    // Without hole search the copy is whole all the same; a length that
    // cannot be set fails it.
    for (const bool holeSearch : {false, true}) {
        MoveScene s;
        testsupport::WriteSparseFile(s.from, 8 * kMiB, {{kMiB, data}});
        const std::string content = ReadFile(s.from);
        FaultyFileOps ops;
        ForceCopyPath(ops);
        ops.Inject(holeSearch ? FaultyFileOps::Fault{Op::Ftruncate, EIO, 1}
                              : FaultyFileOps::Fault{Op::Lseek, EINVAL, 0});
        EXPECT_EQ(DurableMove(ops)(s.from, s.to),
                  holeSearch ? MoveResult::Failed : MoveResult::Moved);
        EXPECT_TRUE(ReadFile(holeSearch ? s.from : s.to) == content);
        EXPECT_EQ(testsupport::ListDirectory(s.destDir).size(), holeSearch ? 0u : 1u);
    }
}

TEST(DurableMove, ALeftoverInOurFolderIsSweptAndOneBesideTheTargetOnlyWhenMarkedAsOurs) {
    // A copy under a temporary name whose rename and removal fail stays
    // behind, as after a kill; a user's files named alike are not ours.
    for (const bool folder : {true, false}) {
        SCOPED_TRACE(folder ? "in our folder, no extended attributes" : "beside the target");
        MoveScene s;
        FaultyFileOps ops;
        ForceCopy(ops, Copy::Named);
        if (folder)
            ops.Inject({Op::SetAttribute, ENOTSUP, 0});
        else
            ops.Inject({Op::Mkdir, EACCES, 0, platform::kQueueFolderName});
        ops.Inject({Op::Rename, EACCES, 1, ".part-"});
        ops.Inject({Op::Unlink, EACCES, 1, ".part-"});
        EXPECT_EQ(DurableMove(ops)(s.from, s.to), MoveResult::Failed);
        const std::vector<std::string> leftover =
            folder ? InOwnFolder(s) : testsupport::ListDirectory(s.destDir);
        ASSERT_EQ(leftover.size(), 1u);
        const std::vector<std::string> users = {platform::TemporaryCopyName("B.olb", kGonePid, 1),
                                                platform::TemporaryCopyName("B.olb", getpid(), 77)};
        for (const std::string& name : users)
            WriteFile(s.destDir + "/" + name, "a user's file");
        // A copied mark of another name proves nothing either.
        const std::string forged = platform::TemporaryCopyName("C.olb", kGonePid, 1);
        WriteFile(s.destDir + "/" + forged, "a user's file");
        ASSERT_EQ(setxattr((s.destDir + "/" + forged).c_str(), platform::kCopyOwnerAttribute,
                           leftover[0].data(), leftover[0].size(), 0),
                  0);

        // A directory that cannot be read is left as it is.
        FaultyFileOps unreadable;
        unreadable.Inject({Op::ReadDirectoryPart, EIO, 0});
        EXPECT_EQ(platform::RemoveInterruptedCopies(unreadable, s.destDir), 0);
        EXPECT_EQ(platform::RemoveInterruptedCopies(platform::DefaultFileOps(), s.destDir), 1);
        std::vector<std::string> expected = users;
        expected.push_back(forged);
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(testsupport::ListDirectory(s.destDir), expected);
        EXPECT_TRUE(InOwnFolder(s).empty());
        EXPECT_EQ(ReadFile(s.from), s.content);
    }
}

TEST(InterruptedCopySweep, InOurFolderTheNameAndTheProcessDecideBesideTheTargetTheMarkToo) {
    struct Case {
        const char* what;
        bool inFolder;
        long pid;
        bool marked;
        bool link;
        bool removed;
    };
    const Case cases[] = {
        {"in our folder, its process gone", true, kGonePid, false, false, true},
        {"in our folder, of this very process", true, getpid(), false, false, true},
        {"in our folder, its process alive", true, 1, false, false, false},
        {"in our folder, a link", true, kGonePid, false, true, false},
        {"beside the target, marked", false, kGonePid, true, false, true},
        {"beside the target, unmarked", false, kGonePid, false, false, false},
        {"beside the target, of this process, unmarked", false, getpid(), false, false, false},
    };
    TempDir dest;
    const std::string folder = dest / platform::kQueueFolderName;
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    WriteFile(dest / "B.olb", "a batch");
    WriteFile(folder + "/lock", "not a copy");
    std::vector<std::string> paths;
    int removed = 0;
    for (const Case& c : cases) {
        const std::string name =
            platform::TemporaryCopyName("B.olb", c.pid, static_cast<unsigned>(paths.size()));
        paths.push_back((c.inFolder ? folder : dest.Path()) + "/" + name);
        if (c.link) {
            ASSERT_EQ(symlink((dest / "B.olb").c_str(), paths.back().c_str()), 0);
        } else {
            WriteFile(paths.back(), "half a copy");
        }
        if (c.marked) {
            ASSERT_EQ(setxattr(paths.back().c_str(), platform::kCopyOwnerAttribute, name.data(),
                               name.size(), 0),
                      0);
        }
        removed += c.removed ? 1 : 0;
    }
    EXPECT_EQ(platform::RemoveInterruptedCopies(platform::DefaultFileOps(), dest.Path()), removed);
    for (std::size_t i = 0; i < paths.size(); ++i)
        EXPECT_EQ(Exists(paths[i]), !cases[i].removed) << cases[i].what;
    EXPECT_EQ(ReadFile(dest / "B.olb"), "a batch");
    EXPECT_TRUE(Exists(folder + "/lock"));

    // Where the file system keeps no extended attributes, the folder alone proves.
    testsupport::CrashFileOps memory;
    const std::string copy = platform::TemporaryCopyName("B.olb", kGonePid, 1);
    memory.WriteFile("/Processed/.tesmaro/" + copy, "half a copy");
    memory.WriteFile("/Processed/" + copy, "a user's file");
    EXPECT_EQ(platform::RemoveInterruptedCopies(memory, "/Processed"), 1);
    EXPECT_EQ(memory.List("/Processed/.tesmaro"), std::vector<std::string>{});
    EXPECT_TRUE(memory.Exists("/Processed/" + copy));
}

TEST(InterruptedCopySweep, ManyNamesAreSweptInPartsWithinTheBudgetFindingEveryLeftover) {
    // Leftovers spread through both listings, wherever the file system puts them.
    constexpr int kNames = 20'000;
    constexpr int kBudget = 1000;
    // In memory where it can be: making this many files on a disk is slow.
    const TempDir dest(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "");
    const std::string folder = dest / platform::kQueueFolderName;
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    int leftovers = 0;
    for (int i = 0; i < kNames; ++i) {
        const bool inFolder = i % 2 == 0;
        const bool leftover = i % 997 == 0;
        const std::string name =
            leftover ? platform::TemporaryCopyName("N.olb", kGonePid, static_cast<unsigned>(i))
                     : "N" + std::to_string(i) + ".olb";
        const std::string path = (inFolder ? folder : dest.Path()) + "/" + name;
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        close(fd);
        if (leftover && !inFolder) {
            ASSERT_EQ(
                setxattr(path.c_str(), platform::kCopyOwnerAttribute, name.data(), name.size(), 0),
                0);
        }
        leftovers += leftover ? 1 : 0;
    }
    FaultyFileOps ops;
    platform::InterruptedCopySweep sweep(ops, dest.Path());
    int steps = 0;
    for (bool done = false; !done && steps < kNames;) {
        const long before = ops.NamesReadInParts();
        done = sweep.Step(kBudget) == platform::InterruptedCopySweep::Progress::Done;
        EXPECT_LE(ops.NamesReadInParts() - before, kBudget);
        ++steps;
    }
    // Each name once: the names, "." and ".." of both, and the folder's own.
    const long entries = kNames + 2 + 2 + 1;
    EXPECT_EQ(ops.NamesReadInParts(), entries);
    EXPECT_GE(steps, entries / kBudget);
    EXPECT_LE(steps, entries / kBudget + 2);
    EXPECT_EQ(sweep.Removed(), leftovers);
    EXPECT_EQ(sweep.Step(kBudget), platform::InterruptedCopySweep::Progress::Done);
    EXPECT_EQ(testsupport::ListDirectory(dest.Path()).size() +
                  testsupport::ListDirectory(folder).size(),
              static_cast<std::size_t>(kNames - leftovers));
}

TEST(ReadDirectoryPart, GoesOnWhereThePartBeforeStoppedNoNameLostOrRepeated) {
    constexpr int kNames = 300;
    struct Case {
        int budget;
        bool removing; // the caller removes a name it was given between parts (last: it empties)
    };
    const Case cases[] = {{1, false}, {2, false}, {7, false}, {1000, false}, {7, true}};
    for (const bool inMemory : {false, true}) {
        const TempDir disk;
        testsupport::CrashFileOps memory;
        platform::FileOps& ops =
            inMemory ? static_cast<platform::FileOps&>(memory) : platform::DefaultFileOps();
        const std::string dir = inMemory ? std::string("/d") : disk.Path();
        std::vector<std::string> expected = {".", ".."};
        for (int i = 0; i < kNames; ++i) {
            expected.push_back("n" + std::to_string(i));
            if (inMemory)
                memory.WriteFile(dir + "/" + expected.back(), "");
            else
                WriteFile(dir + "/" + expected.back(), "");
        }
        std::sort(expected.begin(), expected.end());
        for (const Case& c : cases) {
            SCOPED_TRACE(std::to_string(c.budget) + (c.removing ? ", removing" : "") +
                         (inMemory ? ", in memory" : ", on disk"));
            const int fd = ops.Open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            // No names asked for is no end.
            EXPECT_EQ(ops.ReadDirectoryPart(
                          fd, [](const char*) {}, 0),
                      -1);
            std::vector<std::string> seen;
            int parts = 0;
            for (int got = c.budget; got > 0 && parts < 2 * (kNames + 3); ++parts) {
                got = ops.ReadDirectoryPart(
                    fd, [&seen](const char* name) { seen.emplace_back(name); }, c.budget);
                ASSERT_GE(got, 0);
                ASSERT_LE(got, c.budget);
                if (c.removing && got > 0 && seen.back() != "." && seen.back() != "..") {
                    ASSERT_EQ(ops.Unlink((dir + "/" + seen.back()).c_str()), 0);
                }
            }
            ops.Close(fd);
            std::sort(seen.begin(), seen.end());
            EXPECT_EQ(seen, expected);
            // Every part but the last is full; one more call finds the end.
            EXPECT_EQ(parts, (kNames + 2 + c.budget - 1) / c.budget + 1);
        }
    }
}

TEST(SyncDirectory, TrueOnlyWhenTheDirectoryIsOpenedFlushedAndClosed) {
    struct Case {
        const char* what;
        std::string dir; // in the scene's root; empty for the current directory
        std::optional<FaultyFileOps::Fault> fault;
        bool synced;
    };
    const Case cases[] = {
        {"a directory", "Processed", std::nullopt, true},
        {"the current directory", "", std::nullopt, true},
        {"a file", "B.olb", std::nullopt, false},
        {"nothing", "missing", std::nullopt, false},
        {"open it", "Processed", FaultyFileOps::Fault{Op::Open, EACCES, 1}, false},
        {"flush it", "Processed", FaultyFileOps::Fault{Op::Fsync, EIO, 1}, false},
        {"close it", "Processed", FaultyFileOps::Fault{Op::Close, EIO, 1}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MoveScene s;
        FaultyFileOps ops;
        if (c.fault)
            ops.Inject(*c.fault);
        EXPECT_EQ(platform::SyncDirectory(ops, c.dir.empty() ? "" : s.root / c.dir), c.synced);
    }
}
