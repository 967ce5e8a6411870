#include "platform/FileIdentity.h"
#include "support/CrashFileOps.h"
#include "support/MemoryFinder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <functional>
#include <string>
#include <vector>

using testsupport::CrashFileOps;
using Durability = CrashFileOps::Durability;

namespace {

const char* const kBatch = "/q/A.olb";
const char* const kFiled = "/q/Processed/A.olb";
const char* const kNew = "/q/N.olb";

// A queue directory holding one durable batch, and an empty durable Processed.
void SetUpQueue(CrashFileOps& fs) {
    ASSERT_TRUE(fs.WriteFile(kBatch, "old"));
    ASSERT_TRUE(fs.MakeDirectories("/q/Processed"));
}

// "absent", "dir", or "file:" and the content.
std::string Show(const CrashFileOps& fs, const std::string& path) {
    if (!fs.Exists(path))
        return "absent";
    const auto content = fs.ReadFile(path);
    return content ? "file:" + *content : "dir";
}

// Every path under `dir` with what it holds, one per line.
std::string Dump(const CrashFileOps& fs, const std::string& dir = "") {
    std::string out;
    for (const std::string& name : fs.List(dir.empty() ? "/" : dir)) {
        const std::string path = dir + "/" + name;
        out += path + " " + Show(fs, path) + "\n";
        out += Dump(fs, path);
    }
    return out;
}

// A program's own calls, through the seam.
void Put(CrashFileOps& fs, const char* path, const std::string& content, bool sync) {
    const int fd = fs.Open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fs.Write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ASSERT_EQ(sync ? fs.Fsync(fd) : 0, 0);
    ASSERT_EQ(fs.Close(fd), 0);
}

void SyncDir(CrashFileOps& fs, const char* dir) {
    const int fd = fs.Open(dir, O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fs.Fsync(fd), 0);
    ASSERT_EQ(fs.Close(fd), 0);
}

void Move(CrashFileOps& fs, const char* from, const char* to) {
    ASSERT_EQ(fs.Rename(from, to), 0);
}

struct Seen {
    std::string path;
    std::string before; // the crash
    std::string after;
};

struct Survival {
    const char* what;
    std::function<void(CrashFileOps&)> act;
    std::vector<Seen> seen;
};

} // namespace

TEST(CrashFileOps, ACrashKeepsOnlyWhatWasFlushed) {
    const std::vector<Survival> cases = {
        {"write without fsync",
         [](CrashFileOps& fs) { Put(fs, kBatch, "new", false); },
         {{kBatch, "file:new", "file:old"}}},
        {"write and fsync",
         [](CrashFileOps& fs) { Put(fs, kBatch, "new", true); },
         {{kBatch, "file:new", "file:new"}}},
        {"new file fsynced, its directory not",
         [](CrashFileOps& fs) { Put(fs, kNew, "n", true); },
         {{kNew, "file:n", "absent"}}},
        {"new file's directory fsynced, the file not",
         [](CrashFileOps& fs) {
             Put(fs, kNew, "n", false);
             SyncDir(fs, "/q");
         },
         {{kNew, "file:n", "file:"}}},
        {"new file and its directory fsynced",
         [](CrashFileOps& fs) {
             Put(fs, kNew, "n", true);
             SyncDir(fs, "/q/.");
         },
         {{kNew, "file:n", "file:n"}}},
        {"rename, no directory flushed",
         [](CrashFileOps& fs) { Move(fs, kBatch, kFiled); },
         {{kBatch, "absent", "file:old"}, {kFiled, "file:old", "absent"}}},
        {"rename, only the destination flushed",
         [](CrashFileOps& fs) {
             Move(fs, kBatch, kFiled);
             SyncDir(fs, "/q/Processed");
         },
         {{kBatch, "absent", "file:old"}, {kFiled, "file:old", "file:old"}}},
        {"rename, only the source flushed",
         [](CrashFileOps& fs) {
             Move(fs, kBatch, kFiled);
             SyncDir(fs, "/q/Processed/..");
         },
         {{kBatch, "absent", "absent"}, {kFiled, "file:old", "absent"}}},
        {"rename, both flushed",
         [](CrashFileOps& fs) {
             Move(fs, kBatch, kFiled);
             SyncDir(fs, "/q/Processed");
             SyncDir(fs, "/q");
         },
         {{kBatch, "absent", "absent"}, {kFiled, "file:old", "file:old"}}},
        {"rename, then Commit",
         [](CrashFileOps& fs) {
             Move(fs, kBatch, kFiled);
             fs.Commit();
         },
         {{kBatch, "absent", "absent"}, {kFiled, "file:old", "file:old"}}},
        {"unlink, not flushed",
         [](CrashFileOps& fs) { ASSERT_EQ(fs.Unlink(kBatch), 0); },
         {{kBatch, "absent", "file:old"}}},
        {"unlink, flushed",
         [](CrashFileOps& fs) {
             ASSERT_EQ(fs.Unlink(kBatch), 0);
             SyncDir(fs, "/q");
         },
         {{kBatch, "absent", "absent"}}},
        {"mkdir, only the new directory flushed",
         [](CrashFileOps& fs) {
             ASSERT_EQ(fs.Mkdir("/q/Failed", 0755), 0);
             SyncDir(fs, "/q/Failed");
         },
         {{"/q/Failed", "dir", "absent"}}},
        {"mkdir, parent flushed",
         [](CrashFileOps& fs) {
             ASSERT_EQ(fs.Mkdir("/q/Failed", 0755), 0);
             SyncDir(fs, "/q");
         },
         {{"/q/Failed", "dir", "dir"}}},
        {"set-up write, not committed",
         [](CrashFileOps& fs) { fs.WriteFile(kNew, "n", Durability::Volatile); },
         {{kNew, "file:n", "absent"}}},
        {"set-up write into new directories, committed",
         [](CrashFileOps& fs) { fs.WriteFile("/r/s/N", "n"); },
         {{"/r/s/N", "file:n", "file:n"}}},
    };
    for (const Survival& c : cases) {
        SCOPED_TRACE(c.what);
        CrashFileOps fs;
        SetUpQueue(fs);
        c.act(fs);
        for (const Seen& s : c.seen)
            EXPECT_EQ(Show(fs, s.path), s.before) << s.path;
        fs.Crash();
        for (const Seen& s : c.seen)
            EXPECT_EQ(Show(fs, s.path), s.after) << s.path;
    }
}

TEST(CrashFileOps, AFileDurableUnderBothNamesIsOneFileWithTwoLinks) {
    CrashFileOps fs;
    SetUpQueue(fs);
    Move(fs, kBatch, kFiled);
    SyncDir(fs, "/q/Processed");
    fs.Crash();
    struct stat a {};
    struct stat b {};
    ASSERT_EQ(fs.Lstat(kBatch, &a), 0);
    ASSERT_EQ(fs.Lstat(kFiled, &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(a.st_nlink, 2u);
}

TEST(CrashFileOps, CallsAreRefusedWithTheKernelsErrors) {
    struct Refusal {
        const char* what;
        std::function<long(CrashFileOps&)> call;
        int error;
    };
    const auto readOnly = [](CrashFileOps& fs) { return fs.Open(kBatch, O_RDONLY); };
    char buf[8];
    const std::vector<Refusal> cases = {
        {"rename across file systems",
         [](CrashFileOps& fs) { return fs.Rename(kBatch, "/disk2/A"); }, EXDEV},
        {"rename of a file system's root",
         [](CrashFileOps& fs) { return fs.Rename("/disk2", "/d3"); }, EBUSY},
        {"rename onto a directory that is not empty",
         [](CrashFileOps& fs) { return fs.Rename("/q/Processed", "/q"); }, ENOTEMPTY},
        {"rename of a directory into itself",
         [](CrashFileOps& fs) { return fs.Rename("/q", "/q/Processed/q"); }, EINVAL},
        {"rename of a file onto a directory",
         [](CrashFileOps& fs) { return fs.Rename(kBatch, "/q/Processed"); }, EISDIR},
        {"rename of a missing file", [](CrashFileOps& fs) { return fs.Rename(kNew, kFiled); },
         ENOENT},
        {"open of a missing file", [](CrashFileOps& fs) { return fs.Open(kNew, O_RDONLY); },
         ENOENT},
        {"exclusive create of an existing file",
         [](CrashFileOps& fs) { return fs.Open(kBatch, O_WRONLY | O_CREAT | O_EXCL, 0644); },
         EEXIST},
        {"create in a missing directory",
         [](CrashFileOps& fs) { return fs.Open("/q/none/N", O_WRONLY | O_CREAT, 0644); }, ENOENT},
        {"a file used as a directory",
         [](CrashFileOps& fs) { return fs.Open("/q/A.olb/x", O_RDONLY); }, ENOTDIR},
        {"O_DIRECTORY on a file",
         [](CrashFileOps& fs) { return fs.Open(kBatch, O_RDONLY | O_DIRECTORY); }, ENOTDIR},
        {"a directory opened for writing", [](CrashFileOps& fs) { return fs.Open("/q", O_RDWR); },
         EISDIR},
        {"an unnamed file",
         [](CrashFileOps& fs) { return fs.Open("/q", O_WRONLY | O_TMPFILE, 0600); }, EOPNOTSUPP},
        {"unlink of a directory", [](CrashFileOps& fs) { return fs.Unlink("/q/Processed"); },
         EISDIR},
        {"mkdir of a taken name", [](CrashFileOps& fs) { return fs.Mkdir(kBatch, 0755); }, EEXIST},
        {"seek for data",
         [&](CrashFileOps& fs) { return long{fs.Lseek(readOnly(fs), 0, SEEK_DATA)}; }, EINVAL},
        {"write through a read-only descriptor",
         [&](CrashFileOps& fs) { return long{fs.Write(readOnly(fs), "x", 1)}; }, EBADF},
        {"read of a directory",
         [&](CrashFileOps& fs) { return long{fs.Read(fs.Open("/q", O_RDONLY), buf, 1)}; }, EISDIR},
        {"fsync of an O_PATH handle",
         [](CrashFileOps& fs) { return fs.Fsync(fs.Open("/q", O_PATH | O_DIRECTORY)); }, EBADF},
        {"link of an unnamed file",
         [&](CrashFileOps& fs) { return fs.LinkUnnamed(readOnly(fs), kNew); }, EOPNOTSUPP},
        {"setting an extended attribute",
         [&](CrashFileOps& fs) { return fs.SetAttribute(readOnly(fs), "user.a", "1", 1); },
         ENOTSUP},
        {"reading an extended attribute",
         [&](CrashFileOps& fs) { return long{fs.GetAttribute(kBatch, "user.a", buf, 8)}; },
         ENOTSUP},
        {"an extended attribute of a missing file",
         [&](CrashFileOps& fs) { return long{fs.GetAttribute(kNew, "user.a", buf, 8)}; }, ENOENT},
        {"close of an unknown descriptor", [](CrashFileOps& fs) { return fs.Close(-1); }, EBADF},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.what);
        CrashFileOps fs;
        SetUpQueue(fs);
        ASSERT_TRUE(fs.WriteFile("/q/Processed/B.olb", "b"));
        ASSERT_TRUE(fs.AddFileSystem("/disk2"));
        const std::string before = Dump(fs);
        errno = 0;
        EXPECT_EQ(c.call(fs), -1);
        EXPECT_EQ(errno, c.error);
        EXPECT_EQ(Dump(fs), before);
    }
}

TEST(CrashFileOps, ADescriptorKeepsItsOffsetAndLease) {
    CrashFileOps fs;
    ASSERT_TRUE(fs.WriteFile(kBatch, "abcdef"));
    const int fd = fs.Open(kBatch, O_RDWR);
    char buf[8] = {};
    EXPECT_EQ(fs.Lseek(fd, 2, SEEK_SET), 2);
    EXPECT_EQ(fs.Write(fd, "X", 1), 1);
    EXPECT_EQ(fs.Lseek(fd, -1, SEEK_END), 5);
    EXPECT_EQ(fs.Read(fd, buf, sizeof buf), 1);
    EXPECT_EQ(fs.Lseek(fd, 2, SEEK_CUR), 8);
    EXPECT_EQ(fs.Write(fd, "Z", 1), 1);
    EXPECT_EQ(fs.ReadFile(kBatch), std::string("abXdef\0\0Z", 9));
    EXPECT_EQ(fs.Ftruncate(fd, 3), 0);
    const int appending = fs.Open(kBatch, O_WRONLY | O_APPEND);
    EXPECT_EQ(fs.Write(appending, "!", 1), 1);
    EXPECT_EQ(fs.ReadFile(kBatch), "abX!");
    EXPECT_GE(fs.Open(kBatch, O_WRONLY | O_TRUNC), 0);
    EXPECT_EQ(fs.ReadFile(kBatch), "");
    EXPECT_EQ(fs.GetLease(fd), F_UNLCK);
    EXPECT_EQ(fs.SetLease(fd, F_RDLCK), 0);
    EXPECT_EQ(fs.GetLease(fd), F_RDLCK); // nobody else can break it
}

TEST(CrashFileOps, AfterTheCutEveryCallFailsWithEioAndChangesNothing) {
    // One call each.
    using Step = std::function<long(CrashFileOps&, int& fd)>;
    const std::vector<Step> program = {
        [](CrashFileOps& fs, int& fd) {
            return fd = fs.Open(kNew, O_WRONLY | O_CREAT | O_EXCL, 0644);
        },
        [](CrashFileOps& fs, int& fd) { return long{fs.Write(fd, "n", 1)}; },
        [](CrashFileOps& fs, int& fd) { return fs.Fsync(fd); },
        [](CrashFileOps& fs, int& fd) { return fs.Close(fd); },
        [](CrashFileOps& fs, int&) { return fs.Rename(kBatch, kFiled); },
        [](CrashFileOps& fs, int&) { return fs.Mkdir("/q/Failed", 0755); },
        [](CrashFileOps& fs, int&) { return fs.Unlink(kNew); },
        [](CrashFileOps& fs, int&) {
            struct stat st {};
            return fs.Lstat(kFiled, &st);
        },
    };
    // The uncut run: what each call gives and leaves.
    std::vector<long> results;
    std::vector<std::string> states;
    {
        CrashFileOps fs;
        SetUpQueue(fs);
        int fd = -1;
        states.push_back(Dump(fs));
        for (const Step& step : program) {
            results.push_back(step(fs, fd));
            states.push_back(Dump(fs));
        }
        ASSERT_EQ(fs.Calls(), program.size());
    }
    for (std::size_t cut = 0; cut <= program.size(); ++cut) {
        SCOPED_TRACE("cut after " + std::to_string(cut));
        CrashFileOps fs;
        SetUpQueue(fs);
        fs.CutAfter(cut);
        int fd = -1;
        for (std::size_t i = 0; i < program.size(); ++i) {
            errno = 0;
            const long result = program[i](fs, fd);
            if (i < cut) {
                EXPECT_EQ(result, results[i]) << "call " << i + 1;
            } else {
                EXPECT_EQ(result, -1) << "call " << i + 1;
                EXPECT_EQ(errno, EIO) << "call " << i + 1;
            }
            EXPECT_EQ(fs.PoweredOff(), i + 1 >= cut) << "call " << i + 1;
            EXPECT_EQ(Dump(fs), states[std::min(i + 1, cut)]) << "call " << i + 1;
        }
        fs.Crash();
        EXPECT_FALSE(fs.PoweredOff());
        EXPECT_EQ(fs.Close(fd), -1); // every descriptor ended with the power
        EXPECT_EQ(errno, EBADF);
        const int reopened = fs.Open("/q", O_RDONLY | O_DIRECTORY);
        EXPECT_GE(reopened, 0);
        EXPECT_NE(reopened, fd);
    }
}

TEST(CrashFileOps, ARemountRenumbersInodesAndDevices) {
    CrashFileOps fs;
    SetUpQueue(fs);
    ASSERT_TRUE(fs.AddFileSystem("/disk2"));
    ASSERT_TRUE(fs.WriteFile("/disk2/B.olb", "b"));
    const std::vector<std::string> paths = {kBatch, "/q/Processed", "/disk2/B.olb"};
    const auto identities = [&] {
        std::vector<platform::FileIdentity> ids;
        for (const std::string& path : paths) {
            struct statx stx {};
            EXPECT_EQ(fs.Statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO, &stx), 0);
            ids.push_back(platform::IdentityOf(stx));
        }
        return ids;
    };
    const auto before = identities();
    EXPECT_NE(before[0].device, before[2].device);

    fs.RenumberInodes();
    ASSERT_TRUE(fs.SetDevice("/disk2", makedev(9, 7)));
    fs.Crash(); // the new numbers are the durable ones too
    const auto after = identities();
    for (std::size_t i = 0; i < paths.size(); ++i) {
        SCOPED_TRACE(paths[i]);
        for (const auto& old : before)
            EXPECT_NE(after[i].inode, old.inode);
        EXPECT_NE(after[i].inode, after[(i + 1) % paths.size()].inode);
        EXPECT_EQ(after[i].bornSeconds, before[i].bornSeconds);
    }
    EXPECT_EQ(after[0].device, before[0].device);
    EXPECT_EQ(after[2].device, makedev(9, 7));
    EXPECT_EQ(fs.ReadFile("/disk2/B.olb"), "b");
    EXPECT_FALSE(fs.SetDevice("/q", makedev(9, 8))); // not a file system's root
}

TEST(MemoryFinder, ListsMatchesInByteOrderUnderTheResolvedDirectory) {
    CrashFileOps fs;
    SetUpQueue(fs);
    for (const char* name : {"/q/B.olb", "/q/AB.olb", "/q/c.txt"})
        ASSERT_TRUE(fs.WriteFile(name, "x"));
    const struct {
        const char* search;
        const char* found; // each path, "/" after a directory's
    } cases[] = {
        {"/q/*.olb", "/q/A.olb /q/AB.olb /q/B.olb "},
        {"/q/?.olb", "/q/A.olb /q/B.olb "},
        {"/q/*", "/q/A.olb /q/AB.olb /q/B.olb /q/Processed/ /q/c.txt "},
        {"/q/Processed", "/q/Processed/ "},
        {"/q/A.olb", "/q/A.olb "},
        {"/q/./Processed/../*.txt", "/q/c.txt "},
        {"/q/none.olb", ""},
        {"/none/*", ""},
        {"/q/A.olb/*", ""},
    };
    const auto finders = testsupport::MemoryFinders(fs);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.search);
        const auto finder = finders();
        std::string found;
        for (int more = finder->FindFile(c.search); more != 0;) {
            more = finder->FindNextFileA();
            found += finder->GetFilePath() + (finder->IsDirectory() ? "/ " : " ");
        }
        EXPECT_EQ(found, c.found);
    }
    fs.CutAfter(0);
    EXPECT_EQ(finders()->FindFile("/q/*"), 0); // nothing can be read
}

TEST(MemoryFinder, DescribesEntriesAsTheRealFinderDoes) {
    const struct {
        bool birthTimes;
        std::int64_t created;
    } cases[] = {{true, 100}, {false, 200}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.birthTimes ? "birth times" : "no birth times");
        CrashFileOps fs;
        fs.SetBirthTimes(c.birthTimes);
        fs.SetTime(100);
        ASSERT_TRUE(fs.WriteFile(kBatch, "x"));
        ASSERT_TRUE(fs.WriteFile("/q/B.olb", "x"));
        fs.SetTime(200);
        ASSERT_TRUE(fs.WriteFile(kBatch, "y"));
        testsupport::MemoryFinder finder(fs);
        ASSERT_EQ(finder.FindFile("/q/*.olb"), 1);
        finder.FindNextFileA();
        struct statx stx {};
        ASSERT_EQ(fs.Statx(AT_FDCWD, kBatch, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &stx), 0);
        EXPECT_EQ(finder.GetCreationTime(), c.created);
        EXPECT_EQ(finder.GetLastWriteTime(), 200);
        EXPECT_EQ(finder.GetFileIdentity(), platform::IdentityOf(stx));
        const platform::FileIdentity first = finder.GetFileIdentity();
        finder.FindNextFileA();
        // Created in the same second, yet told apart by the nanoseconds.
        EXPECT_EQ(first.bornSeconds == finder.GetFileIdentity().bornSeconds &&
                      first.bornNanoseconds == finder.GetFileIdentity().bornNanoseconds,
                  !c.birthTimes);
    }
}
