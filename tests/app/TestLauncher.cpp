#include "app/launcher/WorkFolder.h"
#include "support/ChildUnderTest.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

using launcher::ChooseHome;
using launcher::WorkFolder;
using testsupport::TempDir;

TEST(LauncherHome, AbsoluteHomeElseTheAccountsElseNone) {
    struct Case {
        const char* home;
        const char* account;
        const char* dir; // empty: refused
    };
    const Case cases[] = {
        {"/home/ana", "/home/other", "/home/ana"},
        {nullptr, "/home/ana", "/home/ana"},
        {"", "/home/ana", "/home/ana"},
        {"relative/home", "/home/ana", ""},
        {".", "/home/ana", ""},
        {nullptr, nullptr, ""},
        {"", "relative", ""},
    };
    for (const Case& c : cases) {
        const launcher::HomeChoice choice = ChooseHome(c.home, c.account);
        EXPECT_EQ(choice.dir, c.dir) << (c.home ? c.home : "(unset)");
        EXPECT_EQ(choice.error.empty(), *c.dir != '\0') << (c.home ? c.home : "(unset)");
    }
}

TEST(LauncherFolder, CreatedOrReusedButNeverALinkAFileOrSomeoneElses) {
    enum class Before { Missing, Folder, File, LinkToFolder, DanglingLink, LinkToHome };
    struct Case {
        Before before;
        bool otherOwner;
        bool opens;
    };
    const Case cases[] = {
        {Before::Missing, false, true},       {Before::Folder, false, true},
        {Before::File, false, false},         {Before::LinkToFolder, false, false},
        {Before::DanglingLink, false, false}, {Before::LinkToHome, false, false},
        {Before::Folder, true, false},
    };
    for (const Case& c : cases) {
        TempDir home;
        const std::string path = home / "Tesmaro";
        mkdir((home / "elsewhere").c_str(), 0755);
        switch (c.before) {
        case Before::Missing:
            break;
        case Before::Folder:
            ASSERT_EQ(mkdir(path.c_str(), 0750), 0);
            break;
        case Before::File:
            testsupport::WriteFile(path, "x");
            break;
        case Before::LinkToFolder:
            ASSERT_EQ(symlink("elsewhere", path.c_str()), 0);
            break;
        case Before::DanglingLink:
            ASSERT_EQ(symlink("nowhere", path.c_str()), 0);
            break;
        case Before::LinkToHome:
            ASSERT_EQ(symlink(".", path.c_str()), 0);
            break;
        }
        const uid_t owner = c.otherOwner ? geteuid() + 1 : geteuid();
        const WorkFolder folder = WorkFolder::Open(home.Path(), "Tesmaro", owner);
        const int row = static_cast<int>(&c - cases);
        EXPECT_EQ(folder.IsOpen(), c.opens) << "row " << row << ": " << folder.Error();
        EXPECT_EQ(folder.Error().empty(), c.opens) << "row " << row;
        EXPECT_EQ(folder.Path(), path) << "row " << row;
        struct stat st {};
        ASSERT_EQ(lstat(path.c_str(), &st), 0) << "row " << row;
        if (c.before == Before::Missing) {
            EXPECT_EQ(st.st_mode & 07777, 0700u);
        }
        if (c.before == Before::Folder) {
            EXPECT_EQ(st.st_mode & 07777, 0750u) << "an existing folder keeps its mode";
        }
        // Nothing is created through a link or in its place.
        EXPECT_FALSE(testsupport::Exists(home / "elsewhere/Tesmaro")) << "row " << row;
    }
}

TEST(LauncherFolder, NoHomeDirectoryIsNotCreated) {
    TempDir dir;
    testsupport::WriteFile(dir / "file", "x");
    for (const std::string& home : {dir / "missing", dir / "file"}) {
        const WorkFolder folder = WorkFolder::Open(home, "Tesmaro", geteuid());
        EXPECT_FALSE(folder.IsOpen()) << home;
        EXPECT_FALSE(folder.Error().empty()) << home;
    }
    EXPECT_FALSE(testsupport::Exists(dir / "missing"));
}

TEST(LauncherFolder, ProgramBesideItself) {
    EXPECT_EQ(launcher::ProgramBeside("/usr/lib/tesmaro/tesmaro-launcher", "Tesmaro"),
              "/usr/lib/tesmaro/Tesmaro");
    EXPECT_EQ(launcher::ProgramBeside("/tesmaro-launcher", "Tesmaro"), "/Tesmaro");
}

// The launcher itself, copied beside a stand-in "Tesmaro" that prints the
// real paths of its arguments: it runs in the folder, with the arguments.
TEST(Launcher, RunsTheProgramBesideItInTheFolderWithItsArguments) {
    struct Case {
        bool relativeHome;
        int exitStatus;
        bool started;
    };
    const Case cases[] = {{false, 0, true}, {true, 78, false}};
    for (const Case& c : cases) {
        TempDir dir;
        namespace fs = std::filesystem;
        fs::copy_file(TESMARO_LAUNCHER, dir / "tesmaro-launcher");
        fs::permissions(dir / "tesmaro-launcher", fs::perms::owner_all);
        ASSERT_EQ(symlink(TESMARO_STAND_IN, (dir / "Tesmaro").c_str()), 0);
        ASSERT_EQ(mkdir((dir / "home").c_str(), 0700), 0);

        testsupport::SpawnRequest request;
        request.argv = {dir / "tesmaro-launcher", ".", "a b"};
        request.environment = {{"HOME", c.relativeHome ? "home" : dir / "home"}};
        request.outputPath = dir / "output";
        request.workingDirectory = dir.Path();
        testsupport::ChildUnderTest child;
        ASSERT_TRUE(child.Start(request));
        EXPECT_EQ(child.WaitForExit(std::chrono::seconds(30)), c.exitStatus);

        const std::string folder = fs::canonical(dir.Path()).string() + "/home/Tesmaro";
        const std::string output = testsupport::ReadFile(dir / "output");
        if (c.started) {
            EXPECT_EQ(output, folder + "\n" + folder + "/a b\n");
        } else {
            EXPECT_NE(output.find("HOME is not an absolute path"), std::string::npos) << output;
        }
        EXPECT_EQ(testsupport::Exists(dir / "home/Tesmaro"), c.started);
    }
}
