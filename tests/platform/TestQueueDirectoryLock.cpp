#include "platform/FileDescriptor.h"
#include "platform/QueueDirectoryLock.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <utility>

using platform::QueueDirectoryLock;
using testsupport::TempDir;
using State = QueueDirectoryLock::State;

namespace {

// A queue directory and a second one beside it.
struct LockScene {
    TempDir root;
    std::string queue = root / "queue";
    std::string other = root / "other";

    LockScene() {
        std::filesystem::create_directory(queue);
        std::filesystem::create_directory(other);
    }
};

std::string ThisHost() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

} // namespace

TEST(QueueDirectoryLock, OneHolderPerDirectoryAndTheNextTakesItOnceReleased) {
    LockScene s;
    QueueDirectoryLock first;
    QueueDirectoryLock second;
    EXPECT_EQ(first.GetState(), State::Unavailable); // nothing held yet
    EXPECT_EQ(first.Hold(s.queue), State::Held);
    EXPECT_EQ(first.Hold(s.queue), State::Held); // every tick
    EXPECT_EQ(second.Hold(s.queue), State::HeldElsewhere);
    EXPECT_EQ(second.Hold(s.queue), State::HeldElsewhere);
    EXPECT_EQ(second.GetState(), State::HeldElsewhere);

    first.Release();
    EXPECT_EQ(first.GetState(), State::Unavailable);
    EXPECT_EQ(second.Hold(s.queue), State::Held);
    EXPECT_EQ(first.Hold(s.queue), State::HeldElsewhere);
}

TEST(QueueDirectoryLock, AnotherPathToTheSameDirectoryIsTheSameLock) {
    LockScene s;
    ASSERT_EQ(symlink(s.queue.c_str(), (s.root / "link").c_str()), 0);
    const std::string paths[] = {s.root / "link", s.root / "other/../queue", s.queue + "/"};
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        QueueDirectoryLock holder;
        ASSERT_EQ(holder.Hold(s.queue), State::Held);
        EXPECT_EQ(holder.Hold(path), State::Held); // no re-aim: still the same lock
        QueueDirectoryLock rival;
        EXPECT_EQ(rival.Hold(path), State::HeldElsewhere);
        EXPECT_EQ(rival.Hold(s.queue), State::HeldElsewhere);
    }
}

TEST(QueueDirectoryLock, ReAimingTakesTheNewDirectoryAndLetsTheOldOneGo) {
    LockScene s;
    QueueDirectoryLock lock;
    QueueDirectoryLock rival;
    ASSERT_EQ(lock.Hold(s.queue), State::Held);
    EXPECT_EQ(lock.Hold(s.other), State::Held);
    EXPECT_EQ(rival.Hold(s.queue), State::Held);
    EXPECT_EQ(rival.Hold(s.other), State::HeldElsewhere); // rival lets the queue go
    EXPECT_EQ(lock.Hold(s.queue), State::Held);

    // A new directory taken elsewhere: the old one goes all the same, and the
    // new one is taken on a later Hold once it is free.
    QueueDirectoryLock third;
    ASSERT_EQ(third.Hold(s.other), State::Held);
    EXPECT_EQ(lock.Hold(s.other), State::HeldElsewhere);
    EXPECT_EQ(rival.Hold(s.queue), State::Held);
    third.Release();
    EXPECT_EQ(lock.Hold(s.other), State::Held);
}

TEST(QueueDirectoryLock, ADirectoryReplacedUnderTheSameNameIsANewLock) {
    LockScene s;
    QueueDirectoryLock lock;
    ASSERT_EQ(lock.Hold(s.queue), State::Held);
    std::filesystem::rename(s.queue, s.root / "moved");
    std::filesystem::create_directory(s.queue);
    EXPECT_EQ(lock.Hold(s.queue), State::Held);
    QueueDirectoryLock rival;
    EXPECT_EQ(rival.Hold(s.root / "moved"), State::Held); // the old one was let go
    EXPECT_EQ(rival.Hold(s.queue), State::HeldElsewhere);
}

TEST(QueueDirectoryLock, WhatCannotBeOpenedAsADirectoryIsUnavailableAndTheOldLockGoes) {
    LockScene s;
    testsupport::WriteFile(s.root / "plain", "x");
    ASSERT_EQ(mkfifo((s.root / "fifo").c_str(), 0600), 0); // must not block
    const std::string paths[] = {s.root / "missing", s.root / "plain", s.root / "fifo"};
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        QueueDirectoryLock fresh;
        EXPECT_EQ(fresh.Hold(path), State::Unavailable);

        QueueDirectoryLock lock;
        ASSERT_EQ(lock.Hold(s.queue), State::Held);
        EXPECT_EQ(lock.Hold(path), State::Unavailable);
        // Aimed elsewhere, it no longer keeps another Tesmaro from the queue.
        QueueDirectoryLock rival;
        EXPECT_EQ(rival.Hold(s.queue), State::Held);
        EXPECT_EQ(lock.Hold(s.queue), State::HeldElsewhere);
    }
}

TEST(QueueDirectoryLock, AnotherProcessHoldsItUntilItEnds) {
    LockScene s;
    int ready[2];
    int go[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(go, O_CLOEXEC), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only system calls from here on: the child of a test runner.
        close(ready[0]);
        close(go[1]);
        QueueDirectoryLock lock;
        const char held = lock.Hold(s.queue) == State::Held ? 'h' : 'n';
        if (write(ready[1], &held, 1) != 1)
            _exit(2);
        char byte;
        while (read(go[0], &byte, 1) < 0 && errno == EINTR) {
        }
        _exit(0); // ends holding the lock: the kernel drops it
    }
    close(ready[1]);
    close(go[0]);
    char held = 0;
    const bool reported = read(ready[0], &held, 1) == 1;
    close(ready[0]);

    QueueDirectoryLock lock;
    const State whileChildRuns = lock.Hold(s.queue);
    close(go[1]); // the child's read returns: it ends
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(reported);
    EXPECT_EQ(held, 'h');
    EXPECT_EQ(whileChildRuns, State::HeldElsewhere);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(lock.Hold(s.queue), State::Held);
}

// What another holder left in the lock file, and what this Tesmaro makes of
// it: a holder on another host is alive while its heartbeat changes and stale
// after a minute without; a lock that is no Tesmaro's is reported as such.
TEST(QueueDirectoryLock, ALockFileOfAnotherHolderIsJudgedByWhatItSaysAndWhetherItBeats) {
    struct Case {
        const char* what;
        std::string text;  // the lock file's content ("" for a link to elsewhere)
        bool beats;        // rewritten before every look
        bool kernelLocked; // another program holds a kernel lock on it
        State first, afterAMinute;
    };
    const std::string otherHost = "tesmaro-lock 1 lab-pc-7 b00t 4242 99 7 ";
    const Case cases[] = {
        {"another host, beating", otherHost, true, false, State::HeldElsewhere,
         State::HeldElsewhere},
        {"another host, silent", otherHost, false, false, State::HeldElsewhere, State::Held},
        {"this host before its last reboot", "tesmaro-lock 1 " + ThisHost() + " b00t 4242 99 7 ",
         false, false, State::Held, State::Held},
        {"not a Tesmaro's lock", "locked by the backup job", false, false, State::HeldByOther,
         State::Held},
        {"not a Tesmaro's lock, held", "locked by the backup job", false, true, State::HeldByOther,
         State::HeldByOther},
        {"a link under the lock's name", "", false, false, State::HeldByOther, State::HeldByOther},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LockScene s;
        std::filesystem::create_directory(s.queue + "/.tesmaro");
        const std::string lockFile = s.queue + "/.tesmaro/lock";
        int beat = 0;
        const auto write = [&] {
            if (c.text.empty())
                return;
            testsupport::WriteFile(lockFile, c.text + std::to_string(beat++) + "\n");
        };
        if (c.text.empty()) {
            ASSERT_EQ(symlink((s.root / "elsewhere").c_str(), lockFile.c_str()), 0);
        }
        write();
        platform::FileDescriptor held(c.kernelLocked ? open(lockFile.c_str(), O_RDONLY | O_CLOEXEC)
                                                     : -1);
        if (c.kernelLocked) {
            ASSERT_EQ(flock(held.Get(), LOCK_EX), 0);
        }
        std::int64_t now = 1000;
        QueueDirectoryLock lock(platform::DefaultFileOps(), [&now] { return now; });
        EXPECT_EQ(lock.Hold(s.queue), c.first);
        for (int second = 0; second <= 60; second += 5) {
            now += 5;
            if (c.beats)
                write();
            lock.Hold(s.queue);
        }
        EXPECT_EQ(lock.Hold(s.queue), c.afterAMinute);
        if (c.afterAMinute == State::Held) {
            EXPECT_NE(testsupport::ReadFile(lockFile).find(" " + std::to_string(getpid()) + " "),
                      std::string::npos);
        }
    }
}

TEST(QueueDirectoryLock, AHolderThatAnnouncesALongSilenceIsWaitedForThatMuchLonger) {
    LockScene s;
    std::filesystem::create_directory(s.queue + "/.tesmaro");
    testsupport::WriteFile(s.queue + "/.tesmaro/lock",
                           "tesmaro-lock 1 lab-pc-7 b00t 4242 99 7 3 120\n");
    std::int64_t now = 1000;
    QueueDirectoryLock lock(platform::DefaultFileOps(), [&now] { return now; });
    const auto after = [&](std::int64_t seconds) {
        now += seconds;
        return lock.Hold(s.queue);
    };
    EXPECT_EQ(after(0), State::HeldElsewhere);
    EXPECT_EQ(after(65), State::HeldElsewhere); // a plain holder would be stale by now
    EXPECT_EQ(after(120), State::Held);
    // Its own lock says how long it may be silent.
    lock.SetLongestSilence(240);
    now += QueueDirectoryLock::kHeartbeatSeconds;
    lock.Hold(s.queue);
    EXPECT_NE(testsupport::ReadFile(s.queue + "/.tesmaro/lock").find(" 240\n"), std::string::npos);
}

TEST(QueueDirectoryLock, TheFolderTakesTheQueuesGroupAndGroupAccessAndNeverOthers) {
    LockScene s;
    ASSERT_EQ(chmod(s.queue.c_str(), 02775), 0);
    QueueDirectoryLock lock;
    ASSERT_EQ(lock.Hold(s.queue), State::Held);
    struct stat folder {};
    struct stat lockFile {};
    ASSERT_EQ(stat((s.queue + "/.tesmaro").c_str(), &folder), 0);
    ASSERT_EQ(stat((s.queue + "/.tesmaro/lock").c_str(), &lockFile), 0);
    EXPECT_EQ(folder.st_mode & 07777, 02770u);
    EXPECT_EQ(lockFile.st_mode & 0777, 0660u);

    // A link planted under the folder's name is never followed.
    LockScene planted;
    ASSERT_EQ(symlink(planted.other.c_str(), (planted.queue + "/.tesmaro").c_str()), 0);
    QueueDirectoryLock refused;
    EXPECT_EQ(refused.Hold(planted.queue), State::Unwritable);
    EXPECT_TRUE(testsupport::ListDirectory(planted.other).empty());
}

namespace {

// Real file calls, with another Tesmaro's steps run just before this one's
// first kernel lock or first rename, or just after that rename.
struct SteppedFileOps final : platform::SystemFileOps {
    std::function<void()> beforeFlock, beforeRename, afterRename;
    int Flock(int fd, int operation) override {
        if (auto step = std::exchange(beforeFlock, nullptr))
            step();
        return SystemFileOps::Flock(fd, operation);
    }
    int Rename(const char* from, const char* to) override {
        if (auto step = std::exchange(beforeRename, nullptr))
            step();
        const int rc = SystemFileOps::Rename(from, to);
        if (auto step = std::exchange(afterRename, nullptr))
            step();
        return rc;
    }
};

} // namespace

// Three Tesmaros judge one stale lock at once. While this one judges it,
// another takes it over (before this one's kernel lock, or while this one
// renames it aside), and a third looks for the lock just after that rename.
// However their steps fall, one of them holds the queue, never two.
TEST(QueueDirectoryLock, ThreeTakingOverOneStaleLockAtOnceLeaveOneHolder) {
    enum class When { BeforeKernelLock, BeforeRename };
    for (const When when : {When::BeforeKernelLock, When::BeforeRename}) {
        SCOPED_TRACE(when == When::BeforeKernelLock ? "before the kernel lock"
                                                    : "before the rename");
        LockScene s;
        std::filesystem::create_directory(s.queue + "/.tesmaro");
        testsupport::WriteFile(s.queue + "/.tesmaro/lock",
                               "tesmaro-lock 1 " + ThisHost() + " b00t 4242 99 7 0\n");
        SteppedFileOps ops;
        QueueDirectoryLock judge(ops);
        QueueDirectoryLock first;
        QueueDirectoryLock third;
        const auto takeOver = [&] { first.Hold(s.queue); };
        (when == When::BeforeKernelLock ? ops.beforeFlock : ops.beforeRename) = takeOver;
        ops.afterRename = [&] { third.Hold(s.queue); };
        judge.Hold(s.queue);
        int holders = 0;
        for (const QueueDirectoryLock* lock : {&judge, &first, &third})
            holders += lock->GetState() == State::Held ? 1 : 0;
        EXPECT_EQ(holders, 1);
    }
}
