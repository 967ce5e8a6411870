#include "platform/StateFile.h"
#include "support/FaultyFileOps.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>

using platform::RunRecordPath;
using platform::StateFile;
using testsupport::Exists;
using testsupport::FaultyFileOps;
using testsupport::ListDirectory;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;
using Op = FaultyFileOps::Op;
using ReadResult = StateFile::ReadResult;

namespace {

// Real calls that move at most a few bytes at a time and are interrupted
// every other time, as a slow or signalled system may do.
class TricklingFileOps final : public platform::SystemFileOps {
public:
    ssize_t Read(int fd, void* buf, size_t count) override {
        if (Interrupt())
            return -1;
        return SystemFileOps::Read(fd, buf, std::min<size_t>(count, 7));
    }
    ssize_t Write(int fd, const void* buf, size_t count) override {
        if (Interrupt())
            return -1;
        return SystemFileOps::Write(fd, buf, std::min<size_t>(count, 5));
    }

private:
    bool Interrupt() {
        if (++m_calls % 2 == 0)
            return false;
        errno = EINTR;
        return true;
    }
    unsigned m_calls = 0;
};

// Sets or removes one environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name))
            m_old = old;
        if (value != nullptr)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (m_old)
            setenv(m_name, m_old->c_str(), 1);
        else
            unsetenv(m_name);
    }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

// What an entry is and holds, without following it.
std::string Describe(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0)
        return "missing";
    if (S_ISLNK(st.st_mode))
        return "link to " + std::filesystem::read_symlink(path).string();
    if (S_ISFIFO(st.st_mode))
        return "fifo";
    if (S_ISDIR(st.st_mode))
        return "directory holding " + ReadFile(path + "/inside");
    return "file holding " + ReadFile(path);
}

} // namespace

TEST(StateFile, WriteThenReadGivesTheContentBackAndLeavesOnlyTheFile) {
    const std::string contents[] = {"", "one line\n", std::string(100'000, 'r') + "\nend"};
    for (const std::string& content : contents) {
        SCOPED_TRACE(content.size());
        TempDir dir;
        // The largest content is exactly at the limit: still read.
        StateFile file(dir / "Tesmaro.runs", platform::DefaultFileOps(), 100'004);
        std::string read = "stale";
        EXPECT_EQ(file.Read(read), ReadResult::Missing);
        EXPECT_EQ(read, "");
        ASSERT_TRUE(file.Write("first"));
        ASSERT_TRUE(file.Write(content));
        EXPECT_EQ(file.Read(read), ReadResult::Read);
        EXPECT_EQ(read, content);
        EXPECT_EQ(ListDirectory(dir.Path()), std::vector<std::string>{"Tesmaro.runs"});
        struct stat st {};
        ASSERT_EQ(stat(file.Path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
}

TEST(StateFile, ShortAndInterruptedTransfersAreCarriedOnToTheEnd) {
    TempDir dir;
    TricklingFileOps ops;
    StateFile file(dir / "Tesmaro.runs", ops);
    const std::string content = "running B.olb\nunfiled A.olb\nunfiled C.olb\n";
    ASSERT_TRUE(file.Write(content));
    EXPECT_EQ(ReadFile(file.Path()), content);
    std::string read;
    EXPECT_EQ(file.Read(read), ReadResult::Read);
    EXPECT_EQ(read, content);
}

TEST(StateFile, AFailedWriteKeepsTheOldContentWholeAndNoTemporary) {
    struct Case {
        const char* what;
        std::optional<FaultyFileOps::Fault> fault;
        std::string content = "new content";
    };
    const Case cases[] = {
        {"create the temporary", FaultyFileOps::Fault{Op::Open, EACCES, 1}},
        {"write, disk full", FaultyFileOps::Fault{Op::Write, ENOSPC, 1}},
        {"flush the temporary", FaultyFileOps::Fault{Op::Fsync, EIO, 1}},
        {"close the temporary", FaultyFileOps::Fault{Op::Close, EIO, 1}},
        {"rename over the file", FaultyFileOps::Fault{Op::Rename, EACCES, 1}},
        {"content over the limit", std::nullopt, std::string(65, 'x')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        WriteFile(dir / "Tesmaro.runs", "old content");
        FaultyFileOps ops;
        if (c.fault)
            ops.Inject(*c.fault);
        StateFile file(dir / "Tesmaro.runs", ops, 64);
        EXPECT_FALSE(file.Write(c.content));
        EXPECT_EQ(ReadFile(file.Path()), "old content");
        EXPECT_EQ(ListDirectory(dir.Path()), std::vector<std::string>{"Tesmaro.runs"});
    }
}

TEST(StateFile, AFailedDirectoryFlushIsReportedWithTheNewContentInPlace) {
    // The second open, flush and close of a write are the directory's.
    const FaultyFileOps::Fault faults[] = {
        {Op::Fsync, EIO, 2},
        {Op::Open, EACCES, 2},
        {Op::Close, EIO, 2},
    };
    for (const FaultyFileOps::Fault& fault : faults) {
        SCOPED_TRACE(static_cast<int>(fault.op));
        TempDir dir;
        WriteFile(dir / "Tesmaro.runs", "old content");
        FaultyFileOps ops;
        ops.Inject(fault);
        StateFile file(dir / "Tesmaro.runs", ops);
        EXPECT_FALSE(file.Write("new content"));
        EXPECT_EQ(ReadFile(file.Path()), "new content");
        EXPECT_EQ(ListDirectory(dir.Path()), std::vector<std::string>{"Tesmaro.runs"});
    }
}

TEST(StateFile, WhatCannotBeARecordIsLeftInPlaceAndSetAsideOnlyOnRequest) {
    constexpr std::size_t kLimit = 16;
    const std::pair<const char*, std::function<void(const std::string&)>> cases[] = {
        {"a link", [](const std::string& p) { ASSERT_EQ(symlink("target", p.c_str()), 0); }},
        // No writer ever comes: opening it for reading without O_NONBLOCK would hang.
        {"a FIFO", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }},
        {"a directory",
         [](const std::string& p) {
             ASSERT_TRUE(std::filesystem::create_directory(p));
             WriteFile(p + "/inside", "inner");
         }},
        {"a file over the limit",
         [](const std::string& p) { WriteFile(p, std::string(kLimit + 1, 'o')); }},
    };
    for (const auto& [what, plant] : cases) {
        SCOPED_TRACE(what);
        TempDir dir;
        WriteFile(dir / "target", "target bytes");
        StateFile file(dir / "Tesmaro.runs", platform::DefaultFileOps(), kLimit);
        plant(file.Path());
        const std::string before = Describe(file.Path());
        std::string content = "stale";
        EXPECT_EQ(file.Read(content), ReadResult::Unusable);
        EXPECT_EQ(content, "");
        EXPECT_EQ(ListDirectory(dir.Path()), (std::vector<std::string>{"Tesmaro.runs", "target"}));
        EXPECT_EQ(Describe(file.Path()), before);
        // Set aside on request, nothing is lost either.
        ASSERT_TRUE(file.SetAside());
        EXPECT_EQ(ListDirectory(dir.Path()),
                  (std::vector<std::string>{"Tesmaro.runs.damaged", "target"}));
        EXPECT_EQ(Describe(file.Path() + ".damaged"), before);
        EXPECT_EQ(ReadFile(dir / "target"), "target bytes");
        // The name is free for a fresh record.
        ASSERT_TRUE(file.Write("fresh"));
        EXPECT_EQ(file.Read(content), ReadResult::Read);
        EXPECT_EQ(content, "fresh");
    }
}
TEST(StateFile, AFileThatCannotBeReadFailsAndStaysWhereItIs) {
    const std::pair<FaultyFileOps::Fault, ReadResult> cases[] = {
        {{Op::Lstat, EACCES, 1}, ReadResult::Failed},
        {{Op::Open, EACCES, 1}, ReadResult::Failed},
        {{Op::Fstat, EIO, 1}, ReadResult::Failed},
        {{Op::Read, EIO, 1}, ReadResult::Failed},
        {{Op::Read, EIO, 2}, ReadResult::Failed},
        // A link that took the file's place after the look at it.
        {{Op::Open, ELOOP, 1}, ReadResult::Unusable},
    };
    for (const auto& [fault, expected] : cases) {
        SCOPED_TRACE(static_cast<int>(fault.op));
        TempDir dir;
        WriteFile(dir / "Tesmaro.runs", std::string(40'000, 'r')); // more than one read
        FaultyFileOps ops;
        ops.Inject(fault);
        StateFile file(dir / "Tesmaro.runs", ops);
        std::string content = "stale";
        EXPECT_EQ(file.Read(content), expected);
        EXPECT_EQ(content, "");
        EXPECT_EQ(ListDirectory(dir.Path()), std::vector<std::string>{"Tesmaro.runs"});
    }
}

TEST(StateFile, EachSetAsideTakesTheNextFreeName) {
    TempDir dir;
    StateFile file(dir / "Tesmaro.runs");
    EXPECT_FALSE(file.SetAside()); // nothing there
    for (const char* content : {"first", "second", "third"}) {
        WriteFile(file.Path(), content);
        EXPECT_TRUE(file.SetAside());
    }
    EXPECT_FALSE(Exists(file.Path()));
    EXPECT_EQ(ReadFile(file.Path() + ".damaged"), "first");
    EXPECT_EQ(ReadFile(file.Path() + ".damaged.1"), "second");
    EXPECT_EQ(ReadFile(file.Path() + ".damaged.2"), "third");
}

TEST(StateFile, SetAsideThatCannotRenameKeepsTheFile) {
    TempDir dir;
    ASSERT_TRUE(std::filesystem::create_directory(dir / "Tesmaro.runs"));
    FaultyFileOps ops;
    ops.Inject({Op::Rename, EACCES, 0});
    StateFile file(dir / "Tesmaro.runs", ops);
    std::string content;
    EXPECT_EQ(file.Read(content), ReadResult::Unusable);
    EXPECT_FALSE(file.SetAside());
    EXPECT_TRUE(std::filesystem::is_directory(file.Path()));
}

TEST(StateFile, RemoveTemporariesTakesOnlyRegularFilesNamedLikeItsTemporaries) {
    enum class Kind { File, Link, Directory, KilledWrite };
    struct Case {
        const char* what;
        std::string stateName;
        std::string entry; // none for a killed write: it makes its own
        Kind kind;
        bool removed;
        std::optional<FaultyFileOps::Fault> fault = std::nullopt;
    };
    const std::string runs = "Tesmaro.runs";
    const std::string longName(NAME_MAX, 'r');
    const std::string other = ".tmp-999999999-3"; // no process of ours
    const std::string longCut = longName.substr(0, NAME_MAX - other.size());
    const Case cases[] = {
        {"a killed write's", runs, "", Kind::KilledWrite, true},
        {"a killed write's, the name cut short", longName, "", Kind::KilledWrite, true},
        {"another process's", runs, runs + other, Kind::File, true},
        {"another process's, the name cut short", longName, longCut + other, Kind::File, true},
        {"cut shorter than a write cuts", longName, longCut.substr(1) + other, Kind::File, false},
        {"a link", runs, runs + other, Kind::Link, false},
        {"a directory", runs, runs + other, Kind::Directory, false},
        {"a count that is no number", runs, runs + ".tmp-999999999-x", Kind::File, false},
        {"no count", runs, runs + ".tmp-999999999", Kind::File, false},
        {"another state file's", runs, "Other.runs" + other, Kind::File, false},
        {"one that cannot be removed", runs, runs + other, Kind::File, false,
         FaultyFileOps::Fault{Op::Unlink, EACCES, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        WriteFile(dir / "target", "target bytes");
        WriteFile(dir / c.stateName, "record");
        switch (c.kind) {
        case Kind::File:
            WriteFile(dir / c.entry, "bytes");
            break;
        case Kind::Link:
            ASSERT_EQ(symlink("target", (dir / c.entry).c_str()), 0);
            break;
        case Kind::Directory:
            ASSERT_TRUE(std::filesystem::create_directory(dir / c.entry));
            break;
        case Kind::KilledWrite: {
            // The temporary is neither renamed nor removed, as when killed.
            FaultyFileOps killed;
            killed.Inject({Op::Rename, EACCES, 1});
            killed.Inject({Op::Unlink, EACCES, 1});
            EXPECT_FALSE(StateFile(dir / c.stateName, killed).Write("new"));
            break;
        }
        }
        const std::vector<std::string> before = ListDirectory(dir.Path());
        ASSERT_EQ(before.size(), 3u);
        FaultyFileOps ops;
        if (c.fault)
            ops.Inject(*c.fault);
        EXPECT_EQ(StateFile(dir / c.stateName, ops).RemoveTemporaries(), c.removed ? 1 : 0);
        std::vector<std::string> after = {c.stateName, "target"};
        std::sort(after.begin(), after.end());
        EXPECT_EQ(ListDirectory(dir.Path()), c.removed ? after : before);
        EXPECT_EQ(ReadFile(dir / c.stateName), "record");
        EXPECT_EQ(ReadFile(dir / "target"), "target bytes");
    }
}

TEST(StateFile, MakeParentDirectoriesCreatesEachMissingLevelPrivate) {
    TempDir dir;
    const mode_t oldMask = umask(022);
    StateFile file(dir / "state/Orbinel//deep/Tesmaro.runs");
    EXPECT_TRUE(file.MakeParentDirectories());
    EXPECT_TRUE(file.MakeParentDirectories()); // all there already
    umask(oldMask);
    for (const char* level : {"state", "state/Orbinel", "state/Orbinel/deep"}) {
        SCOPED_TRACE(level);
        struct stat st {};
        ASSERT_EQ(lstat((dir / level).c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0700u);
    }
    EXPECT_TRUE(file.Write("record"));

    // A file where a directory should be.
    WriteFile(dir / "plain", "x");
    EXPECT_FALSE(StateFile(dir / "plain/Tesmaro.runs").MakeParentDirectories());
    EXPECT_FALSE(StateFile(dir / "plain/more/Tesmaro.runs").MakeParentDirectories());
    EXPECT_EQ(ReadFile(dir / "plain"), "x");
}

TEST(RunRecordPath, FollowsTheStateHomeWhenAbsoluteElseTheHomeDirectory) {
    std::string passwdHome;
    if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir[0] == '/')
        passwdHome = pw->pw_dir;
    const std::string fromPasswd =
        passwdHome.empty() ? "" : passwdHome + "/.local/state/Orbinel/Tesmaro.runs";
    struct Case {
        const char* stateHome;
        const char* home;
        std::string expected;
    };
    const Case cases[] = {
        {"/x/state", "/home/u", "/x/state/Orbinel/Tesmaro.runs"},
        {"/x/state/", "/home/u", "/x/state/Orbinel/Tesmaro.runs"},
        {"relative/state", "/home/u", "/home/u/.local/state/Orbinel/Tesmaro.runs"},
        {"", "/home/u", "/home/u/.local/state/Orbinel/Tesmaro.runs"},
        {nullptr, "/home/u", "/home/u/.local/state/Orbinel/Tesmaro.runs"},
        {nullptr, "relative/home", fromPasswd},
        {nullptr, nullptr, fromPasswd},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.stateHome ? c.stateHome : "(unset)") + " " +
                     (c.home ? c.home : "(unset)"));
        ScopedEnv stateHome("XDG_STATE_HOME", c.stateHome);
        ScopedEnv home("HOME", c.home);
        EXPECT_EQ(RunRecordPath("Tesmaro"), c.expected);
    }
}
