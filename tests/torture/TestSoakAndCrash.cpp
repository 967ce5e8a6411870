// The real Tesmaro under crashes and over a long run: SIGKILL at random
// moments while it files batches with large companions (within one file
// system and across two), a soak of many batches with random restarts of
// the suite and stops of Tesmaro aimed at every moment of a batch's road, and
// power cuts on a real disk that comes back under another device number.
// Nothing dropped is ever lost or half-written, and no batch runs twice.

#include "platform/DurableMove.h"
#include "platform/QueueDirectoryLock.h"
#include "sim/SimLog.h"
#include "support/WaitUntil.h"
#include "torture/ProgramTorture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <vector>

using namespace torture;
using e2e::Exists;
using e2e::FilesIn;

namespace {

bool IsResultOrTemporary(const std::string& name) {
    return IsResultFile(name) || platform::IsTemporaryCopyName(name);
}

std::string SampleList(int samples) {
    std::string text = "Sample list\n";
    for (int i = 1; i <= samples; ++i)
        text += "S" + std::to_string(i) + "\n";
    return text;
}

std::string Numbered(const char* prefix, int n) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%04d", prefix, n);
    return buf;
}

// Temporary copies in the directory and in Tesmaro's own folder inside it.
int TemporariesIn(const std::string& dir) {
    int found = 0;
    for (const std::string& where : {dir, dir + "/" + platform::kQueueFolderName})
        for (const std::string& name : testsupport::ListDirectory(where))
            found += platform::IsTemporaryCopyName(name) ? 1 : 0;
    return found;
}

bool AnyTemporaryIn(const std::string& dir) {
    return TemporariesIn(dir) > 0;
}

// True as soon as a temporary copy is in the directory; false at the limit.
bool WatchForTemporary(const std::string& dir, std::chrono::milliseconds limit) {
    return testsupport::WaitUntil([&] { return AnyTemporaryIn(dir); }, limit,
                                  std::chrono::milliseconds(1));
}

} // namespace

class CrashConsistency : public ProgramTorture {};

TEST_F(CrashConsistency, KilledAtRandomMomentsWhileFilingLosesNothing) {
    const int kills = Size(3, 200);
    // Mostly holes, so they cost no disk; the large one, dropped alone in the
    // rounds that aim at a copy under way, makes that copy last longer.
    const std::uint64_t companionBytes = 8u << 20;
    const std::uint64_t largeCompanionBytes = 64u << 20;
    const std::string otherProcessed = OtherFileSystemDir("Processed");
    std::cout << "second file system: " << (HaveSecondFileSystem() ? "yes" : "no") << "\n";
    ASSERT_TRUE(StartSuite("0"));

    Planted planted;
    int dropped = 0;
    const auto drop = [&](int count, std::uint64_t bytes) {
        for (int i = 0; i < count; ++i, ++dropped) {
            const std::string title = Numbered("K", dropped);
            planted[title + ".olb"] = Plant(scene.queue + "/" + title + ".olb", SampleList(1));
            planted[title + ".dat"] =
                PlantSparse(scene.queue + "/" + title + ".dat", bytes, Seed() + dropped);
        }
    };
    const std::vector<std::string> dirs = {scene.queue, scene.processed, scene.failed,
                                           otherProcessed};
    int leftoversSeen = 0;
    int killedMidCopy = 0;
    for (int round = 0; round < kills; ++round) {
        // Odd rounds file across file systems, even rounds within one; every
        // fourth round aims at a copy under way.
        const bool across = round % 2 == 1;
        const bool aimed = round % 4 == 1;
        if (aimed)
            drop(1, largeCompanionBytes);
        else
            drop(2, companionBytes);
        ASSERT_TRUE(LaunchTesmaro({{"WaitBeforeSubmit", "0"},
                                   {"ProcessedDir", across ? otherProcessed : scene.processed}}));
        if (aimed) {
            // Kill as soon as a temporary copy shows; looked for every
            // millisecond, as a copy lasts well under a second.
            killedMidCopy += WatchForTemporary(otherProcessed, std::chrono::seconds(6)) ? 1 : 0;
        } else {
            RandomPause(200, 2600);
        }
        ASSERT_FALSE(tesmaro->HasEnded()) << "Tesmaro ended by itself";
        tesmaro->Kill();
        for (const std::string& dir : dirs)
            leftoversSeen += TemporariesIn(dir);
        const auto breaches = Breaches(planted, dirs, IsResultOrTemporary);
        ASSERT_TRUE(breaches.empty()) << "after kill " << round + 1 << ": " << breaches.front();
    }

    // A last run files everything, and removes the leftovers of the killed copies.
    ASSERT_TRUE(LaunchTesmaro({{"WaitBeforeSubmit", "0"}, {"ProcessedDir", otherProcessed}}));
    ASSERT_TRUE(WaitFor([&] { return FilesIn(scene.queue).empty(); },
                        std::chrono::seconds(30 + 3 * dropped)));
    ASSERT_TRUE(WaitFor([&] {
        return !AnyTemporaryIn(scene.processed) && !AnyTemporaryIn(otherProcessed);
    })) << "leftovers of killed copies were not removed";
    const auto breaches = Breaches(planted, dirs, IsResultFile);
    for (const std::string& breach : breaches)
        ADD_FAILURE() << breach;
    std::cout << "kills survived: " << kills << " (" << killedMidCopy
              << " aimed at a copy under way), temporary copies left by kills: " << leftoversSeen
              << ", files dropped: " << planted.size() << ", lost: " << breaches.size() << "\n";
}

namespace {

// A file that others append lines to, read as it grows: each call gives the
// whole lines added since the call before; a line still being written waits.
class GrowingFile {
public:
    explicit GrowingFile(std::string path) : m_path(std::move(path)) {}

    std::vector<std::string> NewLines() {
        std::ifstream in(m_path, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(m_offset));
        const std::string rest{std::istreambuf_iterator<char>(in),
                               std::istreambuf_iterator<char>()};
        std::vector<std::string> lines;
        std::size_t start = 0;
        for (auto end = rest.find('\n'); end != std::string::npos; end = rest.find('\n', start)) {
            lines.push_back(rest.substr(start, end - start));
            start = end + 1;
        }
        m_offset += start;
        return lines;
    }

private:
    std::string m_path;
    std::size_t m_offset = 0;
};

// The moments of a batch's road that the stops of Tesmaro aim at.
enum Aim { kHandOver, kSuiteRun, kViewerRun, kFiling, kAims };
const char* const kAimNames[kAims] = {"the hand-over", "the suite's run", "a viewer's run",
                                      "the filing"};

struct StopOfTesmaro {
    double t = 0;
    bool graceful = false; // SIGTERM; else SIGKILL
    Aim aim = kHandOver;
    bool landed = false; // the aimed moment came (for the filing: a copy was seen under way)
};

// Each sample runs for a fifth of a second, so the suite holds a batch of
// three for 0.6 s, less than a tick.
constexpr const char* kItemSeconds = "0.2";
constexpr int kSamples = 3;
constexpr int kRunMs = 600;
// Mostly a hole; large enough that its copy across file systems can be seen.
constexpr std::uint64_t kLargeCompanionBytes = 32u << 20;

} // namespace

// Batches through the real suite and the real Tesmaro, with restarts of the
// suite at random and stops of Tesmaro aimed at each moment of a batch's road:
// its hand-over to the suite, the suite's run of it, a viewer's run and its
// filing. The suite's log counts every hand-over and a recording viewer every
// start: no batch may run twice, nor a viewer twice for one batch.
class Soak : public ProgramTorture {
protected:
    // A stand-in result viewer that takes a moment: it notes its operation and
    // result file in a record beside itself, then waits a fifth of a second.
    std::string WriteViewer() {
        const std::string path = scene.root + "/viewer";
        e2e::WriteFile(path,
                       "#!/bin/sh\nprintf '%s %s\\n' \"$2\" \"$1\" >> \"$0.record\"\nsleep 0.2\n");
        chmod(path.c_str(), 0755);
        return path;
    }

    void DropBatch() {
        const std::string title = Numbered("S", dropped);
        // Every tenth batch is refused by the suite and goes to Failed.
        const std::string list =
            dropped % 10 == 9 ? "[REFUSE] sample list\nS1\n" : SampleList(kSamples);
        // The companion first, so that the batch is whole when it is seen.
        planted[title + ".notes"] = Plant(scene.queue + "/" + title + ".notes", title + " notes\n");
        planted[title + ".olb"] = Plant(scene.queue + "/" + title + ".olb", list);
        ++dropped;
    }

    int WaitingBatches() const {
        const e2e::Names names = FilesIn(scene.queue);
        return static_cast<int>(std::count_if(names.begin(), names.end(), [](const auto& name) {
            return name.size() > 4 && name.compare(name.size() - 4, 4, ".olb") == 0;
        }));
    }

    // Takes in what the suite's log and the viewer's record have gained.
    void Follow() {
        for (const std::string& line : m_log.NewLines()) {
            const auto entry = simtest::ParseSimLogLine(line);
            if (!entry || entry->call != "QueueSampleBatch")
                continue;
            lastHandedOver = e2e::TitleOf(entry->path);
            lastAccepted = entry->result.value_or(0) != 0;
            handOvers[lastHandedOver].push_back(entry->t);
            ++handOverCount;
        }
        for (const std::string& line : m_viewerRecord.NewLines()) {
            const auto blank = line.find(' ');
            if (blank == std::string::npos)
                continue;
            ++viewerStarts[e2e::TitleOf(line.substr(blank + 1)) + " " + line.substr(0, blank)];
            ++viewerCount;
        }
    }

    // Looks every millisecond until the count has grown; false at the
    // deadline, or as soon as no batch is left to make it grow.
    bool WaitForMore(const int& count, std::chrono::steady_clock::time_point deadline) {
        Follow();
        const int before = count;
        for (int look = 1; std::chrono::steady_clock::now() < deadline; ++look) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            Follow();
            if (count > before)
                return true;
            if (look % 100 == 0 && WaitingBatches() == 0)
                return false;
        }
        return false;
    }

    bool WaitForAcceptedHandOver(std::chrono::steady_clock::time_point deadline) {
        while (WaitForMore(handOverCount, deadline))
            if (lastAccepted)
                return true;
        return false;
    }

    // Stops alternate between SIGTERM and SIGKILL; each eight of them aim once
    // with each signal at each moment, in a random order.
    Aim NextAim() {
        const std::size_t k = stops.size() % (2 * kAims);
        if (k == 0) {
            for (auto& aims : m_deck) {
                for (int i = 0; i < kAims; ++i)
                    aims[i] = static_cast<Aim>(i);
                std::shuffle(aims.begin(), aims.end(), random);
            }
        }
        return m_deck[k % 2][k / 2];
    }

    // Waits for the aimed moment (at most a few seconds: with nothing left to
    // do it never comes) and stops Tesmaro there. False when Tesmaro had
    // ended by itself.
    bool StopAimedAt(Aim aim) {
        StopOfTesmaro stop;
        stop.aim = aim;
        stop.graceful = stops.size() % 2 == 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        switch (aim) {
        case kHandOver:
            stop.landed = WaitForMore(handOverCount, deadline);
            break;
        case kSuiteRun:
            stop.landed = WaitForAcceptedHandOver(deadline);
            if (stop.landed)
                RandomPause(1, kRunMs - 100);
            break;
        case kViewerRun:
            stop.landed = WaitForMore(viewerCount, deadline);
            break;
        case kFiling: {
            // The batch just handed over gets a large companion, prepared
            // beforehand and moved in at once, a tick before its filing.
            const std::string aside = scene.root + "/large-companion";
            const FileFacts facts = PlantSparse(aside, kLargeCompanionBytes, Seed() + dropped);
            if (WaitForAcceptedHandOver(deadline) && planted.count(lastHandedOver + ".dat") == 0 &&
                rename(aside.c_str(), (scene.queue + "/" + lastHandedOver + ".dat").c_str()) == 0) {
                planted[lastHandedOver + ".dat"] = facts;
                stop.landed = WatchForTemporary(processedDir, std::chrono::seconds(6));
            }
            unlink(aside.c_str());
            break;
        }
        case kAims:
            break;
        }
        if (tesmaro->HasEnded())
            return false;
        stop.t = e2e::NowFractional();
        if (stop.graceful) {
            const std::optional<int> status = tesmaro->Stop(e2e::kLimit);
            EXPECT_EQ(status, std::optional<int>(0))
                << "Tesmaro did not close on SIGTERM aimed at " << kAimNames[aim];
        } else {
            tesmaro->Kill();
        }
        stops.push_back(stop);
        return true;
    }

    // Why a batch handed over more than once was: when, and the stops between.
    std::string DoubleRun(const std::string& title, const std::vector<double>& times) const {
        std::string text = "batch " + title + " was handed over to the suite " +
                           std::to_string(times.size()) + " times, at";
        char buf[96];
        for (const double t : times) {
            std::snprintf(buf, sizeof buf, "%s %.2f s", t == times.front() ? "" : ",", t - m_start);
            text += buf;
        }
        text += "; Tesmaro was stopped between them:";
        const char* separator = " ";
        for (const StopOfTesmaro& stop : stops) {
            if (stop.t < times.front() || stop.t > times.back())
                continue;
            std::snprintf(buf, sizeof buf, "%s%s aimed at %s at %.2f s", separator,
                          stop.graceful ? "SIGTERM" : "SIGKILL", kAimNames[stop.aim],
                          stop.t - m_start);
            text += buf;
            separator = ", ";
        }
        return text;
    }

    Planted planted;
    int dropped = 0;
    std::string processedDir;
    std::vector<StopOfTesmaro> stops;
    std::map<std::string, std::vector<double>> handOvers; // title: the times of its hand-overs
    std::map<std::string, int> viewerStarts;              // "title /p": starts
    int handOverCount = 0;
    int viewerCount = 0;
    std::string lastHandedOver;
    bool lastAccepted = false;

private:
    const double m_start = e2e::NowFractional();
    GrowingFile m_log{scene.simLog};
    GrowingFile m_viewerRecord{scene.root + "/viewer.record"};
    std::array<std::array<Aim, kAims>, 2> m_deck{};
};

TEST_F(Soak, ManyBatchesWithRandomRestartsOfTheSuiteAndTesmaro) {
    const int batches = Size(8, 1000);
    const int stopsWanted = Size(8, 200);
    // Every file is copied across file systems, so that a stop can land in a copy.
    processedDir = OtherFileSystemDir("Processed");
    ASSERT_TRUE(StartSuite(kItemSeconds));
    const e2e::SettingsValues settings = {{"WaitBeforeSubmit", "0"},
                                          {"ProcessedDir", processedDir},
                                          {"BrowserFile", WriteViewer()},
                                          {"PrintReport", "1"},
                                          {"CreateSummary", "1"}};
    while (dropped < batches)
        DropBatch();
    ASSERT_TRUE(LaunchTesmaro(settings));

    int suiteRestarts = 0;
    const auto start = std::chrono::steady_clock::now();
    std::uniform_int_distribution<int> event(0, 9);
    while (static_cast<int>(stops.size()) < stopsWanted || !FilesIn(scene.queue).empty()) {
        ASSERT_LT(std::chrono::steady_clock::now(), start + std::chrono::seconds(60 + 5 * dropped))
            << WaitingBatches() << " batches still waiting";
        // Until the stops are done there is always something to aim at.
        while (static_cast<int>(stops.size()) < stopsWanted && WaitingBatches() < 3)
            DropBatch();
        RandomPause(200, LongRun() ? 8000 : 2000);
        ASSERT_FALSE(tesmaro->HasEnded()) << "Tesmaro ended by itself";
        const int e = event(random);
        if (e <= 2) {
            if (e == 2)
                suite->Stop();
            else
                suite->Kill();
            ASSERT_TRUE(StartSuite(kItemSeconds));
            ++suiteRestarts;
        } else if (e <= 7) {
            ASSERT_TRUE(StopAimedAt(NextAim())) << "Tesmaro ended by itself";
            ASSERT_TRUE(LaunchTesmaro(settings));
        }
    }
    Follow();
    EXPECT_EQ(FilesIn(scene.queue), e2e::Names{}) << "left in the queue";

    // Every file of a batch lies in Processed or in Failed, once, all of them
    // in the same one.
    std::map<std::string, std::set<std::string>> dirsOfBatch;
    int misfiled = 0;
    for (const auto& [name, facts] : planted) {
        std::vector<std::string> where;
        for (const std::string& dir : {processedDir, scene.failed})
            if (Exists(dir + "/" + name))
                where.push_back(dir);
        if (where.size() != 1) {
            ADD_FAILURE() << name << " is filed " << where.size() << " times";
            ++misfiled;
            continue;
        }
        dirsOfBatch[e2e::TitleOf(name)].insert(where.front());
    }
    int split = 0;
    int processed = 0;
    for (const auto& [title, dirs] : dirsOfBatch) {
        if (dirs.size() > 1) {
            ADD_FAILURE() << "batch " << title << " is split between Processed and Failed";
            ++split;
        }
        processed += dirs.count(processedDir) != 0 ? 1 : 0;
    }
    const auto breaches =
        Breaches(planted, {scene.queue, processedDir, scene.failed}, IsResultFile);
    for (const std::string& breach : breaches)
        ADD_FAILURE() << breach;

    // The suite ran each batch at most once, and the viewer each operation.
    std::map<std::size_t, int> handOversPerBatch;
    int runTwice = 0;
    for (int i = 0; i < dropped; ++i) {
        const std::string title = Numbered("S", i);
        const std::vector<double>& times = handOvers[title];
        ++handOversPerBatch[times.size()];
        if (times.size() > 1) {
            ADD_FAILURE() << DoubleRun(title, times);
            ++runTwice;
        }
    }
    int viewerTwice = 0;
    for (const auto& [startOf, count] : viewerStarts) {
        if (count > 1) {
            ADD_FAILURE() << "the viewer ran " << count << " times for " << startOf;
            ++viewerTwice;
        }
    }

    // Per aim: stops by SIGTERM, by SIGKILL, and those whose moment came.
    std::array<std::array<int, 3>, kAims> byAim{};
    int graceful = 0;
    for (const StopOfTesmaro& stop : stops) {
        ++byAim[stop.aim][stop.graceful ? 0 : 1];
        byAim[stop.aim][2] += stop.landed ? 1 : 0;
        graceful += stop.graceful ? 1 : 0;
    }
    std::cout << "batches soaked: " << dropped << " (processed " << processed << ", failed "
              << dropped - processed << "), suite restarts: " << suiteRestarts
              << ", lost: " << breaches.size() << ", filed other than once: " << misfiled
              << ", split: " << split << "\n";
    std::cout << "Tesmaro stops: " << stops.size() << " (SIGTERM " << graceful << ", SIGKILL "
              << stops.size() - graceful << "), aimed at (SIGTERM+SIGKILL, moment came):";
    for (int aim = 0; aim < kAims; ++aim)
        std::cout << (aim == 0 ? " " : ", ") << kAimNames[aim] << " " << byAim[aim][0] << "+"
                  << byAim[aim][1] << " (" << byAim[aim][2] << ")";
    std::cout << "; for the filing the moment is a copy seen under way\n";
    std::cout << "hand-overs per batch (hand-overs: batches):";
    for (const auto& [count, number] : handOversPerBatch)
        std::cout << (count == handOversPerBatch.begin()->first ? " " : ", ") << count << ": "
                  << number;
    std::cout << "; batches run twice: " << runTwice << ", viewer starts: " << viewerCount
              << ", viewer run twice for one batch and operation: " << viewerTwice << "\n";
}

namespace {

// The counters of what a block device was sent, from /sys/block/<name>/stat:
// writes completed and sectors written, requests in flight, discards
// completed and sectors discarded. Empty when they cannot be read.
std::vector<unsigned long long> WriteCounters(const std::string& device) {
    std::ifstream in("/sys/block/" + e2e::BaseName(device) + "/stat");
    std::vector<unsigned long long> fields;
    for (unsigned long long value = 0; in >> value;)
        fields.push_back(value);
    if (fields.size() < 11)
        return {};
    std::vector<unsigned long long> counters = {fields[4], fields[6], fields[8]};
    if (fields.size() >= 14) { // kernels before 4.18 count no discards
        counters.push_back(fields[11]);
        counters.push_back(fields[13]);
    }
    return counters;
}

// Copies the image of a loop device as the disk holds it at a power cut: all
// that the kernel has written to the device, and nothing that still waits in
// a page cache above it.
//
// The loop device writes what it is sent into its image file, so the image
// file holds exactly what the disk received. The mounted file system's dirty
// data pages and its dirty metadata buffers are not in it until the kernel
// sends them. (Those buffers live in the page cache of the loop device
// itself: a plain read of /dev/loopN would see them and model no power cut.)
// Writes the device completed count as kept, flushed or not: the disk of the
// model keeps whatever it acknowledged.
//
// The frozen programs send nothing more, but the kernel's writeback and
// journal threads still may, and a copy read across one of their writes
// would hold a state no disk ever had. So the copy counts only when the
// device's counters show that no write or discard completed, and none was in
// flight, from before its first read to after its last.
bool CopyAsTheDiskHolds(const std::string& device, const std::string& image,
                        const std::string& copy) {
    const auto attempt = [&] {
        const std::vector<unsigned long long> before = WriteCounters(device);
        if (before.empty() || before[2] != 0)
            return false;
        const int in = open(image.c_str(), O_RDONLY | O_CLOEXEC);
        const int out = open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        struct stat st {};
        bool ok = in >= 0 && out >= 0 && fstat(in, &st) == 0 && ftruncate(out, st.st_size) == 0;
        // Blocks of zeros stay holes: the copy costs no more disk than the image.
        std::vector<char> block(1 << 20);
        const std::vector<char> zeros(block.size());
        for (off_t at = 0; ok && at < st.st_size;) {
            const ssize_t got = pread(in, block.data(), block.size(), at);
            const auto size = static_cast<std::size_t>(got);
            ok = got > 0 && (std::memcmp(block.data(), zeros.data(), size) == 0 ||
                             pwrite(out, block.data(), size, at) == got);
            at += got;
        }
        if (in >= 0)
            close(in);
        if (out >= 0)
            close(out);
        return ok && WriteCounters(device) == before;
    };
    return testsupport::WaitUntil(attempt, std::chrono::seconds(20), std::chrono::milliseconds(1));
}

// The moments the power cuts are aimed at, each on ext4 with birth times and
// without (128-byte inodes have no room for them: the record then tells a file
// from another by its size, times and content).
struct PowerCutPoint {
    const char* moment;
    bool atFiling; // right after a batch file reached its filing directory; else
                   // right after its hand-over
    const char* inodeSize;
};
const PowerCutPoint kPowerCutPoints[] = {
    {"right after a hand-over", false, "256"},
    {"right after a filing", true, "128"},
    {"right after a filing", true, "256"},
    {"right after a hand-over", false, "128"},
};

// How many power cuts a run makes: TESMARO_TORTURE_POWER_CUTS, else a few.
int PowerCuts() {
    const char* value = std::getenv("TESMARO_TORTURE_POWER_CUTS");
    return value != nullptr && *value != '\0' ? std::atoi(value) : Size(2, 8);
}

} // namespace

// Power cuts on a real ext4 disk: a loop-mounted image whose journal commits
// only every ten minutes unless a program flushes, holding the queue, Processed
// and Failed. Tesmaro and the suite are frozen at the chosen moment, the
// image copied as the disk holds it, the programs killed, and the copy mounted
// at the same place from another loop device (so under another device number)
// for a fresh Tesmaro and suite to finish the work. No dropped file may be
// lost or emptied by the cut, and in the end every batch is filed once, whole,
// and has been handed over at most once.
class PowerCut : public ProgramTorture {
protected:
    void SetUp() override {
        ProgramTorture::SetUp();
        const std::string why = WhyNotPrivileged({"mkfs.ext4", "losetup", "mount", "umount"});
        if (!why.empty())
            GTEST_SKIP() << why;
    }

    // One cut: a fresh disk, three batches, the cut at `point` while the
    // second is on its way, and the work finished on what the disk kept.
    void CutOnce(int round, const PowerCutPoint& point);

    const std::string log = scene.root + "/tools.out";
    const std::string disk = scene.root + "/disk";
};

void PowerCut::CutOnce(int round, const PowerCutPoint& point) {
    const std::string image = scene.root + "/disk" + std::to_string(round) + ".img";
    const std::string kept = image + ".cut";
    const std::string queue = disk + "/queue";
    const std::string processed = disk + "/Processed";
    const std::string failed = disk + "/Failed";
    const e2e::SettingsValues settings = {{"QueueDir", queue},
                                          {"ProcessedDir", processed},
                                          {"FailedDir", failed},
                                          {"WaitBeforeSubmit", "0"}};
    // The programs die before the disk goes, the mount before its device.
    struct Disk {
        std::unique_ptr<LoopDevice> loop;
        std::unique_ptr<LoopDevice> copyLoop;
        std::unique_ptr<Mount> mount;
        ~Disk() {
            mount.reset();
            copyLoop.reset();
            loop.reset();
        }
    } d;
    struct Programs {
        PowerCut& test;
        ~Programs() {
            if (test.tesmaro)
                test.tesmaro->Kill();
            if (test.suite)
                test.suite->Kill();
        }
    } programs{*this};

    const int fd = open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_TRUE(fd >= 0 && ftruncate(fd, 32 << 20) == 0 && close(fd) == 0);
    // The inode tables and journal are written now, not by a kernel thread
    // after the mount, whose writes would never let the disk be still.
    ASSERT_TRUE(RunTool({"mkfs.ext4", "-q", "-F", "-b", "4096", "-I", point.inodeSize, "-E",
                         "lazy_itable_init=0,lazy_journal_init=0", image},
                        log))
        << e2e::ReadFile(log);
    d.loop = std::make_unique<LoopDevice>(image, log);
    if (d.loop->Device().empty())
        GTEST_SKIP() << "no loop device: " << e2e::ReadFile(log);
    const std::vector<std::string> options = {"-t", "ext4", "-o", "commit=600"};
    d.mount = std::make_unique<Mount>(options, d.loop->Device(), disk, log);
    if (!d.mount->Mounted())
        GTEST_SKIP() << "mount refused: " << e2e::ReadFile(log);
    for (const std::string& dir : {queue, processed, failed})
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);

    Planted planted;
    std::vector<std::string> titles;
    for (int i = 0; i < 3; ++i) {
        titles.push_back("P" + std::to_string(round) + "-" + std::to_string(i));
        planted[titles.back() + ".notes"] =
            Plant(queue + "/" + titles.back() + ".notes", titles.back() + " notes\n");
        planted[titles.back() + ".olb"] =
            Plant(queue + "/" + titles.back() + ".olb", SampleList(2));
    }
    // Dropped files are on the disk before Tesmaro sees them: what a cut
    // takes from them afterwards is Tesmaro's doing.
    const int diskFd = open(disk.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_TRUE(diskFd >= 0 && syncfs(diskFd) == 0 && close(diskFd) == 0);

    ASSERT_TRUE(StartSuite("0.2"));
    ASSERT_TRUE(LaunchTesmaro(settings));
    const std::string& aimed = titles[1];
    const auto reached = [&] {
        return point.atFiling ? Exists(processed + "/" + aimed + ".olb") ||
                                    Exists(failed + "/" + aimed + ".olb")
                              : e2e::SubmissionOf(Log(), aimed).has_value();
    };
    ASSERT_TRUE(testsupport::WaitUntil(reached, e2e::kStartLimit, std::chrono::milliseconds(1)))
        << "the moment never came";
    ASSERT_TRUE(tesmaro->Pause());
    ASSERT_TRUE(suite->Pause());
    ASSERT_TRUE(CopyAsTheDiskHolds(d.loop->Device(), image, kept))
        << "the disk was never still long enough to be copied";
    tesmaro->Kill();
    suite->Kill();

    // After the cut: the disk that was kept, under another device number.
    const dev_t before = d.mount->Device();
    d.mount.reset();
    d.copyLoop = std::make_unique<LoopDevice>(kept, log);
    ASSERT_FALSE(d.copyLoop->Device().empty()) << e2e::ReadFile(log);
    d.loop.reset();
    d.mount = std::make_unique<Mount>(options, d.copyLoop->Device(), disk, log);
    ASSERT_TRUE(d.mount->Mounted()) << e2e::ReadFile(log);
    EXPECT_NE(d.mount->Device(), before);
    for (const std::string& breach :
         Breaches(planted, {queue, processed, failed}, IsResultOrTemporary))
        ADD_FAILURE() << "on the disk after the cut: " << breach;

    ASSERT_TRUE(StartSuite("0.2"));
    ASSERT_TRUE(LaunchTesmaro(settings));
    ASSERT_TRUE(WaitFor([&] { return FilesIn(queue).empty(); }, std::chrono::seconds(90)))
        << "left in the queue: " << FilesIn(queue).size() << " files";
    for (const std::string& breach : Breaches(planted, {queue, processed, failed}, IsResultFile))
        ADD_FAILURE() << breach;
    for (const std::string& breach : Misfilings(planted, {processed, failed}))
        ADD_FAILURE() << breach;
    std::cout << "cut " << round + 1 << " " << point.moment << " of " << aimed << ", "
              << point.inodeSize << "-byte inodes:";
    for (const std::string& title : titles) {
        int handOvers = 0;
        for (const simtest::SimLogEntry& entry : Log())
            handOvers +=
                entry.call == "QueueSampleBatch" && e2e::TitleOf(entry.path) == title ? 1 : 0;
        EXPECT_LE(handOvers, 1) << "batch " << title << " was handed over " << handOvers
                                << " times";
        std::cout << " " << title << " handed over " << handOvers << "x, filed to "
                  << (Exists(processed + "/" + title + ".olb") ? "Processed" : "Failed") << ";";
    }
    std::cout << "\n";
    EXPECT_EQ(tesmaro->Stop(), std::optional<int>(0));
}

TEST_F(PowerCut, CutsAtChosenMomentsOnARealDiskLoseNothingAndRunNothingTwice) {
    const int cuts = PowerCuts();
    ASSERT_EQ(mkdir(disk.c_str(), 0755), 0);
    for (int round = 0; round < cuts && !IsSkipped(); ++round) {
        const PowerCutPoint& point = kPowerCutPoints[round % std::size(kPowerCutPoints)];
        SCOPED_TRACE(std::string("cut ") + std::to_string(round + 1) + " " + point.moment + ", " +
                     point.inodeSize + "-byte inodes");
        ASSERT_NO_FATAL_FAILURE(CutOnce(round, point));
    }
}
