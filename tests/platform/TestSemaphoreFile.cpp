#include "platform/SemaphoreFile.h"
#include "support/FaultyFileOps.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

using namespace platform;
using testsupport::Exists;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

TEST(SemaphoreFile, CreatesAnEmptyFileAndNeverTouchesAnExistingOne) {
    TempDir dir;
    FileOps& ops = DefaultFileOps();
    EXPECT_TRUE(CreateSemaphoreFile(ops, dir / "status.sem"));
    EXPECT_TRUE(Exists(dir / "status.sem"));
    EXPECT_EQ(ReadFile(dir / "status.sem"), "");

    WriteFile(dir / "kept.sem", "content");
    EXPECT_TRUE(CreateSemaphoreFile(ops, dir / "kept.sem"));
    EXPECT_EQ(ReadFile(dir / "kept.sem"), "content");
}

TEST(SemaphoreFile, NeverFollowsALinkNorOpensAFifo) {
    TempDir dir;
    FileOps& ops = DefaultFileOps();
    ASSERT_EQ(symlink((dir / "target").c_str(), (dir / "dangling.sem").c_str()), 0);
    CreateSemaphoreFile(ops, dir / "dangling.sem");
    EXPECT_FALSE(Exists(dir / "target"));
    ASSERT_EQ(mkfifo((dir / "fifo.sem").c_str(), 0600), 0);
    testsupport::FaultyFileOps logged;
    EXPECT_TRUE(CreateSemaphoreFile(logged, dir / "fifo.sem")); // returns at once
    struct stat st {};
    ASSERT_EQ(lstat((dir / "fifo.sem").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST(SemaphoreFile, DeleteRemovesALinkNotItsTargetAndAcceptsAbsence) {
    TempDir dir;
    FileOps& ops = DefaultFileOps();
    WriteFile(dir / "target", "keep");
    ASSERT_EQ(symlink((dir / "target").c_str(), (dir / "link.sem").c_str()), 0);
    EXPECT_TRUE(DeleteSemaphoreFile(ops, dir / "link.sem"));
    EXPECT_FALSE(Exists(dir / "link.sem"));
    EXPECT_EQ(ReadFile(dir / "target"), "keep");
    EXPECT_TRUE(DeleteSemaphoreFile(ops, dir / "missing.sem"));
    std::filesystem::create_directory(dir / "dir.sem");
    EXPECT_FALSE(DeleteSemaphoreFile(ops, dir / "dir.sem"));
}

TEST(MakeDirectory, CreatesOneLevelOnly) {
    TempDir dir;
    FileOps& ops = DefaultFileOps();
    EXPECT_TRUE(MakeDirectory(ops, dir / "Processed"));
    EXPECT_FALSE(MakeDirectory(ops, dir / "Processed")); // exists
    EXPECT_FALSE(MakeDirectory(ops, dir / "a/b"));
    EXPECT_FALSE(Exists(dir / "a"));
}
