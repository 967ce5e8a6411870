// The real Tesmaro against races and misbehaving neighbours: ten copies
// started at once, a suite that is killed, hangs or refuses everything,
// hostile queue contents, a damaged settings file, a change of operator
// between two real users sharing a queue, and a batch that another user is
// still writing.

#include "platform/QueueDirectoryLock.h"
#include "torture/HostileEntries.h"
#include "torture/ProgramTorture.h"
#include "torture/TortureSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <memory>
#include <set>
#include <thread>

using namespace torture;
using e2e::Exists;
using e2e::FilesIn;
using e2e::TesmaroProcess;

namespace {

constexpr long kMemoryGrowthBoundKiB = (torture::kUnderAddressSanitizer ? 64 : 32) * 1024;

std::string OneSample(const std::string& title) {
    return "Sample list of " + title + "\nS1\n";
}

} // namespace

class InstanceRace : public ProgramTorture {
protected:
    std::unique_ptr<TesmaroProcess> Copy(int n) {
        TesmaroProcess::Options options;
        options.workingDirectory = scene.root;
        options.environment = scene.Environment();
        options.outputPath = scene.root + "/copy" + std::to_string(n) + ".out";
        return std::make_unique<TesmaroProcess>(options);
    }
};

TEST_F(InstanceRace, TenCopiesStartedAtOnceLeaveExactlyOneAndANewOneStartsAfterItsKill) {
    const int rounds = Size(2, 25);
    ASSERT_TRUE(scene.WriteSettings(scene.TestSettings()));
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::unique_ptr<TesmaroProcess>> copies;
        for (int i = 0; i < 10; ++i)
            copies.push_back(Copy(i));
        for (auto& copy : copies)
            ASSERT_TRUE(copy->Start());
        // Nine end by themselves, quietly; one stays.
        int ended = 0;
        ASSERT_TRUE(WaitFor(
            [&] {
                ended = 0;
                for (auto& copy : copies)
                    ended += copy->HasEnded() ? 1 : 0;
                return ended == 9;
            },
            std::chrono::seconds(120))) // ten programs starting at once on a busy machine
            << "round " << round << ": " << ended << " ended";
        ASSERT_TRUE(WaitForATick());
        int running = 0;
        for (auto& copy : copies) {
            if (copy->HasEnded())
                continue;
            ++running;
            copy->Kill(); // the lock must die with it
        }
        EXPECT_EQ(running, 1) << "round " << round;
    }
    // After the kill of the last survivor a single new copy runs.
    auto next = Copy(99);
    ASSERT_TRUE(next->Start());
    EXPECT_TRUE(WaitForATick());
    EXPECT_FALSE(next->HasEnded());
    std::cout << "instance races: " << rounds << " rounds of 10 copies\n";
}

class SuiteMisbehaving : public ProgramTorture {};

TEST_F(SuiteMisbehaving, KilledMidBatchAndRestartedNothingIsLost) {
    ASSERT_TRUE(StartSuite("1"));
    ASSERT_TRUE(StartTesmaro({{"WaitBeforeSubmit", "0"}}));
    Planted planted;
    planted["M1.olb"] = Plant(scene.queue + "/M1.olb", "Sample list\nS1\nS2\nS3\nS4\nS5\n");
    ASSERT_TRUE(WaitFor([&] { return e2e::SubmissionOf(Log(), "M1").has_value(); }));
    suite->Kill();
    planted["M2.olb"] = Plant(scene.queue + "/M2.olb", OneSample("M2"));
    ASSERT_TRUE(WaitForATick());
    ASSERT_TRUE(StartSuite("0"));
    ASSERT_TRUE(WaitFor([&] { return FilesIn(scene.queue).empty(); }));
    EXPECT_FALSE(tesmaro->HasEnded());
    for (const std::string& breach :
         Breaches(planted, {scene.queue, scene.processed, scene.failed}, IsResultFile))
        ADD_FAILURE() << breach;
}

TEST_F(SuiteMisbehaving, HungSuiteDoesNotStopTheTicksAndNothingIsLost) {
    const auto hang = std::chrono::seconds(Size(4, 60));
    ASSERT_TRUE(StartSuite("0"));
    ASSERT_TRUE(StartTesmaro({{"WaitBeforeSubmit", "0"}}));
    Planted planted;
    planted["H1.olb"] = Plant(scene.queue + "/H1.olb", OneSample("H1"));
    ASSERT_TRUE(WaitFor([&] { return Exists(scene.processed + "/H1.olb"); }));

    // Stopped: it accepts connections and never answers.
    ASSERT_TRUE(suite->Pause());
    const auto hangEnds = std::chrono::steady_clock::now() + hang;
    planted["H2.olb"] = Plant(scene.queue + "/H2.olb", OneSample("H2"));
    ASSERT_TRUE(WaitFor([&] { return Exists(scene.statusFile); }));
    // The ticks go on: an abort set now fails the waiting batches at once.
    const auto abortSet = std::chrono::steady_clock::now();
    ASSERT_TRUE(e2e::WriteFile(scene.abortFile, ""));
    ASSERT_TRUE(WaitFor([&] { return Exists(scene.failed + "/H2.olb"); }));
    // Filed while the suite still hangs: it is woken only further down.
    const auto abortTook = std::chrono::steady_clock::now() - abortSet;
    ASSERT_EQ(unlink(scene.abortFile.c_str()), 0);
    planted["H3.olb"] = Plant(scene.queue + "/H3.olb", OneSample("H3"));
    while (std::chrono::steady_clock::now() < hangEnds) {
        ASSERT_FALSE(tesmaro->HasEnded());
        ASSERT_TRUE(WaitForATick());
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_TRUE(Exists(scene.queue + "/H3.olb")) << "submitted to a suite that never answers";

    ASSERT_TRUE(suite->Resume());
    ASSERT_TRUE(WaitFor([&] { return Exists(scene.processed + "/H3.olb"); }));
    for (const std::string& breach :
         Breaches(planted, {scene.queue, scene.processed, scene.failed}, IsResultFile))
        ADD_FAILURE() << breach;
    std::cout << "suite hung for " << hang.count() << " s; abort honoured after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(abortTook).count()
              << " ms\n";
}

TEST_F(SuiteMisbehaving, ASuiteThatRefusesEverythingGetsEveryBatchFiledAsFailed) {
    auto options = simtest::SimProcess::MakeOptions(scene.socket, scene.simLog, "0");
    options.refuseAll = true;
    options.outputPath = scene.root + "/sim.out";
    suite = std::make_unique<simtest::SimProcess>(options);
    ASSERT_TRUE(suite->Start());
    ASSERT_TRUE(StartTesmaro({{"WaitBeforeSubmit", "0"}}));
    Planted planted;
    for (const char* title : {"R1", "R2", "R3"}) {
        planted[std::string(title) + ".olb"] =
            Plant(scene.queue + "/" + title + ".olb", OneSample(title));
        planted[std::string(title) + ".notes"] = Plant(scene.queue + "/" + title + ".notes", "n");
    }
    ASSERT_TRUE(WaitFor([&] { return FilesIn(scene.queue).empty(); }));
    EXPECT_EQ(FilesIn(scene.failed).size(), 6u);
    EXPECT_TRUE(Breaches(planted, {scene.failed}).empty());
}

class HostileProgram : public ProgramTorture {};

TEST_F(HostileProgram, NeverBlocksNeverFollowsALinkAndKeepsItsMemoryBounded) {
    const std::uint64_t largeSize = Size<std::uint64_t>(96ull << 20, 1ull << 30);
    ASSERT_TRUE(StartSuite("0"));
    // Filed across file systems, so that the large file is copied.
    const std::string processed = OtherFileSystemDir("Processed");
    ASSERT_TRUE(StartTesmaro({{"ProcessedDir", processed}}));
    ASSERT_TRUE(WaitForATick());
    const long baseline = PeakResidentKiB(tesmaro->Pid());

    const NonRegularEntries nonRegular = PlantNonRegular(scene.queue, scene.root);
    scene.DropInSuccessiveSeconds({{"N1.olb", OneSample("N1")}, {"N2.olb", OneSample("N2")}});
    Planted planted;
    for (const char* name : {"N1.olb", "N2.olb"}) {
        FileFacts facts;
        Facts(scene.queue + "/" + name, facts);
        planted[name] = facts;
    }
    Planted hostile = PlantHostileRegular(scene.queue, largeSize, Seed());
    planted.insert(hostile.begin(), hostile.end());

    const auto onlyNonRegularLeft = [&] {
        for (const std::string& name : testsupport::ListDirectory(scene.queue))
            if (nonRegular.names.count(name) == 0)
                return false;
        return true;
    };
    ASSERT_TRUE(WaitFor(onlyNonRegularLeft, std::chrono::seconds(60 + 3 * planted.size())))
        << testsupport::ListDirectory(scene.queue).size() << " entries left";
    EXPECT_FALSE(tesmaro->HasEnded());
    const long peak = PeakResidentKiB(tesmaro->Pid());

    static std::set<std::string> nonRegularNames;
    nonRegularNames = nonRegular.names;
    for (const std::string& breach :
         Breaches(planted, {scene.queue, processed, scene.failed}, [](const std::string& name) {
             return IsResultFile(name) || nonRegularNames.count(name) != 0;
         }))
        ADD_FAILURE() << breach;
    for (const std::string& change : NonRegularChanged(scene.queue, nonRegular))
        ADD_FAILURE() << change;
    const e2e::Names road = e2e::Road(Log());
    const auto n1 = std::find(road.begin(), road.end(), "submit N1");
    const auto n2 = std::find(road.begin(), road.end(), "submit N2");
    EXPECT_TRUE(n1 < n2 && n2 != road.end()) << "the normal batches went out of order";
    std::cout << "hostile entries: " << planted.size() + nonRegular.names.size() << ", large file "
              << (largeSize >> 20) << " MiB; Tesmaro's peak memory " << peak / 1024 << " MiB ("
              << (peak - baseline) << " KiB over its idle peak)\n";
    // Below the large file's size by far; a sanitizer's bookkeeping takes more.
    EXPECT_LT(peak - baseline, kMemoryGrowthBoundKiB) << "memory grew with the file sizes";
}

class ViewerMisbehaving : public ProgramTorture {};

TEST_F(ViewerMisbehaving, ASignalDuringAViewersWaitEndsTesmaroAtOnceAndNoViewerRunsTwice) {
    // A viewer that ignores the signals a terminal or a service manager sends
    // its group, notes its operation, and runs while its hold file is there.
    const std::string viewer = scene.root + "/viewer";
    const std::string record = viewer + ".record";
    const std::string hold = viewer + ".hold";
    ASSERT_TRUE(e2e::WriteFile(viewer, "#!/bin/sh\ntrap '' TERM INT HUP\n"
                                       "printf '%s\\n' \"$2\" >> \"$0.record\"\ni=0\n"
                                       "while [ -e \"$0.hold\" ] && [ $i -lt 1200 ]; do\n"
                                       "  sleep 0.05; i=$((i+1))\ndone\n"));
    ASSERT_EQ(chmod(viewer.c_str(), 0755), 0);
    ASSERT_TRUE(e2e::WriteFile(hold, ""));
    ASSERT_TRUE(StartSuite("0"));
    const e2e::SettingsValues settings = {{"WaitBeforeSubmit", "0"},
                                          {"BrowserFile", viewer},
                                          {"PrintReport", "1"},
                                          {"CreateSummary", "1"},
                                          {"ExternalTimeout", "3600"}};
    ASSERT_TRUE(StartTesmaro(settings));
    Planted planted;
    planted["V.olb"] = Plant(scene.queue + "/V.olb", OneSample("V"));
    ASSERT_TRUE(WaitFor([&] { return e2e::ReadFile(record) == "/p\n"; }));

    const auto signalled = std::chrono::steady_clock::now();
    EXPECT_EQ(tesmaro->Stop(std::chrono::seconds(30)), 0) << "the wait outlasted the signal";
    const auto took = std::chrono::steady_clock::now() - signalled;
    EXPECT_EQ(e2e::ReadFile(record), "/p\n") << "a viewer started after the signal";
    EXPECT_TRUE(Exists(scene.queue + "/V.olb")) << "filed without its summary";

    // The print, left running, ends; the next start runs the summary alone.
    ASSERT_EQ(unlink(hold.c_str()), 0);
    ASSERT_TRUE(LaunchTesmaro(settings));
    ASSERT_TRUE(WaitFor([&] { return Exists(scene.processed + "/V.olb"); }));
    EXPECT_EQ(e2e::ReadFile(record), "/p\n/r\n");
    EXPECT_EQ(e2e::Road(Log()), (e2e::Names{"submit V", "done V"}));
    for (const std::string& breach :
         Breaches(planted, {scene.queue, scene.processed, scene.failed}, IsResultFile))
        ADD_FAILURE() << breach;
    std::cout << "SIGTERM during a viewer's wait: Tesmaro ended after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms\n";
}

class DamagedSettings : public ProgramTorture {};

TEST_F(DamagedSettings, TesmaroStartsWithDefaultsAndLeavesTheFileAsItWas) {
    // Defaults: the queue is the working directory, the status file a
    // relative name in it.
    std::string garbage = "[Settings\n\xff\xfeQueueDir=\"/nowhere\nWaitBeforeSubmit=12abc\n";
    garbage += std::string(5000, '\0');
    // Usable settings, but too many bytes to be read at all.
    const std::string tooLarge = "[Settings]\nQueueDir=/nowhere\n;" + std::string(2 << 20, 'x');
    const std::string fifo = scene.root + "/settings.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        const char* what;
        std::string content; // empty: a FIFO
        bool linked;         // the settings file is a link to the entry
    };
    const Case cases[] = {
        {"garbage", garbage, false},
        {"larger than 1 MiB", tooLarge, false},
        {"a FIFO", "", false},
        {"a link to a FIFO", "", true},
    };
    Plant(scene.queue + "/B.olb", OneSample("B"));
    const std::string defaultStatusFile = scene.queue + "/c:\\sampling.sem";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        unlink(scene.SettingsFile().c_str());
        unlink(defaultStatusFile.c_str());
        if (c.linked)
            ASSERT_EQ(symlink(fifo.c_str(), scene.SettingsFile().c_str()), 0);
        else if (c.content.empty())
            ASSERT_EQ(mkfifo(scene.SettingsFile().c_str(), 0600), 0);
        else
            ASSERT_TRUE(e2e::WriteFile(scene.SettingsFile(), c.content));
        struct stat before {};
        ASSERT_EQ(lstat(scene.SettingsFile().c_str(), &before), 0);
        TesmaroProcess::Options options;
        options.workingDirectory = scene.queue;
        options.environment = scene.Environment();
        options.outputPath = scene.output;
        tesmaro = std::make_unique<TesmaroProcess>(options);
        const auto started = std::chrono::steady_clock::now();
        ASSERT_TRUE(tesmaro->Start());
        // No suite runs: the batch waits and the default status file shows it.
        EXPECT_TRUE(WaitFor([&] { return Exists(defaultStatusFile); }, e2e::kStartLimit));
        const auto took = std::chrono::steady_clock::now() - started;
        EXPECT_FALSE(tesmaro->HasEnded());
        EXPECT_EQ(tesmaro->Stop(), 0) << "a signal did not end it normally";
        struct stat after {};
        ASSERT_EQ(lstat(scene.SettingsFile().c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mode, before.st_mode);
        if (!c.content.empty()) {
            EXPECT_EQ(e2e::ReadFile(scene.SettingsFile()), c.content);
        }
        EXPECT_TRUE(Exists(scene.queue + "/B.olb"));
        std::cout << "settings file " << c.what << ": first tick after "
                  << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms\n";
    }
}

namespace {

// Users made for a test, in a group of their own; removed again however the
// test ends (after their programs, which must be gone first).
class TemporaryUsers {
public:
    TemporaryUsers(int count, const std::string& log) : m_log(log) {
        const std::string stem = "tsm" + std::to_string(getpid());
        if (!RunTool({"groupadd", stem + "g"}, log))
            return;
        m_group = stem + "g";
        for (int i = 0; i < count; ++i) {
            const std::string name = stem + static_cast<char>('a' + i);
            if (!RunTool({"useradd", "-M", "-N", "-g", m_group, "-s", "/bin/false", name}, log))
                return;
            m_names.push_back(name);
        }
    }
    ~TemporaryUsers() {
        for (const std::string& name : m_names)
            RunTool({"userdel", name}, m_log);
        if (!m_group.empty())
            RunTool({"groupdel", m_group}, m_log);
    }
    TemporaryUsers(const TemporaryUsers&) = delete;
    TemporaryUsers& operator=(const TemporaryUsers&) = delete;

    std::size_t Count() const { return m_names.size(); }
    const std::string& Name(int i) const { return m_names[static_cast<std::size_t>(i)]; }
    uid_t Uid(int i) const {
        const passwd* entry = getpwnam(Name(i).c_str());
        return entry != nullptr ? entry->pw_uid : 0;
    }
    gid_t Group() const {
        const group* entry = getgrnam(m_group.c_str());
        return entry != nullptr ? entry->gr_gid : 0;
    }

private:
    std::string m_log;
    std::string m_group;
    std::vector<std::string> m_names;
};

// The umask of this process while the object lives; programs started
// meanwhile inherit it.
struct Umask {
    explicit Umask(mode_t mask) : old(umask(mask)) {}
    ~Umask() { umask(old); }
    Umask(const Umask&) = delete;
    Umask& operator=(const Umask&) = delete;
    mode_t old;
};

// How the queue's own folder and its files breach the rule that they have
// the queue directory's group and group permissions and give others nothing.
std::vector<std::string> FolderAccessFaults(const std::string& queue) {
    std::vector<std::string> faults;
    struct stat dir {};
    const std::string folder = queue + "/" + platform::kQueueFolderName;
    if (stat(queue.c_str(), &dir) != 0)
        return {"the queue directory is gone"};
    std::vector<std::string> paths = {folder};
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
        paths.push_back(entry.path().string());
    for (const std::string& path : paths) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) {
            faults.push_back(path + " cannot be looked at");
            continue;
        }
        // The folder gets the directory's group bits; its files read and write.
        const mode_t groupBits = (dir.st_mode & 0070) & (S_ISDIR(st.st_mode) ? 0070 : 0060);
        char mode[16];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        if (st.st_gid != dir.st_gid || (st.st_mode & 0070) != groupBits || (st.st_mode & 0007) != 0)
            faults.push_back(path + " has group " + std::to_string(st.st_gid) + ", mode " + mode);
    }
    return faults;
}

// Operators taking turns: how the first one's Tesmaro ends, and the umask
// both run under.
struct OperatorChange {
    const char* how;
    bool killed; // SIGKILL; else SIGTERM
    mode_t umask;
};
const OperatorChange kOperatorChanges[] = {
    {"killed, umask 077", true, 077},
    {"closed, umask 022", false, 022},
};

// A queue with its filing and signal directories, shared through a group.
struct SharedTree {
    explicit SharedTree(const std::string& path)
        : root(path), queue(path + "/queue"), processed(path + "/Processed"),
          failed(path + "/Failed"), signals(path + "/signals") {}
    // Creates them, the group's and setgid: the root 2750, the others 2770.
    bool Make(gid_t group) const {
        for (const std::string* dir : {&root, &queue, &processed, &failed, &signals})
            if (mkdir(dir->c_str(), 0700) != 0 || chown(dir->c_str(), 0, group) != 0 ||
                chmod(dir->c_str(), dir == &root ? 02750 : 02770) != 0)
                return false;
        return true;
    }
    // `settings` aimed at these directories.
    e2e::SettingsValues Aim(e2e::SettingsValues settings) const {
        settings["QueueDir"] = queue;
        settings["ProcessedDir"] = processed;
        settings["FailedDir"] = failed;
        settings["StatusFile"] = StatusFile();
        settings["AbortFile"] = signals + "/abort.sem";
        return settings;
    }
    std::string StatusFile() const { return signals + "/sampling.sem"; }

    std::string root, queue, processed, failed, signals;
};

// How another account writes a batch file into the queue.
struct ForeignWriting {
    const char* how;
    bool holdsOpen; // one open, held without writing while the test waits; else a reopen per line
};
const ForeignWriting kForeignWritings[] = {
    {"a writer that pauses longer than the settle time", true},
    {"a writer that closes and reopens to append", false},
};
// The reopening writer's lines and their spacing: half the settle time (1 s).
constexpr int kAppendedLines = 8;
constexpr long kAppendSpacingNs = 500'000'000;
constexpr std::int64_t kSettleNs = 1'000'000'000;

// What a writer tells the test.
struct WriterReport {
    char what = 'x';     // 'w': first line written, file held; 'c': closed for good; 'x': failed
    double closedAt = 0; // calendar seconds right after its last close
    std::int64_t longestGapNs = 0; // the longest time between two of its writes
};

std::int64_t MonotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// The child's side: it takes the user's ids and writes with plain system
// calls only, as is safe after a fork; it never returns.
[[noreturn]] void WriteAsUser(const char* path, const std::vector<std::string>& lines,
                              bool holdsOpen, uid_t uid, gid_t gid, int go, int reports) {
    WriterReport report;
    const auto send = [&](char what) {
        report.what = what;
        return write(reports, &report, sizeof report) == static_cast<ssize_t>(sizeof report);
    };
    const auto put = [](int fd, const std::string& line) {
        return fd >= 0 && write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    };
    umask(007);
    bool ok =
        setgroups(1, &gid) == 0 && setresgid(gid, gid, gid) == 0 && setresuid(uid, uid, uid) == 0;
    if (ok && holdsOpen) {
        const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0660);
        char goOn = 0;
        ok = put(fd, lines.front()) && send('w') && read(go, &goOn, 1) == 1;
        for (std::size_t i = 1; ok && i < lines.size(); ++i)
            ok = put(fd, lines[i]);
        ok = close(fd) == 0 && ok;
    }
    std::int64_t lastWrite = 0;
    for (std::size_t i = 0; ok && !holdsOpen && i < lines.size(); ++i) {
        const timespec spacing{0, kAppendSpacingNs};
        if (i > 0)
            nanosleep(&spacing, nullptr);
        // As a logging program appends: the file is made again if it has gone.
        const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0660);
        ok = put(fd, lines[i]);
        const std::int64_t now = MonotonicNs();
        if (i > 0)
            report.longestGapNs = std::max(report.longestGapNs, now - lastWrite);
        lastWrite = now;
        ok = close(fd) == 0 && ok;
    }
    timespec closed{};
    clock_gettime(CLOCK_REALTIME, &closed);
    report.closedAt =
        static_cast<double>(closed.tv_sec) + static_cast<double>(closed.tv_nsec) / 1e9;
    send(ok ? 'c' : 'x');
    _exit(ok ? 0 : 1);
}

// A batch file written by another user, in a forked child (no shell, no
// exec). A holding writer writes the first line and goes on when told; a
// reopening one appends a line at a time. Killed and reaped when the object
// goes away.
class ForeignWriter {
public:
    ForeignWriter(const std::string& path, const std::vector<std::string>& lines, bool holdsOpen,
                  uid_t uid, gid_t gid) {
        int go[2], reports[2];
        if (pipe2(go, O_CLOEXEC) != 0)
            return;
        if (pipe2(reports, O_CLOEXEC) != 0) {
            close(go[0]);
            close(go[1]);
            return;
        }
        m_pid = fork();
        if (m_pid == 0)
            WriteAsUser(path.c_str(), lines, holdsOpen, uid, gid, go[0], reports[1]);
        close(go[0]);
        close(reports[1]);
        m_go = go[1];
        m_reports = reports[0];
    }
    ~ForeignWriter() {
        close(m_go);
        close(m_reports);
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    ForeignWriter(const ForeignWriter&) = delete;
    ForeignWriter& operator=(const ForeignWriter&) = delete;

    bool Started() const { return m_pid > 0; }
    // Its next report; a failure when none comes within `limit`.
    WriterReport Next(std::chrono::milliseconds limit) const {
        WriterReport report;
        pollfd ready{m_reports, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(limit.count())) != 1 ||
            read(m_reports, &report, sizeof report) != static_cast<ssize_t>(sizeof report))
            report.what = 'x';
        return report;
    }
    // Lets a holding writer write the rest and close.
    bool GoOn() const { return write(m_go, "g", 1) == 1; }

private:
    pid_t m_pid = -1;
    int m_go = -1;
    int m_reports = -1;
};

std::vector<simtest::SimLogEntry> HandOversOf(const std::string& simLog, const std::string& path) {
    std::vector<simtest::SimLogEntry> found;
    for (const simtest::SimLogEntry& entry : simtest::ReadSimLog(simLog))
        if (entry.call == "QueueSampleBatch" && entry.path == path)
            found.push_back(entry);
    return found;
}

std::size_t Occurrences(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

} // namespace

// A change of operator with real users: Tesmaro runs as user A on a queue
// directory that A shares with B through a group (mode 2770), and ends while
// the suite runs A's batch; then B runs Tesmaro on the same queue, each with
// a suite of their own. B must take the batch up without handing it over
// again and file it, and hand over the next one itself. The queue's own folder
// gets the directory's group and group permissions, whatever the umask, and
// never gives others access.
class ChangeOfOperator : public ProgramTorture {
protected:
    void SetUp() override {
        ProgramTorture::SetUp();
        const std::string why =
            WhyNotPrivileged({"groupadd", "groupdel", "useradd", "userdel", "setpriv"});
        if (!why.empty())
            GTEST_SKIP() << why;
    }

    // One user's suite and Tesmaro; stopped when the object goes away.
    struct Operator {
        std::string home;
        std::string simLog;
        testsupport::ChildUnderTest suite;
        testsupport::ChildUnderTest tesmaro;
    };

    // `argv` run as the user, in the group, with the user's environment.
    testsupport::SpawnRequest AsUser(const TemporaryUsers& users, int user,
                                     const std::vector<std::string>& argv,
                                     const std::string& output) const {
        std::vector<std::string> all = {
            FindProgram("setpriv"), "--reuid=" + std::to_string(users.Uid(user)),
            "--regid=" + std::to_string(users.Group()), "--init-groups", "--"};
        all.insert(all.end(), argv.begin(), argv.end());
        const std::string home = scene.root + "/" + users.Name(user);
        return {all,
                {{"HOME", home},
                 {"XDG_CONFIG_HOME", scene.configHome},
                 {"XDG_STATE_HOME", home + "/state"},
                 {"XDG_RUNTIME_DIR", home},
                 {"XDG_CACHE_HOME", home + "/cache"},
                 {"KORVANE_SIM_SOCKET", home + "/sim.sock"},
                 {"QT_QPA_PLATFORM", "offscreen"}},
                output,
                scene.root};
    }

    // The users reach their own directories, the shared ones and the settings.
    void OpenScene() const {
        ASSERT_EQ(chmod(scene.root.c_str(), 0711), 0);
        ASSERT_EQ(chmod(scene.configHome.c_str(), 0755), 0);
        ASSERT_EQ(chmod((scene.configHome + "/Orbinel").c_str(), 0755), 0);
    }
    // False when the machine keeps other users from running the built programs.
    bool CanRunPrograms(const TemporaryUsers& users, const std::string& log) const {
        return RunTool({"setpriv", "--reuid=" + std::to_string(users.Uid(0)),
                        "--regid=" + std::to_string(users.Group()), "--init-groups", "--", "test",
                        "-x", TesmaroProcess::Executable()},
                       log);
    }

    // Starts the user's suite and Tesmaro.
    bool StartOperator(const TemporaryUsers& users, int user, Operator& op) {
        op.home = scene.root + "/" + users.Name(user);
        op.simLog = op.home + "/sim.log";
        mkdir(op.home.c_str(), 0700);
        mkdir((op.home + "/state").c_str(), 0700);
        mkdir((op.home + "/cache").c_str(), 0700);
        for (const char* dir : {"", "/state", "/cache"})
            if (chown((op.home + dir).c_str(), users.Uid(user), users.Group()) != 0)
                return false;
        const std::string output = scene.root + "/" + users.Name(user) + ".out";
        if (!op.suite.Start(
                AsUser(users, user,
                       {simtest::SimProcess::Executable(), "--socket", op.home + "/sim.sock",
                        "--log", op.simLog, "--item-seconds", "0.3"},
                       output)) ||
            !WaitFor([&] { return Exists(op.home + "/sim.sock"); }))
            return false;
        return op.tesmaro.Start(AsUser(users, user, {TesmaroProcess::Executable()}, output));
    }
};

TEST_F(ChangeOfOperator, TheNextOperatorNeverHandsABatchOverAgainAndTheFolderStaysTheGroups) {
    const std::string log = scene.root + "/tools.out";
    TemporaryUsers users(2, log);
    if (users.Count() != 2)
        GTEST_SKIP() << "users could not be added: " << e2e::ReadFile(log);
    const gid_t group = users.Group();
    ASSERT_NO_FATAL_FAILURE(OpenScene());
    if (!CanRunPrograms(users, log))
        GTEST_SKIP() << "the built programs cannot be run by other users here";

    for (std::size_t row = 0; row < std::size(kOperatorChanges); ++row) {
        const OperatorChange& change = kOperatorChanges[row];
        SCOPED_TRACE(change.how);
        const SharedTree tree(scene.root + "/shared" + std::to_string(row));
        ASSERT_TRUE(tree.Make(group));
        const std::string& queue = tree.queue;
        const std::string& processed = tree.processed;
        const std::string& failed = tree.failed;
        e2e::SettingsValues settings = tree.Aim(scene.TestSettings());
        settings["WaitBeforeSubmit"] = "0";
        ASSERT_TRUE(scene.WriteSettings(settings));
        Planted planted;
        const auto drop = [&](const std::string& title, int user) {
            for (const char* extension : {".notes", ".olb"}) {
                const std::string path = queue + "/" + title + extension;
                planted[title + extension] = Plant(path, title + "\nS1\nS2\nS3\n");
                ASSERT_EQ(chown(path.c_str(), users.Uid(user), group), 0);
                ASSERT_EQ(chmod(path.c_str(), 0660), 0);
            }
        };
        const std::string first = "U" + std::to_string(row) + "-A";
        const std::string second = "U" + std::to_string(row) + "-B";
        ASSERT_NO_FATAL_FAILURE(drop(first, 0));

        Operator a, b;
        {
            const Umask mask(change.umask);
            ASSERT_TRUE(StartOperator(users, 0, a));
        }
        const auto handedOver = [](const std::string& simLog, const std::string& title) {
            return e2e::SubmissionOf(simtest::ReadSimLog(simLog), title);
        };
        ASSERT_TRUE(
            WaitFor([&] { return handedOver(a.simLog, first).has_value(); }, e2e::kStartLimit));
        ASSERT_EQ(handedOver(a.simLog, first)->result, std::optional<long long>(1));
        if (change.killed)
            a.tesmaro.Kill();
        else
            EXPECT_EQ(a.tesmaro.Stop(), std::optional<int>(0));
        for (const std::string& fault : FolderAccessFaults(queue))
            ADD_FAILURE() << "after A: " << fault;
        // A's suite finishes the batch (its result joins the queue) and A leaves.
        ASSERT_TRUE(WaitFor([&] {
            const auto entries = simtest::ReadSimLog(a.simLog);
            return std::any_of(entries.begin(), entries.end(), [&](const auto& entry) {
                return entry.call == "done" && e2e::TitleOf(entry.path) == first;
            });
        }));
        a.suite.Stop();
        ASSERT_NO_FATAL_FAILURE(drop(second, 1));

        {
            const Umask mask(change.umask);
            ASSERT_TRUE(StartOperator(users, 1, b));
        }
        ASSERT_TRUE(WaitFor([&] { return FilesIn(queue).empty(); }, e2e::kStartLimit))
            << FilesIn(queue).size() << " files left in the queue";
        EXPECT_FALSE(b.tesmaro.HasEnded());
        EXPECT_FALSE(handedOver(b.simLog, first).has_value()) << first << " was handed over again";
        EXPECT_TRUE(handedOver(b.simLog, second).has_value());
        for (const std::string& breach : Breaches(planted, {processed, failed}, IsResultFile))
            ADD_FAILURE() << breach;
        for (const std::string& breach : Misfilings(planted, {processed, failed}))
            ADD_FAILURE() << breach;
        for (const std::string& fault : FolderAccessFaults(queue))
            ADD_FAILURE() << "after B: " << fault;
        std::cout << change.how << ": " << first << " filed to "
                  << (Exists(processed + "/" + first + ".olb") ? "Processed" : "Failed")
                  << " by B without a second hand-over\n";
    }
}

// A batch file that another account is still writing, on a queue shared
// through a group: Tesmaro and its suite run as user A, who gets no lease on
// B's file, so only the watcher's view of writers holds the batch back. It
// must never reach the suite while B writes, and must reach it once, whole,
// after B's last close. The reopening writer leaves the file closed between
// lines, for less than the settle time each.
class AnotherUsersWriter : public ChangeOfOperator {};

TEST_F(AnotherUsersWriter, ABatchGoesOverOnceAndWholeOnlyAfterItsWriterHasClosedIt) {
    // Ticks that find the held file settled, after the one that said it
    // waits: the window in which an early hand-over would show.
    constexpr int kWindowTicks = 3;
    const std::string log = scene.root + "/tools.out";
    TemporaryUsers users(2, log);
    if (users.Count() != 2)
        GTEST_SKIP() << "users could not be added: " << e2e::ReadFile(log);
    ASSERT_NO_FATAL_FAILURE(OpenScene());
    if (!CanRunPrograms(users, log))
        GTEST_SKIP() << "the built programs cannot be run by other users here";
    const std::string output = scene.root + "/" + users.Name(0) + ".out";

    for (std::size_t row = 0; row < std::size(kForeignWritings); ++row) {
        const ForeignWriting& writing = kForeignWritings[row];
        SCOPED_TRACE(writing.how);
        const SharedTree tree(scene.root + "/written" + std::to_string(row));
        ASSERT_TRUE(tree.Make(users.Group()));
        e2e::SettingsValues settings = tree.Aim(scene.TestSettings());
        settings["WaitBeforeSubmit"] = "1";
        ASSERT_TRUE(scene.WriteSettings(settings));
        Operator a;
        ASSERT_TRUE(StartOperator(users, 0, a));
        // Writes made before the watch are not seen: B starts after a tick
        // that found the queue watched. Such a tick says nothing; one that
        // did not says writers-unseen, and a later one writers-seen.
        const std::string seen = " writers-seen dir=" + tree.queue + "\n";
        const std::string unseen = " writers-unseen dir=" + tree.queue + " why=";
        bool watched = false;
        for (int tick = 0; tick < 30 && !watched; ++tick) {
            // An idle tick removes the status file.
            ASSERT_TRUE(e2e::WriteFile(tree.StatusFile(), ""));
            ASSERT_TRUE(WaitFor([&] { return !Exists(tree.StatusFile()); }, e2e::kStartLimit))
                << e2e::ReadFile(output);
            const std::string text = e2e::ReadFile(output);
            const auto unseenAt = text.rfind(unseen);
            const auto seenAt = text.rfind(seen);
            if (unseenAt != std::string::npos &&
                text.compare(unseenAt + unseen.size(), 7, "network") == 0)
                GTEST_SKIP() << "writers on this file system cannot be seen";
            watched =
                unseenAt == std::string::npos || (seenAt != std::string::npos && seenAt > unseenAt);
        }
        ASSERT_TRUE(watched) << e2e::ReadFile(output);

        const std::string path = tree.queue + "/B.olb";
        std::vector<std::string> lines = {"Sample list of B\n"};
        while (lines.size() < (writing.holdsOpen ? 4u : std::size_t{kAppendedLines}))
            lines.push_back("S" + std::to_string(lines.size()) + "\n");
        const auto heldFrom = std::chrono::steady_clock::now();
        ForeignWriter writer(path, lines, writing.holdsOpen, users.Uid(1), users.Group());
        ASSERT_TRUE(writer.Started());
        const std::string waits = " batch-being-written title=B path=" + path + "\n";
        if (writing.holdsOpen) {
            ASSERT_EQ(writer.Next(e2e::kLimit).what, 'w');
            const auto early = [&] { return !HandOversOf(a.simLog, path).empty(); };
            // Said once the settle time has passed since the first line.
            ASSERT_TRUE(WaitFor([&] {
                return Occurrences(e2e::ReadFile(output), waits) > 0 || early();
            })) << "Tesmaro did not say that B waits for its writer";
            // While work waits, each tick makes the status file again: its
            // return after a removal means the tick before has run in full.
            for (int tick = 0; tick <= kWindowTicks && !early(); ++tick) {
                if (unlink(tree.StatusFile().c_str()) != 0) {
                    ASSERT_EQ(errno, ENOENT);
                }
                ASSERT_TRUE(WaitFor([&] { return Exists(tree.StatusFile()); }));
            }
            ASSERT_FALSE(early()) << "handed over while its writer still had it open:\n"
                                  << e2e::ReadFile(output);
            ASSERT_TRUE(writer.GoOn());
        }
        const WriterReport closed = writer.Next(e2e::kLimit);
        ASSERT_EQ(closed.what, 'c');
        const auto held = std::chrono::steady_clock::now() - heldFrom;
        if (closed.longestGapNs >= kSettleNs)
            GTEST_SKIP() << "the writer was held up " << closed.longestGapNs / 1'000'000
                         << " ms between two lines, beyond the settle time";

        ASSERT_TRUE(WaitFor([&] {
            return Exists(tree.processed + "/B.olb") && FilesIn(tree.queue).empty();
        })) << FilesIn(tree.queue).size()
            << " files left in the queue";
        EXPECT_FALSE(a.tesmaro.HasEnded());
        const auto handOvers = HandOversOf(a.simLog, path);
        EXPECT_EQ(handOvers.size(), 1u) << e2e::ReadFile(output);
        for (const simtest::SimLogEntry& entry : handOvers)
            EXPECT_GT(entry.t - closed.closedAt, 0.0)
                << "seconds from its writer's last close to a hand-over";
        std::string whole;
        for (const std::string& line : lines)
            whole += line;
        EXPECT_EQ(e2e::ReadFile(tree.processed + "/B.olb"), whole);
        if (writing.holdsOpen) {
            EXPECT_EQ(Occurrences(e2e::ReadFile(output), waits), 1u);
        }
        std::cout << writing.how << ": written for "
                  << std::chrono::duration_cast<std::chrono::milliseconds>(held).count()
                  << " ms, handed over "
                  << (handOvers.empty() ? -1.0 : handOvers.front().t - closed.closedAt)
                  << " s after the last close\n";
    }
}
