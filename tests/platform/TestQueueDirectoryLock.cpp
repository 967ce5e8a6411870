#include "platform/QueueDirectoryLock.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

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
