#include "platform/InstanceLock.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

using platform::InstanceLock;
using State = platform::InstanceLock::State;

TEST(InstanceLockPath, RuntimeDirectoryElseTemporaryWithUser) {
    struct Case {
        const char* runtime;
        const char* temp;
        const char* path;
    };
    const Case cases[] = {
        {"/run/user/1000", "/tmp", "/run/user/1000/Tesmaro_Running"},
        {nullptr, "/var/tmp", "/var/tmp/Tesmaro_Running-1000"},
        {"", nullptr, "/tmp/Tesmaro_Running-1000"},
        {"relative/dir", "also/relative", "/tmp/Tesmaro_Running-1000"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::InstanceLockPath(c.runtime, c.temp, 1000), c.path);
}

TEST(InstanceLock, OnlyOneHolderAtATime) {
    testsupport::TempDir dir;
    const std::string path = dir / "Tesmaro_Running";
    {
        InstanceLock first(path);
        EXPECT_EQ(first.GetState(), State::Acquired);
        InstanceLock second(path);
        EXPECT_EQ(second.GetState(), State::HeldElsewhere);
        // The descriptor is not handed to programs this process starts.
        const int probe = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_EQ(flock(probe, LOCK_EX | LOCK_NB), -1);
        close(probe);
    }
    InstanceLock again(path);
    EXPECT_EQ(again.GetState(), State::Acquired);
}

TEST(InstanceLock, StrangeLockFilesMeanNoGuard) {
    testsupport::TempDir dir;
    const std::string target = dir / "target";
    testsupport::WriteFile(target, "");
    const std::string link = dir / "link";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string directory = dir / "directory";
    ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
    for (const std::string& path : {link, fifo, directory, dir / "missing/Tesmaro_Running"}) {
        InstanceLock lock(path);
        EXPECT_EQ(lock.GetState(), State::Unavailable) << path;
    }
}
