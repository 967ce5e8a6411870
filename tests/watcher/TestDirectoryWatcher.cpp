#include "WatcherTestSupport.h"
#include "support/FileModesBind.h"
#include "support/TempDir.h"
#include "watcher/CDirectoryWatcher.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace platform {
// Names in failure messages, not bytes.
static void PrintTo(WriterView::Writing writing, std::ostream* out) {
    *out << (writing == WriterView::Writing::Yes  ? "Yes"
             : writing == WriterView::Writing::No ? "No"
                                                  : "Unknown");
}
} // namespace platform

using testsupport::TempDir;
using watcher::CDirectoryWatcher;
using Writing = platform::WriterView::Writing;
using namespace watchertest;

namespace {

constexpr std::uint32_t kSystemFilter = WatchedDirectory::kSystemFilter;

std::uint32_t RegisteredId() {
    return platform::RegisterWindowMessage(CDirectoryWatcher::kMessageName);
}

class DirectoryWatcherTest : public ::testing::Test, protected WatchedDirectory {
protected:
    void StartWatching(std::uint32_t filter = kSystemFilter) { ASSERT_TRUE(Start(filter)); }
};

// Lowers the limit of open descriptors to what is open now, so that the next
// descriptor cannot be created; restores the limit when it goes away.
class NoMoreDescriptors {
public:
    NoMoreDescriptors() {
        getrlimit(RLIMIT_NOFILE, &m_saved);
        const int lowestFree = open("/dev/null", O_RDONLY | O_CLOEXEC);
        close(lowestFree);
        rlimit lowered = m_saved;
        lowered.rlim_cur = static_cast<rlim_t>(lowestFree);
        setrlimit(RLIMIT_NOFILE, &lowered);
    }
    ~NoMoreDescriptors() { setrlimit(RLIMIT_NOFILE, &m_saved); }
    NoMoreDescriptors(const NoMoreDescriptors&) = delete;
    NoMoreDescriptors& operator=(const NoMoreDescriptors&) = delete;

private:
    rlimit m_saved{};
};

// A file held open for writing, as a writer that has not finished holds it.
class OpenForWriting {
public:
    explicit OpenForWriting(const std::string& path)
        : m_fd(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600)) {
        EXPECT_GE(m_fd, 0) << path;
    }
    ~OpenForWriting() { Close(); }
    OpenForWriting(const OpenForWriting&) = delete;
    OpenForWriting& operator=(const OpenForWriting&) = delete;
    void Write(const std::string& text) {
        EXPECT_EQ(write(m_fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void Close() {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

} // namespace

TEST_F(DirectoryWatcherTest, NewWatcherIsNotRunningAndWatchesNothing) {
    EXPECT_FALSE(watcher.IsRunning());
    watcher.SetDirectory(dir.Path().c_str(), kSystemFilter, false);
    EXPECT_FALSE(watcher.IsRunning());
    EXPECT_EQ(WatchCount(dir.Path()), 0);
    EXPECT_EQ(watcher.GetMessageId(), RegisteredId());
    EXPECT_GE(RegisteredId(), 0xC000u);
}

TEST_F(DirectoryWatcherTest, EachKindOfChangePostsTheRegisteredMessage) {
    struct Case {
        const char* what;
        std::uint32_t filter;
        std::function<void(const TempDir&)> change;
    };
    const Case cases[] = {
        {"create, system filter", kSystemFilter, [](auto& d) { CreateFile(d / "new.olb"); }},
        {"create", CDirectoryWatcher::kFileName, [](auto& d) { CreateFile(d / "new.olb"); }},
        {"delete", CDirectoryWatcher::kFileName, [](auto& d) { Remove(d / "old.olb"); }},
        {"rename", CDirectoryWatcher::kFileName,
         [](auto& d) { Rename(d / "old.olb", d / "renamed.olb"); }},
        {"move out", CDirectoryWatcher::kFileName,
         [](auto& d) {
             Rename(d / "old.olb", d.Path() + "/../moved-" + std::to_string(getpid()));
         }},
        {"write, size", CDirectoryWatcher::kSize, [](auto& d) { AppendTo(d / "old.olb", "x"); }},
        {"write, last write", CDirectoryWatcher::kLastWrite,
         [](auto& d) { AppendTo(d / "old.olb", "x"); }},
        {"touch, last write", CDirectoryWatcher::kLastWrite,
         [](auto& d) { testsupport::SetWriteTime(d / "old.olb", 1'600'000'000); }},
        {"subdirectory created", kSystemFilter, [](auto& d) { MakeDirectory(d / "sub"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WatchedDirectory w;
        CreateFile(w.dir / "old.olb");
        ASSERT_TRUE(w.Start(c.filter));
        c.change(w.dir);
        ASSERT_TRUE(w.poster.WaitForPosts(1));
        const auto post = w.poster.Posts().front();
        EXPECT_EQ(post.id, RegisteredId());
        EXPECT_EQ(post.wParam, 0u);
        EXPECT_EQ(post.lParam, 0);
        EXPECT_TRUE(w.watcher.IsRunning());
        std::remove((w.dir.Path() + "/../moved-" + std::to_string(getpid())).c_str());
    }
}

// Stop serves a change that is already pending before it ends the worker, so
// after Stop every change made before it has been reported: no post means the
// change did not count.
TEST_F(DirectoryWatcherTest, ChangesOutsideTheFilterPostNothing) {
    struct Case {
        const char* what;
        std::uint32_t filter;
        std::function<void(const TempDir&)> change;
    };
    const Case cases[] = {
        {"empty file created, size only", CDirectoryWatcher::kSize,
         [](auto& d) { CreateFile(d / "new.olb"); }},
        {"file written, names only", CDirectoryWatcher::kFileName,
         [](auto& d) { AppendTo(d / "old.olb", "x"); }},
        {"file renamed, size and last write",
         CDirectoryWatcher::kSize | CDirectoryWatcher::kLastWrite,
         [](auto& d) { Rename(d / "old.olb", d / "renamed.olb"); }},
        {"file read", kSystemFilter, [](auto& d) { testsupport::ReadFile(d / "old.olb"); }},
        {"file created in a subdirectory, no subtree", kSystemFilter,
         [](auto& d) { CreateFile(d / "sub/new.olb"); }},
        {"the directory's own mode changed", kSystemFilter,
         [](auto& d) { ASSERT_EQ(chmod(d.Path().c_str(), 0750), 0); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WatchedDirectory w;
        CreateFile(w.dir / "old.olb");
        MakeDirectory(w.dir / "sub");
        ASSERT_TRUE(w.Start(c.filter));
        c.change(w.dir);
        w.watcher.Stop();
        EXPECT_EQ(w.poster.Count(), 0u);
    }
}

// The worker is held inside its first post while a second change and the stop
// become pending together. The change is still reported, once, and then the
// stop wins, although every post makes yet another change.
TEST_F(DirectoryWatcherTest, ChangePendingWithStopIsPostedOnceThenTheWorkerEnds) {
    int made = 0;
    HoldingPoster holding([&] { CreateFile(dir / ("made" + std::to_string(++made))); });
    watcher.SetWindow(&holding);
    StartWatching(CDirectoryWatcher::kFileName); // a creation is then one event
    CreateFile(dir / "a.olb");
    ASSERT_TRUE(holding.WaitUntilHeld());
    CreateFile(dir / "b.olb");
    std::thread stopper([&] { watcher.Stop(); });
    ASSERT_TRUE(WaitUntil(StopEventSignalled));
    holding.Release();
    stopper.join();
    EXPECT_EQ(holding.Count(), 2u);
    EXPECT_FALSE(watcher.IsRunning());
}

TEST_F(DirectoryWatcherTest, DirectoryThatCannotBeWatchedEndsTheWorkerAtOnce) {
    struct Case {
        const char* what;
        std::string path;
        std::uint32_t filter;
    };
    std::vector<Case> cases = {
        {"absent", dir / "absent", kSystemFilter},
        {"a file", dir / "file", kSystemFilter},
        {"empty path", "", kSystemFilter},
        {"no kind of change asked for", dir.Path(), 0},
        {"only kinds without a counterpart", dir.Path(), 0x2 | 0x4},
    };
    CreateFile(dir / "file");
    MakeDirectory(dir / "locked");
    ASSERT_EQ(chmod((dir / "locked").c_str(), 0), 0);
    testsupport::FileModesBind modesBind;
    if (testsupport::ModesBindHere(dir.Path().c_str()))
        cases.push_back({"not accessible", dir / "locked", kSystemFilter});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingPoster target;
        CDirectoryWatcher w(&target);
        w.SetDirectory(c.path.c_str(), c.filter, false);
        EXPECT_TRUE(w.Start());
        EXPECT_TRUE(WaitUntil([&] { return !w.IsRunning(); }));
        CreateFile(dir / "after");
        AppendTo(dir / "file", "x");
        w.Stop();
        Remove(dir / "after");
        EXPECT_EQ(target.Count(), 0u);
        EXPECT_EQ(WatchCount(dir.Path()), 0);
    }
}

TEST_F(DirectoryWatcherTest, WatchedDirectoryRemovedOrMovedAwayEndsTheWorker) {
    struct Case {
        const char* what;
        std::function<void(const std::string&)> removal;
    };
    const Case cases[] = {
        {"removed", [](const std::string& p) { Remove(p); }},
        {"moved away", [](const std::string& p) { Rename(p, p + "-moved"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WatchedDirectory w;
        ASSERT_TRUE(w.Start());
        c.removal(w.dir.Path());
        EXPECT_TRUE(WaitUntil([&] { return !w.watcher.IsRunning(); }));
        EXPECT_EQ(InotifyDescriptorCount(), 0);
        std::remove((w.dir.Path() + "-moved").c_str());
    }
}

TEST_F(DirectoryWatcherTest, SetDirectoryWithoutDirectoryChangesNothing) {
    // Stopped: the stored values stay.
    watcher.SetDirectory(dir.Path().c_str(), kSystemFilter, false);
    watcher.SetDirectory(nullptr, 0, true);
    EXPECT_FALSE(watcher.IsRunning());
    ASSERT_TRUE(watcher.Start());
    ASSERT_TRUE(WaitUntil([&] { return WatchCount(dir.Path()) == 1; }));
    // Running: the worker and its watch stay.
    watcher.SetDirectory(nullptr, 0, true);
    EXPECT_TRUE(watcher.IsRunning());
    EXPECT_EQ(WatchCount(dir.Path()), 1);
    CreateFile(dir / "b.olb");
    EXPECT_TRUE(poster.WaitForPosts(1));
}

TEST_F(DirectoryWatcherTest, SetDirectoryOnRunningWatcherMovesTheWorker) {
    TempDir other;
    StartWatching(CDirectoryWatcher::kFileName);
    watcher.SetDirectory(other.Path().c_str(), CDirectoryWatcher::kFileName, false);
    // The old worker, and with it its watch, is gone by the time SetDirectory returns.
    EXPECT_EQ(WatchCount(dir.Path()), 0);
    EXPECT_TRUE(watcher.IsRunning());
    ASSERT_TRUE(WaitUntil([&] { return WatchCount(other.Path()) == 1; }));
    EXPECT_EQ(InotifyDescriptorCount(), 1);
    CreateFile(dir / "ignored.olb");
    CreateFile(other / "seen.olb");
    ASSERT_TRUE(poster.WaitForPosts(1));
    watcher.Stop();
    // Both changes were pending at Stop, but only the new directory is watched.
    EXPECT_EQ(poster.Count(), 1u);
}

TEST_F(DirectoryWatcherTest, SetDirectoryOnStoppedOrEndedWatcherStartsNothing) {
    TempDir other;
    // Stopped.
    watcher.SetDirectory(other.Path().c_str(), kSystemFilter, false);
    EXPECT_FALSE(watcher.IsRunning());
    // Ended by itself.
    watcher.SetDirectory((dir / "absent").c_str(), kSystemFilter, false);
    ASSERT_TRUE(watcher.Start());
    ASSERT_TRUE(WaitUntil([&] { return !watcher.IsRunning(); }));
    watcher.SetDirectory(other.Path().c_str(), kSystemFilter, false);
    EXPECT_FALSE(watcher.IsRunning());
    EXPECT_EQ(InotifyDescriptorCount(), 0);
    // Only Start brings the worker back.
    ASSERT_TRUE(watcher.Start());
    EXPECT_TRUE(WaitUntil([&] { return WatchCount(other.Path()) == 1; }));
}

TEST_F(DirectoryWatcherTest, StartOnRunningWatcherReplacesTheWorker) {
    StartWatching();
    EXPECT_TRUE(watcher.Start());
    EXPECT_TRUE(watcher.IsRunning());
    ASSERT_TRUE(WaitUntil([&] { return WatchCount(dir.Path()) == 1; }));
    EXPECT_EQ(InotifyDescriptorCount(), 1); // one worker, not two
    CreateFile(dir / "b.olb");
    EXPECT_TRUE(poster.WaitForPosts(1));
}

TEST_F(DirectoryWatcherTest, StopIsHarmlessWhenRepeatedOrWithoutWorker) {
    watcher.Stop();
    watcher.Enable(false);
    EXPECT_FALSE(watcher.IsRunning());
    StartWatching();
    watcher.Enable(false);
    EXPECT_FALSE(watcher.IsRunning());
    watcher.Stop();
    watcher.Stop();
    EXPECT_FALSE(watcher.IsRunning());
    EXPECT_EQ(InotifyDescriptorCount(), 0);
    watcher.Enable(true);
    EXPECT_TRUE(watcher.IsRunning());
}

TEST_F(DirectoryWatcherTest, DestroyingRunningWatcherWaitsForItsWorker) {
    auto target = std::make_unique<RecordingPoster>();
    auto w = std::make_unique<CDirectoryWatcher>(target.get());
    w->SetDirectory(dir.Path().c_str(), CDirectoryWatcher::kFileName, false);
    ASSERT_TRUE(w->Start());
    ASSERT_TRUE(WaitUntil([&] { return WatchCount(dir.Path()) == 1; }));
    CreateFile(dir / "b.olb");
    w.reset();
    // The worker has served the pending change and closed its descriptor; the
    // target can go now without a post arriving at a dead object.
    EXPECT_EQ(target->Count(), 1u);
    EXPECT_EQ(InotifyDescriptorCount(), 0);
    target.reset();
    CreateFile(dir / "c.olb");
}

TEST_F(DirectoryWatcherTest, SetWindowRedirectsTheRunningWorker) {
    RecordingPoster other;
    StartWatching(CDirectoryWatcher::kFileName);
    watcher.SetWindow(&other);
    EXPECT_TRUE(watcher.IsRunning());
    ASSERT_TRUE(WaitUntil([&] { return WatchCount(dir.Path()) == 1; }));
    CreateFile(dir / "b.olb");
    ASSERT_TRUE(other.WaitForPosts(1));
    watcher.Stop();
    EXPECT_EQ(poster.Count(), 0u);

    // Without a target the worker runs and posts nothing.
    watcher.SetWindow(nullptr);
    EXPECT_FALSE(watcher.IsRunning());
    StartWatching(CDirectoryWatcher::kFileName);
    CreateFile(dir / "c.olb");
    watcher.Stop();
    EXPECT_EQ(poster.Count(), 0u);
    EXPECT_EQ(other.Count(), 1u);
}

TEST_F(DirectoryWatcherTest, DescriptorsAreClosedOnExec) {
    StartWatching();
    const auto inotify = DescriptorsOfKind("inotify");
    const auto events = DescriptorsOfKind("eventfd");
    ASSERT_EQ(inotify.size(), 1u);
    ASSERT_FALSE(events.empty());
    for (const int fd : inotify)
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << fd;
    for (const int fd : events)
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << fd;
}

TEST_F(DirectoryWatcherTest, WithoutStopEventNoWorkerStarts) {
    std::unique_ptr<CDirectoryWatcher> w;
    {
        NoMoreDescriptors limit;
        w = std::make_unique<CDirectoryWatcher>(&poster);
    }
    w->SetDirectory(dir.Path().c_str(), kSystemFilter, false);
    EXPECT_FALSE(w->Start());
    EXPECT_FALSE(w->IsRunning());
    w.reset();
}

TEST_F(DirectoryWatcherTest, BurstOfFilesYieldsFewerMessagesThanChanges) {
    constexpr int kFiles = 1000;
    StartWatching(CDirectoryWatcher::kFileName);
    for (int i = 0; i < kFiles; ++i)
        CreateFile(dir / ("b" + std::to_string(i) + ".olb"));
    watcher.Stop();
    EXPECT_FALSE(watcher.IsRunning());
    EXPECT_GE(poster.Count(), 1u);
    EXPECT_LE(poster.Count(), static_cast<std::size_t>(kFiles));
}

// Whatever the filter asks for, the worker follows who writes the directory's files.
TEST_F(DirectoryWatcherTest, WriterIsSeenFromItsFirstWriteUntilItCloses) {
    for (const std::uint32_t filter : {kSystemFilter, CDirectoryWatcher::kFileName,
                                       CDirectoryWatcher::kSize, CDirectoryWatcher::kLastWrite}) {
        SCOPED_TRACE(filter);
        WatchedDirectory w;
        const platform::WriterView& writers = w.watcher.Writers();
        const std::string& path = w.dir.Path();
        const auto state = [&](const char* name) { return writers.BeingWritten(path, name); };
        ASSERT_TRUE(w.Start(filter));
        ASSERT_TRUE(WaitUntil([&] { return writers.Watching(path); }));
        OpenForWriting file(w.dir / "b.olb");
        EXPECT_EQ(state("b.olb"), Writing::No);
        file.Write("Sample list\n");
        EXPECT_TRUE(WaitUntil([&] { return state("b.olb") == Writing::Yes; }));
        Rename(w.dir / "b.olb", w.dir / "c.olb");
        EXPECT_TRUE(WaitUntil([&] { return state("c.olb") == Writing::Yes; }));
        EXPECT_EQ(state("b.olb"), Writing::No);
        file.Close();
        EXPECT_TRUE(WaitUntil([&] { return state("c.olb") == Writing::No; }));
    }
}

TEST_F(DirectoryWatcherTest, WritersAreUnknownUnlessTheDirectoryIsWatched) {
    TempDir other;
    const platform::WriterView& writers = watcher.Writers();
    const std::string& path = dir.Path();
    const auto state = [&](const std::string& in, const char* name) {
        return writers.BeingWritten(in, name);
    };
    EXPECT_FALSE(writers.Watching(path));
    EXPECT_EQ(state(path, "b.olb"), Writing::Unknown);

    StartWatching();
    ASSERT_TRUE(WaitUntil([&] { return writers.Watching(path); }));
    OpenForWriting file(dir / "b.olb");
    file.Write("x");
    ASSERT_TRUE(WaitUntil([&] { return state(path, "b.olb") == Writing::Yes; }));
    // Another spelling, another directory, or not an entry of this one: nothing known.
    for (const std::string& in : {path + "/", other.Path()}) {
        EXPECT_FALSE(writers.Watching(in)) << in;
        EXPECT_EQ(state(in, "b.olb"), Writing::Unknown) << in;
    }
    EXPECT_EQ(state(path, "sub/b.olb"), Writing::Unknown);

    // Stopped: nothing known; started again: marks from before are gone.
    watcher.Stop();
    EXPECT_FALSE(writers.Watching(path));
    EXPECT_EQ(state(path, "b.olb"), Writing::Unknown);
    ASSERT_TRUE(watcher.Start());
    ASSERT_TRUE(WaitUntil([&] { return writers.Watching(path); }));
    EXPECT_EQ(state(path, "b.olb"), Writing::No);

    // Aimed elsewhere: the old directory is no longer known.
    watcher.SetDirectory(other.Path().c_str(), kSystemFilter, false);
    EXPECT_EQ(state(path, "b.olb"), Writing::Unknown);
    ASSERT_TRUE(WaitUntil([&] { return writers.Watching(other.Path()); }));

    // Ended by itself, with its directory.
    ASSERT_EQ(rmdir(other.Path().c_str()), 0);
    EXPECT_TRUE(WaitUntil([&] { return !watcher.IsRunning(); }));
    EXPECT_FALSE(writers.Watching(other.Path()));
    EXPECT_EQ(state(other.Path(), "b.olb"), Writing::Unknown);
    ASSERT_EQ(mkdir(other.Path().c_str(), 0700), 0); // for TempDir to remove
}
