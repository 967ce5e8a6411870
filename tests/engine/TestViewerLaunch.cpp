#include "EngineScene.h"
#include "platform/ProcessLauncher.h"
#include "support/ViewerRecord.h"
#include "support/WaitUntil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

using engine::CBatch;
using enginetest::EngineScene;
using enginetest::Names;
using testsupport::Exists;
using testsupport::ReadFile;
using testsupport::ViewerRecord;
using testsupport::WriteFile;
using namespace std::chrono_literals;

namespace {

const std::string kViewer = testsupport::TestViewerExecutable();

// Waits, at most 30 s, until the condition holds.
bool WaitUntil(const std::function<bool()>& condition) {
    return testsupport::WaitUntil(condition, 30s, 2ms);
}

ViewerRecord ReadRecord(const std::string& path) {
    EXPECT_TRUE(WaitUntil([&] { return Exists(path); })) << "the viewer never wrote " << path;
    const std::optional<ViewerRecord> record = testsupport::ParseViewerRecord(ReadFile(path));
    EXPECT_TRUE(record.has_value()) << "not a whole record in " << path;
    return record.value_or(ViewerRecord{});
}

// 'Z' for a zombie, 0 when the process is gone altogether.
char ProcessState(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto paren = text.rfind(')');
    return paren == std::string::npos || paren + 2 >= text.size() ? 0 : text[paren + 2];
}

std::string CurrentDirectory() {
    char buf[4096];
    return getcwd(buf, sizeof buf) ? buf : "";
}

std::string DirectoryOf(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}

// Sets the viewer's environment for one test and clears it afterwards.
struct ViewerEnvironment {
    testsupport::TempDir dir;
    std::string record = dir / "record";
    std::string hold = dir / "hold";

    ViewerEnvironment() {
        setenv("TESMARO_VIEWER_RECORD", record.c_str(), 1);
        setenv("TESMARO_VIEWER_HOLD", hold.c_str(), 1);
    }
    ~ViewerEnvironment() {
        unsetenv("TESMARO_VIEWER_RECORD");
        unsetenv("TESMARO_VIEWER_HOLD");
    }
};

} // namespace

TEST(ViewerLaunch, ArgumentsReachTheViewerUnchangedWithoutAShell) {
    ViewerEnvironment env;
    platform::SpawningLauncher launcher;
    const Names args{kViewer, "-r", "two words", "\"quoted\"", "line\nbreak", "$(touch x);*", ""};
    ASSERT_TRUE(launcher.RunAndWait({kViewer, args, ""}, 30s).Started());
    const ViewerRecord record = ReadRecord(env.record);
    EXPECT_EQ(record.arguments, args);
    EXPECT_EQ(record.cwd, CurrentDirectory());
}

TEST(ViewerLaunch, ThroughTheEngineWithAHostileResultPath) {
    ViewerEnvironment env;
    platform::SpawningLauncher launcher;
    EngineScene s(&launcher);
    s.params.PrintReport = 1;
    s.params.BrowserFile = kViewer;
    s.params.SchemeName = "S 1";
    s.Apply();
    const std::string name = "-B \"1\"\n2";
    s.Put(name + ".olb");
    s.Put(name + ".rpt");
    s.SubmitHead();
    s.library.items = 0;
    s.engine->ProcessStep();
    const ViewerRecord record = ReadRecord(env.record);
    EXPECT_EQ(record.arguments, (Names{kViewer, s.queue + "/" + name + ".rpt", "/p", "/sS 1"}));
    EXPECT_EQ(record.cwd, DirectoryOf(kViewer));
    EXPECT_EQ(testsupport::ListDirectory(s.processed), (Names{name + ".olb", name + ".rpt"}));
}

TEST(ViewerLaunch, WorkingDirectoryComesFromTheProgramsPath) {
    ViewerEnvironment env;
    const std::string saved = CurrentDirectory();
    testsupport::TempDir base;
    std::filesystem::create_directory(base / "tools");
    ASSERT_EQ(symlink(kViewer.c_str(), (base / "tools/viewer").c_str()), 0);
    ASSERT_EQ(chdir(base.Path().c_str()), 0);
    platform::SpawningLauncher launcher;
    // A relative path with a directory is found from our directory and run there.
    const bool started =
        launcher.RunAndWait({"tools/viewer", {"tools/viewer"}, "tools/"}, 30s).Started();
    ASSERT_EQ(chdir(saved.c_str()), 0);
    ASSERT_TRUE(started);
    EXPECT_EQ(ReadRecord(env.record).cwd, base / "tools");

    // A bare name is looked up on PATH and runs in our own directory.
    std::filesystem::remove(env.record);
    const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", (base / "tools").c_str(), 1);
    const bool bare = launcher.RunAndWait({"viewer", {"viewer"}, ""}, 30s).Started();
    setenv("PATH", oldPath.c_str(), 1);
    ASSERT_TRUE(bare);
    EXPECT_EQ(ReadRecord(env.record).cwd, saved);
}

TEST(ViewerLaunch, TheViewerInheritsNoDescriptorOfOurs) {
    ViewerEnvironment env;
    // Even one opened without close-on-exec stays behind.
    const int leaky = open("/dev/null", O_RDONLY);
    ASSERT_GE(leaky, 3);
    platform::SpawningLauncher launcher;
    const bool started = launcher.RunAndWait({kViewer, {kViewer}, ""}, 30s).Started();
    close(leaky);
    ASSERT_TRUE(started);
    std::string standard;
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) != -1)
            standard += (standard.empty() ? "" : " ") + std::to_string(fd);
    EXPECT_EQ(ReadRecord(env.record).descriptors, standard);
}

TEST(ViewerLaunch, AProgramThatCannotStartReportsFalse) {
    platform::SpawningLauncher launcher;
    for (const platform::ProcessRequest& request :
         {platform::ProcessRequest{"/nonexistent/viewer", {"/nonexistent/viewer"}, ""},
          {"no-such-viewer-here", {"no-such-viewer-here"}, ""},
          {kViewer, {kViewer}, "/nonexistent/dir/"}}) {
        const platform::RunOutcome outcome = launcher.RunAndWait(request, 1s);
        EXPECT_EQ(outcome.end, platform::RunOutcome::End::NotStarted) << request.program;
        EXPECT_EQ(outcome.code, ENOENT) << request.program;
    }
    EXPECT_EQ(launcher.Outliving().Count(), 0u);
}

TEST(ViewerLaunch, AViewerOutlivingTheTimeOutKeepsRunningAndIsReapedOnceItEnds) {
    struct Case {
        int timeout;
        bool stopOnceStarted; // a stop is asked for while the wait runs
    };
    for (const Case c : {Case{1, false}, Case{0, false}, Case{3600, true}}) {
        SCOPED_TRACE(c.timeout);
        ViewerEnvironment env;
        WriteFile(env.hold, "");
        const int stop = eventfd(0, EFD_CLOEXEC);
        platform::SpawningLauncher launcher(stop);
        std::thread stopper([&] {
            if (c.stopOnceStarted && WaitUntil([&] { return Exists(env.record); })) {
                const std::uint64_t one = 1;
                EXPECT_EQ(write(stop, &one, sizeof one), 8);
            }
        });
        EngineScene s(&launcher);
        s.params.CreateSummary = 1;
        s.params.BrowserFile = kViewer;
        s.params.ExternalTimeout = c.timeout;
        s.Apply();
        s.Put("B.olb");
        s.Put("B.rpt");
        s.SubmitHead();
        s.library.items = 0;

        const auto start = std::chrono::steady_clock::now();
        s.engine->ProcessStep();
        stopper.join();
        close(stop);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
        // The cycle went on: the batch is filed while its viewer still runs.
        EXPECT_EQ(testsupport::ListDirectory(s.processed), (Names{"B.olb", "B.rpt"}));
        const ViewerRecord record = ReadRecord(env.record);
        ASSERT_GT(record.pid, 0);
        EXPECT_EQ(launcher.Outliving().Pids(), std::vector<pid_t>{record.pid});
        const char running = ProcessState(record.pid);
        EXPECT_TRUE(running != 0 && running != 'Z') << running;

        std::filesystem::remove(env.hold);
        ASSERT_TRUE(WaitUntil([&] { return ProcessState(record.pid) == 'Z'; }));
        s.engine->ProcessStep(); // the next tick reaps it
        EXPECT_EQ(ProcessState(record.pid), 0);
        EXPECT_EQ(launcher.Outliving().Count(), 0u);
    }
}

TEST(ViewerLaunch, AWaitEndsAsSoonAsTheViewerEnds) {
    ViewerEnvironment env;
    platform::SpawningLauncher launcher;
    const auto start = std::chrono::steady_clock::now();
    const platform::RunOutcome outcome = launcher.RunAndWait({kViewer, {kViewer}, ""}, 600s);
    EXPECT_EQ(outcome.end, platform::RunOutcome::End::Exited);
    EXPECT_EQ(outcome.code, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 60s);
    EXPECT_EQ(launcher.Outliving().Count(), 0u);
    EXPECT_EQ(ProcessState(ReadRecord(env.record).pid), 0);
}
