#include "WatcherTestSupport.h"
#include "support/TempDir.h"
#include "watcher/CDirectoryWatcher.h"
#include "watcher/SubtreeWatches.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

using testsupport::TempDir;
using watcher::CDirectoryWatcher;
using namespace watchertest;

namespace {

class SubtreeWatchingTest : public ::testing::Test, protected WatchedDirectory {
protected:
    void StartSubtree(std::uint32_t filter) { ASSERT_TRUE(Start(filter, true)); }
    bool WaitUntilWatched(const std::string& path) {
        return WaitUntil([&] { return WatchCount(path) == 1; });
    }
};

} // namespace

TEST_F(SubtreeWatchingTest, SubdirectoriesPresentAtStartAreWatched) {
    MakeDirectory(dir / "a");
    MakeDirectory(dir / "a/b");
    MakeDirectory(dir / "a/b/c");
    StartSubtree(CDirectoryWatcher::kFileName);
    MakeDirectory(dir / ".tesmaro");
    for (const char* sub : {"a", "a/b", "a/b/c"})
        EXPECT_TRUE(WaitUntilWatched(dir / sub)) << sub;
    // Tesmaro's own folder changes at every step of a batch: never watched.
    EXPECT_EQ(WatchCount(dir / ".tesmaro"), 0);
    CreateFile(dir / "a/b/c/deep.olb");
    EXPECT_TRUE(poster.WaitForPosts(1));
}

TEST_F(SubtreeWatchingTest, SubdirectoriesCreatedWhileRunningAreWatched) {
    // Only writes count: directories that appear are watched all the same.
    StartSubtree(CDirectoryWatcher::kSize);
    MakeDirectory(dir / "new");
    MakeDirectory(dir / "new/deeper");
    ASSERT_TRUE(WaitUntilWatched(dir / "new/deeper"));
    EXPECT_TRUE(WaitUntilWatched(dir / "new"));
    CreateFile(dir / "new/deeper/b.olb");
    AppendTo(dir / "new/deeper/b.olb", "x");
    EXPECT_TRUE(poster.WaitForPosts(1));
}

TEST_F(SubtreeWatchingTest, SubdirectoryRenamedInsideIsFollowedUnderItsNewName) {
    MakeDirectory(dir / "old");
    StartSubtree(CDirectoryWatcher::kSize);
    ASSERT_TRUE(WaitUntilWatched(dir / "old"));
    Rename(dir / "old", dir / "renamed");
    MakeDirectory(dir / "renamed/inner");
    EXPECT_TRUE(WaitUntilWatched(dir / "renamed/inner"));
}

TEST_F(SubtreeWatchingTest, SubdirectoryMovedOutIsNoLongerWatched) {
    TempDir outside;
    MakeDirectory(dir / "sub");
    CreateFile(dir / "sub/b.olb");
    StartSubtree(CDirectoryWatcher::kSize);
    ASSERT_TRUE(WaitUntilWatched(dir / "sub"));
    Rename(dir / "sub", outside / "sub");
    ASSERT_TRUE(WaitUntil([&] { return WatchCount(outside / "sub") == 0; }));
    AppendTo(outside / "sub/b.olb", "x");
    watcher.Stop();
    EXPECT_EQ(poster.Count(), 0u);
}

TEST_F(SubtreeWatchingTest, SymbolicLinksBelowAreNotFollowed) {
    TempDir outside;
    CreateFile(outside / "b.olb");
    ASSERT_EQ(symlink(outside.Path().c_str(), (dir / "link").c_str()), 0);
    MakeDirectory(dir / "real");
    StartSubtree(CDirectoryWatcher::kSize);
    ASSERT_TRUE(WaitUntilWatched(dir / "real"));
    EXPECT_EQ(WatchCount(outside.Path()), 0);
    AppendTo(outside / "b.olb", "x");
    watcher.Stop();
    EXPECT_EQ(poster.Count(), 0u);
}

TEST_F(SubtreeWatchingTest, WatchedDirectoryGivenThroughALinkIsWatched) {
    TempDir links;
    const std::string link = links / "queue";
    ASSERT_EQ(symlink(dir.Path().c_str(), link.c_str()), 0);
    watcher.SetDirectory(link.c_str(), CDirectoryWatcher::kFileName, false);
    ASSERT_TRUE(watcher.Start());
    ASSERT_TRUE(WaitUntilWatched(dir.Path()));
    CreateFile(dir / "b.olb");
    EXPECT_TRUE(poster.WaitForPosts(1));
}

TEST_F(SubtreeWatchingTest, NumberOfWatchedSubdirectoriesIsCapped) {
    const std::size_t cap = watcher::SubtreeWatches::kMaxSubdirectories;
    for (std::size_t i = 0; i < cap + 10; ++i)
        MakeDirectory(dir / ("d" + std::to_string(i)));
    StartSubtree(CDirectoryWatcher::kFileName);
    EXPECT_TRUE(WaitUntil([&] { return TotalWatchCount() == static_cast<int>(cap) + 1; }));
    // A new directory does not push past the cap either.
    MakeDirectory(dir / "one-more");
    CreateFile(dir / "b.olb");
    ASSERT_TRUE(poster.WaitForPosts(1));
    watcher.Stop();
    EXPECT_EQ(TotalWatchCount(), 0);
}
