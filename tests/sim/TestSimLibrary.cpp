// The queue library against suites that misbehave, and against the real one.

#include "external/KV_VB32.h"
#include "external/QueueLibraryBinding.h"
#include "platform/FileDescriptor.h"
#include "sim/SimProcess.h"
#include "sim/UnixSocket.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <thread>

using namespace std::chrono_literals;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// How long the library waits for a suite in the tests of hung ones, instead
// of its own ten seconds.
constexpr auto kShortWait = "200";
// Far above kShortWait, far below "blocked for good": a call that is not
// bounded by a deadline would wait here for ever. A suite that is not there
// is answered within it under the library's own wait too.
constexpr auto kBlockedForGood = 2s;

// Sets an environment variable for the life of the object.
class Variable {
public:
    Variable(const char* name, const std::string& value) : m_name(name) {
        setenv(name, value.c_str(), 1);
    }
    ~Variable() { unsetenv(m_name); }
    Variable(const Variable&) = delete;
    Variable& operator=(const Variable&) = delete;

private:
    const char* m_name;
};

// Points the library at a socket for the life of the object.
class SocketEnvironment : Variable {
public:
    explicit SocketEnvironment(const std::string& path) : Variable("KORVANE_SIM_SOCKET", path) {}
};

struct Answers {
    int running, count, control, submit;
    std::chrono::steady_clock::duration slowest;
};

// Calls all four functions and notes the longest call. The hand-over comes
// first, so that it meets a stalling suite with no other call queued before it.
Answers CallAll(const std::string& batchPath = "/q/B.olb") {
    Answers a{};
    const auto timed = [&](auto call) {
        const auto start = std::chrono::steady_clock::now();
        const int result = call();
        a.slowest = std::max(a.slowest, std::chrono::steady_clock::now() - start);
        return result;
    };
    a.submit = timed([&] { return QueueSampleBatch(batchPath.c_str(), 0, 1, 0, 12); });
    a.count = timed([] { return GetNumberOfQueueItems(); });
    a.running = timed([] { return IsKorvaneRunning(); });
    a.control = timed([] { return QueueControl(1); });
    return a;
}

void ExpectNotRunning(const Answers& a) {
    EXPECT_EQ(a.running, 0);
    EXPECT_EQ(a.count, 0);
    EXPECT_EQ(a.control, 0);
    EXPECT_EQ(a.submit, 0);
    EXPECT_LT(a.slowest, kBlockedForGood);
}

// A listening socket that plays a broken suite.
platform::FileDescriptor Listen(const std::string& path, int backlog) {
    sockaddr_un address{};
    EXPECT_TRUE(sim::MakeUnixAddress(path, address));
    platform::FileDescriptor fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    EXPECT_EQ(bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(fd.Get(), backlog), 0);
    return fd;
}

class LibraryTest : public ::testing::Test {
protected:
    // A call must never raise SIGPIPE in its host: with the default action
    // the test process would die.
    void SetUp() override { m_oldPipe = signal(SIGPIPE, SIG_DFL); }
    void TearDown() override { signal(SIGPIPE, m_oldPipe); }

    TempDir m_dir;
    std::string m_socket = m_dir / "sim.sock";
    sighandler_t m_oldPipe = SIG_DFL;
};

} // namespace

TEST_F(LibraryTest, NoSuiteMeansNotRunning) {
    {
        SocketEnvironment env(m_socket);
        ExpectNotRunning(CallAll());
    }
    WriteFile(m_socket, "not a socket");
    SocketEnvironment env(m_socket);
    ExpectNotRunning(CallAll());
}

TEST_F(LibraryTest, ASuiteThatNeverAcceptsCannotBlockTheCaller) {
    const auto listener = Listen(m_socket, 8);
    SocketEnvironment env(m_socket);
    Variable wait("KORVANE_SIM_WAIT_MS", kShortWait);
    ExpectNotRunning(CallAll());
}

TEST_F(LibraryTest, AFullBacklogMeansNotRunning) {
    const auto listener = Listen(m_socket, 0);
    SocketEnvironment env(m_socket);
    // Fill the backlog until a connection attempt is turned away at once.
    std::vector<platform::FileDescriptor> queued;
    for (int i = 0; i < 64; ++i) {
        sockaddr_un address{};
        sim::MakeUnixAddress(m_socket, address);
        platform::FileDescriptor fd(
            socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            break;
        queued.push_back(std::move(fd));
    }
    ExpectNotRunning(CallAll());
}

TEST_F(LibraryTest, ASuiteThatHangsUpOrTalksNonsenseMeansNotRunning) {
    const std::vector<std::string> replies = {"", "yes", "12x", std::string(200, '1')};
    const auto listener = Listen(m_socket, 8);
    SocketEnvironment env(m_socket);
    for (const auto& reply : replies) {
        for (int round = 0; round < 10; ++round) {
            // Hang up before or after reading the request, or answer nonsense.
            std::thread suite([&] {
                for (int calls = 0; calls < 4; ++calls) {
                    platform::FileDescriptor client(
                        accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
                    if (round % 2 == 0) {
                        char buffer[16384];
                        recv(client.Get(), buffer, sizeof buffer, 0);
                    }
                    if (!reply.empty())
                        send(client.Get(), reply.data(), reply.size(), MSG_NOSIGNAL);
                }
            });
            ExpectNotRunning(CallAll());
            suite.join();
        }
    }
}

TEST_F(LibraryTest, TalksToTheSuite) {
    TempDir log;
    simtest::SimProcess suite(simtest::SimProcess::MakeOptions(m_socket, log / "sim.log", "3600"));
    ASSERT_TRUE(suite.Start()) << suite.Output();
    SocketEnvironment env(m_socket);
    WriteFile(m_dir / "B.olb", "Header\nS1\nS2\n");

    EXPECT_EQ(IsKorvaneRunning(), 1);
    EXPECT_EQ(GetNumberOfQueueItems(), 0);
    EXPECT_EQ(QueueSampleBatch((m_dir / "B.olb").c_str(), 0, 1, 0, 124), 1);
    EXPECT_EQ(QueueSampleBatch((m_dir / "Missing.olb").c_str(), 0, 1, 0, 12), 0);
    EXPECT_EQ(QueueSampleBatch(nullptr, 0, 1, 0, 12), 0);
    EXPECT_EQ(GetNumberOfQueueItems(), 2);
    EXPECT_EQ(QueueControl(1), 1);
    EXPECT_EQ(GetNumberOfQueueItems(), 0);

    // A relative path means the caller's working directory, not the suite's.
    const auto here = std::filesystem::current_path();
    std::filesystem::current_path(m_dir.Path());
    EXPECT_EQ(QueueSampleBatch("./B.olb", 0, 1, 0, 12), 1);
    std::filesystem::current_path(here);
    EXPECT_EQ(GetNumberOfQueueItems(), 2);

    const auto entries = suite.Log();
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[0].path, m_dir / "B.olb");
    EXPECT_EQ(entries[0].flags, 124);
    EXPECT_EQ(entries[2].path, "");
    EXPECT_EQ(entries[3].call, "QueueControl");
    EXPECT_EQ(entries[4].path, "./B.olb");
    EXPECT_EQ(entries[4].result, 1);
}

// A suite that is merely slow, even inside the hand-over, is waited for: a 0
// would file as failed a batch the suite takes. One that hangs, stopped or
// taking longer than the library waits, neither blocks the caller nor takes
// the batch when it comes back.
TEST_F(LibraryTest, ASlowSuiteIsWaitedForAndAHungOneNeitherBlocksNorTakesTheBatchLater) {
    struct Case {
        const char* name;
        const char* stallSeconds; // the suite takes this long over each call
        bool stopped;             // and is stopped while the calls are made
        const char* waitMs;       // the library's wait; null: its own
        bool answered;
    };
    const std::vector<Case> cases = {
        {"stopped", "0", true, kShortWait, false},
        {"slow", "0.5", false, nullptr, true},
        {"slower than the library waits", "0.5", false, kShortWait, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        auto options = simtest::SimProcess::MakeOptions(dir / "sim.sock", dir / "sim.log", "3600");
        options.extraArgs = {"--stall-seconds", c.stallSeconds};
        simtest::SimProcess suite(options);
        ASSERT_TRUE(suite.Start()) << suite.Output();
        SocketEnvironment env(dir / "sim.sock");
        std::optional<Variable> wait;
        if (c.waitMs)
            wait.emplace("KORVANE_SIM_WAIT_MS", c.waitMs);
        WriteFile(dir / "B.olb", "Header\nS1\n");

        ASSERT_TRUE(!c.stopped || suite.Pause());
        const auto a = CallAll(dir / "B.olb");
        if (c.answered) {
            EXPECT_EQ((std::vector{a.submit, a.count, a.running, a.control}),
                      (std::vector{1, 1, 1, 1}));
        } else {
            ExpectNotRunning(a);
        }

        ASSERT_TRUE(!c.stopped || suite.Resume());
        // Answered after every earlier call: the suite has seen the hand-over.
        ASSERT_TRUE(simtest::WaitUntil([&] { return suite.Answers(); }, 10s));
        std::vector<long long> submissions;
        for (const auto& e : suite.Log())
            if (e.call == "QueueSampleBatch")
                submissions.push_back(e.result.value_or(-1));
        EXPECT_EQ(submissions, c.answered ? std::vector<long long>{1} : std::vector<long long>{});
    }
}

TEST_F(LibraryTest, ASuiteKilledMidWayMeansNotRunning) {
    simtest::SimProcess suite(simtest::SimProcess::MakeOptions(m_socket, "", "3600"));
    ASSERT_TRUE(suite.Start()) << suite.Output();
    SocketEnvironment env(m_socket);
    EXPECT_EQ(IsKorvaneRunning(), 1);
    suite.Kill();
    ExpectNotRunning(CallAll());
}

TEST(QueueLibraryFile, BindsThroughTheProgramsLoader) {
    external::QueueLibraryBinding binding(KV_VB32_LIBRARY);
    EXPECT_TRUE(binding.IsBound());
    EXPECT_EQ(std::string(KV_VB32_LIBRARY).substr(std::string(KV_VB32_LIBRARY).rfind('/') + 1),
              external::QueueLibraryBinding::kLibraryName);
}
