#include "app/CBatchQueueApp.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

extern char** environ;

TEST(ApplicationName, TheExecutablesFileNameWithoutItsExtension) {
    const std::pair<const char*, const char*> cases[] = {
        {"/opt/tesmaro/Tesmaro", "Tesmaro"},
        {"/opt/tesmaro/Tesmaro.old", "Tesmaro"},
        {"/opt/tesmaro/Tesmaro.EXE", "Tesmaro"},
        {"/opt/a.b/Tes.maro.bin", "Tes.maro"},
        {"/opt/.Tesmaro", ".Tesmaro"},
        {"/opt/tesmaro/Tesmaro (deleted)", "Tesmaro"},
        {"Tesmaro.old", "Tesmaro"},
    };
    for (const auto& [path, name] : cases)
        EXPECT_EQ(app::ApplicationNameOf(path), name) << path;
}

namespace {

// The real program, started with its own runtime and configuration directories.
class ProgramInstances : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* sub : {"run", "config", "config/Orbinel", "queue"})
            ASSERT_EQ(mkdir((m_dir / sub).c_str(), 0700), 0);
        testsupport::WriteFile(m_dir / "config/Orbinel/Tesmaro.conf",
                               "[Settings]\nQueueDir=" + m_dir / "queue" +
                                   "\nStatusFile=" + m_dir / "status.sem" +
                                   "\nAbortFile=" + m_dir / "abort.sem" + "\n");
        m_env = {"XDG_RUNTIME_DIR=" + m_dir / "run", "XDG_CONFIG_HOME=" + m_dir / "config",
                 "HOME=" + m_dir.Path(), "QT_QPA_PLATFORM=offscreen"};
        for (const char* keep : {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
            if (const char* value = getenv(keep))
                m_env.push_back(std::string(keep) + "=" + value);
    }
    void TearDown() override {
        for (pid_t pid : m_started) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    // Starts the program (the built one unless told), its standard error into
    // `errorFile` when given; it inherits every descriptor of this process
    // that is not close-on-exec, and the signals this process ignores.
    pid_t Start(std::string program = TESMARO_EXECUTABLE, const std::string& errorFile = "") {
        std::vector<char*> envp;
        for (std::string& entry : m_env)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        char* argv[] = {program.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, m_dir.Path().c_str());
        if (!errorFile.empty())
            posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorFile.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t pid = -1;
        const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(rc, 0);
        m_started.push_back(pid);
        return pid;
    }

    // Waits for the process to end; its wait status, or nothing after the limit.
    std::optional<int> WaitForExit(pid_t pid, std::chrono::seconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                std::erase(m_started, pid);
                return status;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return std::nullopt;
    }

    // True once some process holds the instance lock, within the limit.
    bool WaitForLockHeld(std::chrono::seconds limit) {
        const std::string path = m_dir / "run/Tesmaro_Running";
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
            if (fd >= 0) {
                const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0;
                close(fd); // also drops the lock if this probe took it
                if (held)
                    return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    static bool IsRunning(pid_t pid) {
        int status = 0;
        return waitpid(pid, &status, WNOHANG) == 0;
    }

    testsupport::TempDir m_dir;
    std::vector<std::string> m_env;
    std::vector<pid_t> m_started;
};

} // namespace

TEST_F(ProgramInstances, SecondInstanceEndsAtOnceAndAKilledFirstFreesTheWay) {
    const pid_t first = Start();
    ASSERT_TRUE(WaitForLockHeld(std::chrono::seconds(60)));

    const pid_t second = Start();
    const std::optional<int> status = WaitForExit(second, std::chrono::seconds(60));
    ASSERT_TRUE(status.has_value()) << "the second instance kept running";
    EXPECT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_TRUE(IsRunning(first));

    ASSERT_EQ(kill(first, SIGKILL), 0);
    ASSERT_TRUE(WaitForExit(first, std::chrono::seconds(60)).has_value());

    const pid_t third = Start();
    ASSERT_TRUE(WaitForLockHeld(std::chrono::seconds(60)));
    EXPECT_TRUE(IsRunning(third));
}

TEST_F(ProgramInstances, TerminationSignalEndsTheProgramNormally) {
    for (int sig : {SIGTERM, SIGINT}) {
        const pid_t program = Start();
        ASSERT_TRUE(WaitForLockHeld(std::chrono::seconds(60)));
        ASSERT_EQ(kill(program, sig), 0);
        const std::optional<int> status = WaitForExit(program, std::chrono::seconds(60));
        ASSERT_TRUE(status.has_value()) << sig;
        EXPECT_TRUE(WIFEXITED(*status)) << sig;
        EXPECT_EQ(WEXITSTATUS(*status), 0) << sig;
    }
}

namespace {

// The signal numbers set in one of the masks of /proc/<pid>/status ("SigIgn",
// "SigCgt"); empty when it cannot be read.
std::set<int> SignalMask(pid_t pid, const std::string& field) {
    std::set<int> out;
    const std::string status = testsupport::ReadFile("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("\n" + field + ":");
    if (at == std::string::npos)
        return out;
    const unsigned long long mask = std::stoull(status.substr(at + field.size() + 2), nullptr, 16);
    for (int sig = 1; sig < 64; ++sig)
        if ((mask >> (sig - 1)) & 1)
            out.insert(sig);
    return out;
}

} // namespace

TEST_F(ProgramInstances, InheritedDescriptorsAreNotPassedOnAndAnIgnoredHangupStaysIgnored) {
    // As under nohup: the hangup is ignored when the program starts.
    const int inherited = open(m_dir.Path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GT(inherited, 2);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction before {};
    ASSERT_EQ(sigaction(SIGHUP, &ignore, &before), 0);
    const pid_t program = Start();
    sigaction(SIGHUP, &before, nullptr);
    close(inherited);
    ASSERT_TRUE(WaitForLockHeld(std::chrono::seconds(60)));

    const std::string fdinfo = testsupport::ReadFile("/proc/" + std::to_string(program) +
                                                     "/fdinfo/" + std::to_string(inherited));
    const std::size_t flags = fdinfo.find("flags:");
    ASSERT_NE(flags, std::string::npos) << "the descriptor was not inherited";
    EXPECT_NE(std::stoul(fdinfo.substr(flags + 6), nullptr, 8) & O_CLOEXEC, 0u)
        << "an inherited descriptor would reach the viewers";

    EXPECT_EQ(SignalMask(program, "SigIgn").count(SIGHUP), 1u);
    EXPECT_EQ(SignalMask(program, "SigCgt").count(SIGTERM), 1u);
    ASSERT_EQ(kill(program, SIGHUP), 0);
    ASSERT_EQ(kill(program, SIGTERM), 0);
    const std::optional<int> status = WaitForExit(program, std::chrono::seconds(60));
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
}

TEST_F(ProgramInstances, WithoutAWindowSystemOneLineSaysHowToRunOffscreen) {
    std::erase(m_env, std::string("QT_QPA_PLATFORM=offscreen"));
    const std::string errors = m_dir / "errors";
    const std::optional<int> status =
        WaitForExit(Start(TESMARO_EXECUTABLE, errors), std::chrono::seconds(60));
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 1);
    const std::string text = testsupport::ReadFile(errors);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_NE(text.find("QT_QPA_PLATFORM=offscreen"), std::string::npos) << text;

    // Another instance runs: the check comes first, and ends it silently.
    m_env.push_back("QT_QPA_PLATFORM=offscreen");
    Start();
    ASSERT_TRUE(WaitForLockHeld(std::chrono::seconds(60)));
    m_env.pop_back();
    const std::optional<int> second =
        WaitForExit(Start(TESMARO_EXECUTABLE, errors), std::chrono::seconds(60));
    ASSERT_TRUE(second.has_value());
    EXPECT_TRUE(WIFEXITED(*second) && WEXITSTATUS(*second) == 0);
    EXPECT_EQ(testsupport::ReadFile(errors), "");
}

TEST_F(ProgramInstances, TheSettingsAreNamedAfterTheExecutableFileNotTheNameItIsStartedBy) {
    // Tesmaro.conf holds this scene's settings; under any other name the
    // status file would be the default one, in the working directory.
    testsupport::WriteFile(m_dir / "queue/B.olb", "Sample list\nS1\n");
    const std::string copy = m_dir / "Tesmaro.old";
    std::filesystem::copy_file(TESMARO_EXECUTABLE, copy);
    const std::string link = m_dir / "other";
    ASSERT_EQ(symlink(TESMARO_EXECUTABLE, link.c_str()), 0);
    for (const std::string& program : {copy, link}) {
        SCOPED_TRACE(program);
        const pid_t started = Start(program);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!testsupport::Exists(m_dir / "status.sem") && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_TRUE(testsupport::Exists(m_dir / "status.sem"));
        EXPECT_FALSE(testsupport::Exists(m_dir / "c:\\sampling.sem"));
        kill(started, SIGKILL);
        WaitForExit(started, std::chrono::seconds(60));
        unlink((m_dir / "status.sem").c_str());
    }
}
