// Power cuts at every file-system call of a batch's road, in the manner of
// ALICE and CrashMonkey: each scenario is first run without a cut to count its
// calls; then, for every k, it runs again on a fresh disk with the power going
// off after the k-th call, the program (a new engine) starts again on what the
// disk kept, and the invariant is checked: the suite runs each batch at most
// once, each viewer operation runs at most once per batch, and every file of
// every batch ends, whole and with its content, exactly once in Processed or
// Failed, all files of a batch in the same one, Processed only for a batch the
// suite accepted.

#include "engine/CBatchQueue.h"
#include "platform/DurableMove.h"
#include "support/CrashFileOps.h"
#include "support/FakeQueueLibrary.h"
#include "support/MemoryFinder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

using testsupport::CrashFileOps;

namespace {

const std::string kQueue = "/data/queue";
const std::string kFailed = "/data/Failed";
const std::string kAbortFile = "/data/abort.sem";
const std::vector<std::string> kBatches = {"B", "C"};
const std::vector<std::string> kExtensions = {".olb", ".rpt", ".log"};
// Ticks a restarted program gets to file everything.
constexpr int kTicksAfterRestart = 30;

struct Scenario {
    const char* name;
    std::string processedDir = "/data/Processed";
    // Where Processed lives on a file system of its own (rename gives EXDEV).
    const char* otherDevice = nullptr;
    bool viewers = false;
    int accepts = 1; // what the suite answers a hand-over
    // The abort file appears once the suite has accepted a batch.
    bool abortWhenAccepted = false;
    // Processed's parent is missing (so filing fails) until this tick; the
    // engine makes Processed itself.
    int parentAppearsAtTick = -1;
    // Whether the suite still holds its items after the reboot (it runs on
    // another machine), or comes back empty.
    bool suiteKeepsItems = false;
    // false: no birth times, and inodes renumbered at each reboot.
    bool birthTimes = true;
    // Where each batch ends in the run without a cut.
    const char* uncutDestination = "Processed";
};

// Whether a call to the suite or a viewer really happens: not once the power
// is off. A cut after call k falls before a call to the suite or a viewer made
// between file-system calls k and k+1; for each such call (`effects`, seen in
// the run without a cut) one more run cuts the power right after it instead
// (`lateCallsAt` = k): there it still happens.
struct Power {
    explicit Power(const CrashFileOps& files) : fs(files) {}
    const CrashFileOps& fs;
    std::optional<std::uint64_t> lateCallsAt;
    std::vector<std::uint64_t> effects; // the call counts at which they happened

    bool On() const { return !fs.PoweredOff() || (lateCallsAt && fs.Calls() == *lateCallsAt); }
    void Effect() { effects.push_back(fs.Calls()); }
};

// The suite: accepts (or refuses) a batch, holds it for one tick, then is done.
class Suite final : public external::QueueLibrary {
public:
    explicit Suite(Power& power) : m_power(power) {}
    int IsKorvaneRunning() override { return m_power.On() ? 1 : 0; }
    int GetNumberOfQueueItems() override { return m_power.On() ? items : 0; }
    int QueueControl(int code) override {
        if (!m_power.On())
            return 0;
        if (code == 1) // stop: what it held is dropped
            items = busyTicks = 0;
        return 1;
    }
    int QueueSampleBatch(const std::string& path, int, int, int, int) override {
        if (!m_power.On())
            return 0;
        m_power.Effect();
        const std::string name = path.substr(path.rfind('/') + 1);
        ++handedOver[name];
        if (accepts == 0)
            return 0;
        accepted.insert(name);
        items = busyTicks = 1;
        return 1;
    }
    void NextTick() {
        if (busyTicks > 0)
            --busyTicks;
        else
            items = 0;
    }

    int accepts = 1;
    int items = 0;
    int busyTicks = 0;
    std::map<std::string, int> handedOver; // by batch file name
    std::set<std::string> accepted;

private:
    Power& m_power;
};

class Viewers final : public platform::ProcessLauncher {
public:
    explicit Viewers(Power& power) : m_power(power) {}
    platform::RunOutcome RunAndWait(const platform::ProcessRequest& request,
                                    std::chrono::milliseconds) override {
        if (!m_power.On())
            return {platform::RunOutcome::End::NotStarted, EIO};
        m_power.Effect();
        ++runs[request.arguments.at(1) + " " + request.arguments.at(2)];
        return {platform::RunOutcome::End::Exited, 0};
    }
    void ReapEnded() override {}

    std::map<std::string, int> runs; // by "<result file> <operation>"

private:
    Power& m_power;
};

// Passes every call on, and logs it (with the path a descriptor was opened
// on) while `log` is set, so that a violation can show the calls around its
// cut. The log's i-th line is the (i+1)-th counted call.
class TracedFileOps final : public platform::FileOps {
public:
    explicit TracedFileOps(CrashFileOps& fs) : m_fs(fs) {}
    std::vector<std::string>* log = nullptr;

    int Open(const char* path, int flags, mode_t mode) override {
        Note("Open", path);
        const int fd = m_fs.Open(path, flags, mode);
        if (fd >= 0)
            m_paths[fd] = path;
        return fd;
    }
    ssize_t Read(int fd, void* buf, size_t count) override {
        Note("Read", fd);
        return m_fs.Read(fd, buf, count);
    }
    ssize_t Write(int fd, const void* buf, size_t count) override {
        Note("Write", fd);
        return m_fs.Write(fd, buf, count);
    }
    int Fsync(int fd) override {
        Note("Fsync", fd);
        return m_fs.Fsync(fd);
    }
    int Close(int fd) override {
        Note("Close", fd);
        return m_fs.Close(fd);
    }
    int Fstat(int fd, struct stat* st) override {
        Note("Fstat", fd);
        return m_fs.Fstat(fd, st);
    }
    int Lstat(const char* path, struct stat* st) override {
        Note("Lstat", path);
        return m_fs.Lstat(path, st);
    }
    int Rename(const char* from, const char* to) override {
        Note("Rename", std::string(from) + " -> " + to);
        return m_fs.Rename(from, to);
    }
    int Unlink(const char* path) override {
        Note("Unlink", path);
        return m_fs.Unlink(path);
    }
    int Mkdir(const char* path, mode_t mode) override {
        Note("Mkdir", path);
        return m_fs.Mkdir(path, mode);
    }
    int SetLease(int fd, int type) override {
        Note("SetLease", fd);
        return m_fs.SetLease(fd, type);
    }
    int GetLease(int fd) override {
        Note("GetLease", fd);
        return m_fs.GetLease(fd);
    }
    off_t Lseek(int fd, off_t offset, int whence) override {
        Note("Lseek", fd);
        return m_fs.Lseek(fd, offset, whence);
    }
    int Ftruncate(int fd, off_t length) override {
        Note("Ftruncate", fd);
        return m_fs.Ftruncate(fd, length);
    }
    int Futimens(int fd, const struct timespec times[2]) override {
        Note("Futimens", fd);
        return m_fs.Futimens(fd, times);
    }
    int ReadDirectory(int fd, const std::function<void(const char*)>& visit) override {
        Note("ReadDirectory", fd);
        return m_fs.ReadDirectory(fd, visit);
    }
    int LinkUnnamed(int fd, const char* to) override {
        Note("LinkUnnamed", to);
        return m_fs.LinkUnnamed(fd, to);
    }
    int SetAttribute(int fd, const char* name, const void* value, size_t size) override {
        Note("SetAttribute", fd);
        return m_fs.SetAttribute(fd, name, value, size);
    }
    int RemoveAttribute(int fd, const char* name) override {
        Note("RemoveAttribute", fd);
        return m_fs.RemoveAttribute(fd, name);
    }
    ssize_t GetAttribute(const char* path, const char* name, void* value, size_t size) override {
        Note("GetAttribute", path);
        return m_fs.GetAttribute(path, name, value, size);
    }
    int Statx(int dirFd, const char* path, int flags, unsigned mask, struct statx* out) override {
        Note("Statx", path);
        return m_fs.Statx(dirFd, path, flags, mask, out);
    }
    int Flock(int fd, int operation) override {
        Note("Flock", fd);
        return m_fs.Flock(fd, operation);
    }
    int Fchmod(int fd, mode_t mode) override {
        Note("Fchmod", fd);
        return m_fs.Fchmod(fd, mode);
    }
    int Fchown(int fd, uid_t owner, gid_t group) override {
        Note("Fchown", fd);
        return m_fs.Fchown(fd, owner, group);
    }
    ssize_t Readlink(const char* path, char* buf, size_t size) override {
        Note("Readlink", path);
        return m_fs.Readlink(path, buf, size);
    }
    int ReadDirectoryPart(int fd, const std::function<void(const char*)>& visit,
                          int maxEntries) override {
        Note("ReadDirectoryPart", fd);
        return m_fs.ReadDirectoryPart(fd, visit, maxEntries);
    }

private:
    void Note(const char* call, const std::string& what) {
        if (log != nullptr)
            log->push_back(std::string(call) + " " + what);
    }
    void Note(const char* call, int fd) {
        if (log == nullptr)
            return;
        const auto path = m_paths.find(fd);
        Note(call, path != m_paths.end() ? path->second : "fd " + std::to_string(fd));
    }

    CrashFileOps& m_fs;
    std::map<int, std::string> m_paths;
};

std::string Content(const std::string& file) {
    return "content of " + file + "\n" + std::string(file.size() * 7, 'x') + "\n";
}

bool IsBatchFile(const std::string& name) {
    for (const std::string& batch : kBatches)
        for (const std::string& extension : kExtensions)
            if (name == batch + extension)
                return true;
    return false;
}

// One history of the program on one disk: runs, cuts, restarts.
class History {
public:
    History(const Scenario& scenario, std::optional<std::uint64_t> cut, bool lateCalls,
            std::vector<std::string>* log)
        : m_scenario(scenario) {
        if (scenario.otherDevice != nullptr)
            m_fs.AddFileSystem(scenario.otherDevice);
        m_fs.SetBirthTimes(scenario.birthTimes);
        for (const std::string& batch : kBatches)
            for (const std::string& extension : kExtensions)
                m_fs.WriteFile(kQueue + "/" + batch + extension, Content(batch + extension));
        m_fs.MakeDirectories(kFailed);
        if (scenario.parentAppearsAtTick < 0)
            m_fs.MakeDirectories(scenario.processedDir);
        m_params.QueueDir = kQueue;
        m_params.ProcessedDir = scenario.processedDir;
        m_params.FailedDir = kFailed;
        m_params.Filters = "*.olb";
        m_params.StatusFile = "/data/status.sem";
        m_params.AbortFile = kAbortFile;
        m_params.Acquire = 1;
        m_params.Process = 1;
        m_params.PrintReport = scenario.viewers ? 1 : 0;
        m_params.CreateSummary = scenario.viewers ? 1 : 0;
        m_params.BrowserFile = "/opt/tools/Telvorn.exe";
        m_suite.accepts = scenario.accepts;
        m_files.log = log;
        if (cut) {
            m_fs.CutAfter(*cut);
            if (lateCalls)
                m_power.lateCallsAt = *cut;
        }
        Start();
    }

    // Ticks until everything is filed: a program whose power goes off is
    // gone, the disk keeps what it made durable, and a new program starts on
    // it. False when it does not finish within its ticks.
    bool Finish(int ticks) {
        for (int left = ticks; left > 0; --left) {
            Tick();
            if (m_fs.PoweredOff()) {
                m_engine.reset();
                m_fs.Crash();
                if (!m_scenario.birthTimes)
                    m_fs.RenumberInodes();
                if (!m_scenario.suiteKeepsItems)
                    m_suite.items = m_suite.busyTicks = 0;
                m_files.log = nullptr;
                Start();
                left = kTicksAfterRestart + 1;
            } else if (Done()) {
                return true;
            }
        }
        return false;
    }

    std::uint64_t Calls() const { return m_fs.Calls(); }
    const std::vector<std::uint64_t>& Effects() const { return m_power.effects; }

    // What breaks the invariant; empty when nothing does. Temporary copies
    // that a cut left in a destination are counted in `debris`.
    std::vector<std::string> Violations(int& debris) const {
        std::vector<std::string> found;
        for (const auto& [name, count] : m_suite.handedOver)
            if (count > 1)
                found.push_back(name + " handed to the suite " + std::to_string(count) + " times");
        for (const auto& [run, count] : m_viewers.runs)
            if (count > 1)
                found.push_back("viewer " + run + " ran " + std::to_string(count) + " times");
        std::map<std::string, std::vector<std::string>> places; // by file name
        for (const std::string& dir : {kQueue, m_scenario.processedDir, kFailed}) {
            for (const std::string& name : m_fs.List(dir)) {
                if (name == platform::kQueueFolderName) {
                    // In a destination, Tesmaro's folder holds only temporary copies.
                    if (dir != kQueue)
                        for (const std::string& inside : m_fs.List(dir + "/" + name)) {
                            if (platform::IsTemporaryCopyName(inside, nullptr))
                                ++debris;
                            else
                                found.push_back("stray " + dir + "/" + name + "/" + inside);
                        }
                    continue;
                }
                if (dir != kQueue && platform::IsTemporaryCopyName(name, nullptr)) {
                    ++debris;
                    continue;
                }
                if (!IsBatchFile(name)) {
                    found.push_back("stray " + dir + "/" + name);
                    continue;
                }
                places[name].push_back(dir);
                const auto content = m_fs.ReadFile(dir + "/" + name);
                if (content != Content(name))
                    found.push_back(dir + "/" + name + " holds \"" + content.value_or("?") + "\"");
            }
        }
        for (const std::string& batch : kBatches) {
            std::set<std::string> dirs;
            for (const std::string& extension : kExtensions) {
                const std::string name = batch + extension;
                const std::vector<std::string>& at = places[name];
                if (at.size() != 1 || at[0] == kQueue) {
                    std::string where;
                    for (const std::string& dir : at)
                        where += " " + dir;
                    found.push_back(name + " is in [" + where + " ]");
                }
                dirs.insert(at.begin(), at.end());
            }
            if (dirs.size() > 1)
                found.push_back(batch + " is filed in parts");
            if (dirs.count(m_scenario.processedDir) != 0 &&
                m_suite.accepted.count(batch + ".olb") == 0)
                found.push_back(batch + " is in Processed but never ran");
        }
        return found;
    }

    // Where each batch's own file ended.
    std::string Destinations() const {
        std::string out;
        for (const std::string& batch : kBatches) {
            if (!out.empty())
                out += " ";
            if (m_fs.Exists(m_scenario.processedDir + "/" + batch + ".olb"))
                out += "Processed";
            else if (m_fs.Exists(kFailed + "/" + batch + ".olb"))
                out += "Failed";
            else
                out += "-";
        }
        return out;
    }
    // Whether a batch was waiting to be filed when Processed's parent appeared.
    bool FilingWaited() const { return m_filingWaited; }
    int ViewerRuns() const {
        int runs = 0;
        for (const auto& [run, count] : m_viewers.runs)
            runs += count;
        return runs;
    }

private:
    void Start() {
        m_engine = std::make_unique<engine::CBatchQueue>(
            engine::EngineServices{&m_suite, &m_clock, testsupport::MemoryFinders(m_fs), &m_files,
                                   &m_viewers, nullptr, nullptr});
        m_engine->SetSettings(m_params);
        m_engine->RestoreRunRecord();
    }

    void Tick() {
        // What happens around the program, between its ticks, is on disk at once.
        const std::string parent =
            m_scenario.processedDir.substr(0, m_scenario.processedDir.rfind('/'));
        if (m_scenario.parentAppearsAtTick >= 0 && m_tick >= m_scenario.parentAppearsAtTick &&
            !m_fs.Exists(parent)) {
            m_fs.MakeDirectories(parent);
            const auto& entries = m_engine->Runs().Entries();
            m_filingWaited =
                std::any_of(entries.begin(), entries.end(),
                            [](const engine::RunEntry& e) { return e.AwaitsFiling(); });
        }
        if (m_scenario.abortWhenAccepted && !m_suite.accepted.empty() && !m_fs.Exists(kAbortFile))
            m_fs.WriteFile(kAbortFile, "");
        m_suite.NextTick();
        m_engine->ProcessStep();
        ++m_tick;
    }

    bool Done() const {
        const std::vector<std::string> left = m_fs.List(kQueue);
        return std::none_of(left.begin(), left.end(), IsBatchFile) && m_engine->Runs().IsEmpty();
    }

    const Scenario& m_scenario;
    CrashFileOps m_fs;
    TracedFileOps m_files{m_fs};
    Power m_power{m_fs};
    Suite m_suite{m_power};
    Viewers m_viewers{m_power};
    testsupport::FakeClock m_clock{1'700'003'600};
    settings::CBatchParams m_params;
    std::unique_ptr<engine::CBatchQueue> m_engine;
    int m_tick = 0;
    bool m_filingWaited = false;
};

std::string Around(const std::vector<std::string>& log, std::uint64_t k) {
    std::string out;
    const std::uint64_t from = k > 6 ? k - 6 : 1;
    for (std::uint64_t call = from; call <= std::min<std::uint64_t>(k + 2, log.size()); ++call)
        out += (call == k ? "  > #" : "    #") + std::to_string(call) + " " + log[call - 1] + "\n";
    return out;
}

// "3-7 9 12+": the cuts, runs of consecutive calls joined; "+" marks a cut
// with the suite's or viewer's call after it made.
std::string Ranges(const std::vector<std::pair<std::uint64_t, bool>>& points) {
    std::string out;
    for (std::size_t i = 0; i < points.size(); ++i) {
        std::size_t last = i;
        while (!points[i].second && last + 1 < points.size() && !points[last + 1].second &&
               points[last + 1].first == points[last].first + 1)
            ++last;
        out += " " + std::to_string(points[i].first) + (points[i].second ? "+" : "");
        if (last > i)
            out += "-" + std::to_string(points[last].first);
        i = last;
    }
    return out;
}

} // namespace

TEST(CrashPoints, EveryBatchRunsAtMostOnceAndIsFiledWholeOnceWhereverThePowerGoesOff) {
    const Scenario scenarios[] = {
        {.name = "filed to Processed within one file system"},
        {.name = "both viewers", .viewers = true, .suiteKeepsItems = true},
        {.name = "Processed on another file system",
         .processedDir = "/disk2/Processed",
         .otherDevice = "/disk2"},
        {.name = "the suite refuses", .accepts = 0, .uncutDestination = "Failed"},
        {.name = "abort while a batch is in flight",
         .abortWhenAccepted = true,
         .suiteKeepsItems = true,
         .uncutDestination = "Failed"},
        {.name = "Processed missing at first, filing retried",
         .processedDir = "/data/out/Processed",
         .parentAppearsAtTick = 4},
        {.name = "no birth times, new inode numbers at each reboot",
         .viewers = true,
         .suiteKeepsItems = true,
         .birthTimes = false},
    };
    std::uint64_t total = 0;
    int debris = 0;
    for (const Scenario& scenario : scenarios) {
        SCOPED_TRACE(scenario.name);
        std::vector<std::string> log;
        History uncut(scenario, std::nullopt, false, &log);
        ASSERT_TRUE(uncut.Finish(kTicksAfterRestart));
        const std::uint64_t calls = uncut.Calls();
        ASSERT_EQ(log.size(), calls);
        int none = 0;
        ASSERT_EQ(uncut.Violations(none), std::vector<std::string>{});
        const std::string destination = scenario.uncutDestination;
        ASSERT_EQ(uncut.Destinations(), destination + " " + destination);
        ASSERT_EQ(uncut.ViewerRuns(), scenario.viewers ? 4 : 0);
        ASSERT_EQ(uncut.FilingWaited(), scenario.parentAppearsAtTick >= 0);

        // After each call, and once more right after each call to the suite
        // or a viewer with that call made.
        std::vector<std::pair<std::uint64_t, bool>> cuts;
        for (std::uint64_t k = 1; k <= calls; ++k)
            cuts.emplace_back(k, false);
        std::set<std::uint64_t> effects(uncut.Effects().begin(), uncut.Effects().end());
        for (const std::uint64_t at : effects)
            cuts.emplace_back(at, true);
        // Each kind of violation once, at the first cut that shows it, with
        // the other cuts that show it.
        std::map<std::string, std::vector<std::pair<std::uint64_t, bool>>> seen;
        for (const auto& [k, lateCalls] : cuts) {
            History cut(scenario, k, lateCalls, nullptr);
            const bool finished = cut.Finish(kTicksAfterRestart);
            std::vector<std::string> violations = cut.Violations(debris);
            if (!finished)
                violations.push_back("not everything filed " + std::to_string(kTicksAfterRestart) +
                                     " ticks after the restart");
            for (const std::string& violation : violations) {
                std::vector<std::pair<std::uint64_t, bool>>& points = seen[violation];
                if (points.empty())
                    ADD_FAILURE() << scenario.name << ": power off after call " << k
                                  << (lateCalls ? " (and the suite's or viewer's call after it)"
                                                : "")
                                  << ": " << violation << "\ncalls:\n"
                                  << Around(log, k);
                points.emplace_back(k, lateCalls);
            }
        }
        for (const auto& [violation, points] : seen)
            ADD_FAILURE() << scenario.name << ": " << violation << " after calls" << Ranges(points);
        std::cout << "[ crash points ] " << scenario.name << ": " << cuts.size() << " (" << calls
                  << " calls, " << effects.size() << " calls to the suite or a viewer)\n";
        total += cuts.size();
    }
    std::cout << "[ crash points ] total " << total << ", temporary copies left behind " << debris
              << "\n";
    testing::Test::RecordProperty("crash_points", std::to_string(total));
}
