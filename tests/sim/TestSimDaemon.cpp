// korvane-sim as a process: its socket, its signals, its client commands and
// a batch's way through it.

#include "sim/SimProcess.h"
#include "support/TempDir.h"

#include "external/KV_VB32.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

using namespace std::chrono_literals;
using simtest::SimProcess;
using testsupport::Exists;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

class DaemonTest : public ::testing::Test {
protected:
    SimProcess::Options Options(std::string itemSeconds = "3600") const {
        return SimProcess::MakeOptions(m_socket, m_dir / "sim.log", std::move(itemSeconds));
    }

    TempDir m_dir;
    std::string m_socket = m_dir / "sim.sock";
};

} // namespace

TEST_F(DaemonTest, ServesOnAPrivateSocketAndStopsCleanlyOnEachSignal) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SimProcess suite(Options());
        ASSERT_TRUE(suite.Start()) << suite.Output();
        struct stat st {};
        ASSERT_EQ(lstat(m_socket.c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        ASSERT_EQ(kill(suite.Pid(), sig), 0);
        EXPECT_EQ(suite.WaitForExit(10s), 0) << sig;
        EXPECT_FALSE(Exists(m_socket)) << sig;
        EXPECT_FALSE(Exists(m_socket + ".lock")) << sig;
    }
}

TEST_F(DaemonTest, StartsOverTheSocketOfAKilledPredecessor) {
    SimProcess first(Options());
    ASSERT_TRUE(first.Start()) << first.Output();
    first.Kill();
    ASSERT_TRUE(Exists(m_socket));
    SimProcess second(Options());
    ASSERT_TRUE(second.Start()) << second.Output();
    EXPECT_EQ(second.Stop(), 0);
}

TEST_F(DaemonTest, ASecondSuiteOnTheSameSocketGivesWay) {
    SimProcess first(Options());
    ASSERT_TRUE(first.Start()) << first.Output();
    const auto second = simtest::RunProgram({SimProcess::Executable(), "--socket", m_socket},
                                            m_dir / "second.out", 10s);
    EXPECT_EQ(second, 1);
    EXPECT_NE(testsupport::ReadFile(m_dir / "second.out").find("already serves"),
              std::string::npos);
    EXPECT_TRUE(first.Answers());
}

TEST_F(DaemonTest, LeavesAFileInItsWayAlone) {
    WriteFile(m_socket, "precious");
    const auto status =
        simtest::RunProgram({SimProcess::Executable(), "--socket", m_socket}, m_dir / "out", 10s);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(testsupport::ReadFile(m_socket), "precious");
}

TEST_F(DaemonTest, ClientCommands) {
    SimProcess suite(Options());
    std::string out;
    EXPECT_EQ(suite.RunCommand({"status"}, &out), 1);
    EXPECT_NE(out.find("not running"), std::string::npos) << out;
    EXPECT_EQ(suite.RunCommand({"quit"}), 1);

    ASSERT_TRUE(suite.Start()) << suite.Output();
    EXPECT_EQ(suite.RunCommand({"status"}, &out), 0);
    EXPECT_NE(out.find("running with 0 items"), std::string::npos) << out;
    EXPECT_EQ(suite.RunCommand({"add-foreign", "3"}, &out), 0);
    EXPECT_EQ(suite.RunCommand({"add-foreign", "2"}, &out), 0);
    EXPECT_EQ(suite.RunCommand({"status"}, &out), 0);
    EXPECT_NE(out.find("running with 5 items"), std::string::npos) << out;
    EXPECT_EQ(suite.RunCommand({"add-foreign", "0"}, &out), 2);
    EXPECT_EQ(suite.RunCommand({"bogus"}, &out), 2);

    EXPECT_EQ(suite.RunCommand({"quit"}, &out), 0);
    EXPECT_EQ(suite.WaitForExit(10s), 0);
    EXPECT_FALSE(Exists(m_socket));
}

TEST_F(DaemonTest, ClientCommandsFindTheSocketByTheEnvironment) {
    SimProcess suite(Options());
    ASSERT_TRUE(suite.Start()) << suite.Output();
    setenv("KORVANE_SIM_SOCKET", m_socket.c_str(), 1);
    const auto status =
        simtest::RunProgram({SimProcess::Executable(), "status"}, m_dir / "status.out", 10s);
    unsetenv("KORVANE_SIM_SOCKET");
    EXPECT_EQ(status, 0);
    EXPECT_NE(testsupport::ReadFile(m_dir / "status.out").find(m_socket), std::string::npos);
}

TEST_F(DaemonTest, RejectsABadCommandLine) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--item-seconds", "-1"}, {"--frobnicate"}, {"--log"}}) {
        std::vector<std::string> argv = {SimProcess::Executable(), "--socket", m_socket};
        argv.insert(argv.end(), args.begin(), args.end());
        EXPECT_EQ(simtest::RunProgram(argv, m_dir / "out", 10s), 2) << args[0];
    }
    EXPECT_NE(testsupport::ReadFile(m_dir / "out").find("Usage:"), std::string::npos);
    EXPECT_FALSE(Exists(m_socket));
}

TEST_F(DaemonTest, ABatchRunsToItsResultFile) {
    SimProcess suite(Options("0.05"));
    ASSERT_TRUE(suite.Start()) << suite.Output();
    setenv("KORVANE_SIM_SOCKET", m_socket.c_str(), 1);
    // Quotes, a backslash, a newline and bytes that are not UTF-8 in the name.
    const std::string name = "Odd \"name\"\\ \n\xe9\xff.olb";
    WriteFile(m_dir / name, "Plate 1 [OAQUAN]\nS1\nS2\nS3\n");
    WriteFile(m_dir / "Refused.olb", "[REFUSE]\nS1\n");
    const int accepted = QueueSampleBatch((m_dir / name).c_str(), 0, 1, 0, 44);
    const int refused = QueueSampleBatch((m_dir / "Refused.olb").c_str(), 0, 1, 0, 12);
    unsetenv("KORVANE_SIM_SOCKET");
    EXPECT_EQ(accepted, 1);
    EXPECT_EQ(refused, 0);

    ASSERT_TRUE(suite.WaitForLog(
        [](const auto& log) { return !log.empty() && log.back().call == "done"; }, 10s));
    const auto log = suite.Log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].path, m_dir / name);
    EXPECT_EQ(log[0].result, 1);
    EXPECT_EQ(log[1].result, 0);
    EXPECT_EQ(log[2].path, m_dir / name);
    EXPECT_GE(log[2].t, log[0].t);

    const std::string result = m_dir / "Odd \"name\"\\ \n\xe9\xff.rpt";
    EXPECT_NE(testsupport::ReadFile(result).find("44 (acquire, process, quan marker)"),
              std::string::npos);
    for (const auto& e : std::filesystem::directory_iterator(m_dir.Path()))
        EXPECT_NE(e.path().filename().string().front(), '.') << e.path();
}
