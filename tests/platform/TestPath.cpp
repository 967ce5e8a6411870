#include "platform/ExecutablePath.h"
#include "platform/Path.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using platform::AbsolutePath;
using platform::MakePath;
using platform::SplitPath;

TEST(Path, MakePathJoinsWithOneSeparator) {
    struct Case {
        const char *dir, *name, *ext, *expected;
    };
    const Case cases[] = {
        {".", "Processed", "", "./Processed"},
        {"D:/Queue", "Processed", "", "D:/Queue/Processed"},
        {"D:/Queue/", "Processed", "", "D:/Queue/Processed"},
        {"", "Processed", "", "Processed"},
        {"/q", "B", "*", "/q/B.*"},
        {"/q", "B", ".rpt", "/q/B.rpt"},
        {"c:\\q", "B", "rpt", "c:\\q/B.rpt"}, // a backslash is an ordinary character here
    };
    for (const auto& c : cases)
        EXPECT_EQ(MakePath(c.dir, c.name, c.ext), c.expected) << c.dir << " + " << c.name;
}

TEST(Path, SplitPathKeepsTheDirectorysSlash) {
    EXPECT_EQ(SplitPath("/opt/tools/viewer").dir, "/opt/tools/");
    EXPECT_EQ(SplitPath("/opt/tools/viewer").name, "viewer");
    EXPECT_EQ(SplitPath("Telvorn.exe").dir, "");
    EXPECT_EQ(SplitPath("/x").dir, "/");
}

TEST(Path, AbsolutePathNormalisesLexically) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(AbsolutePath("/a/./b//c/../d/"), "/a/b/d");
    EXPECT_EQ(AbsolutePath("/.."), "/");
    EXPECT_EQ(AbsolutePath("."), std::string(cwd));
    EXPECT_EQ(AbsolutePath("sub/x"),
              std::string(cwd) + (std::string(cwd) == "/" ? "" : "/") + "sub/x");
}

TEST(Path, ExecutablePathNamesThisVeryProgram) {
    const std::string self = platform::ExecutablePath();
    ASSERT_FALSE(self.empty());
    EXPECT_EQ(self.front(), '/');
    struct stat named {};
    struct stat running {};
    ASSERT_EQ(stat(self.c_str(), &named), 0) << self;
    ASSERT_EQ(stat("/proc/self/exe", &running), 0);
    EXPECT_EQ(named.st_dev, running.st_dev);
    EXPECT_EQ(named.st_ino, running.st_ino);
}
