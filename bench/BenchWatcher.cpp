// The watcher's cost of following who writes the queue directory's files:
//  - in user space alone: the bytes of a burst's events turned into writer
//    marks, against the summary every wake makes anyway (events per second);
//  - with the kernel: a burst of 10,000 files, each created, written and
//    closed by another thread, watched by a loop that does what the watcher's
//    worker does, with and without tracking, for the main window's filter and
//    for file names only (where tracking asks inotify for more events); and by
//    the real watcher. Counted: the watching thread's CPU time, the writer's,
//    wakes and lost events.
#include "BenchSupport.h"
#include "watcher/CDirectoryWatcher.h"
#include "watcher/ChangeFilter.h"
#include "watcher/ChangeNotification.h"
#include "watcher/InotifyEvents.h"
#include "watcher/StopEvent.h"
#include "watcher/WriterTracker.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using watcher::CDirectoryWatcher;

constexpr int kBurstFiles = 10000;
constexpr int kTop = 1;
// The main window's filter: names, sizes and last-write times.
constexpr std::uint32_t kWindowFilter =
    CDirectoryWatcher::kFileName | CDirectoryWatcher::kSize | CDirectoryWatcher::kLastWrite;

// What a burst reads from inotify: per file a creation, a write and a close
// after writing, in reads of at most 16 KiB as the watcher makes them.
std::vector<std::vector<char>> BurstReads() {
    std::vector<std::vector<char>> reads(1);
    char name[32];
    for (int i = 0; i < kBurstFiles; ++i) {
        std::snprintf(name, sizeof name, "%06d.olb", i);
        for (const std::uint32_t mask : {IN_CREATE, IN_MODIFY, IN_CLOSE_WRITE}) {
            inotify_event event{};
            event.wd = kTop;
            event.mask = mask;
            event.len = 16; // the name and its padding, as the kernel pads it
            if (reads.back().size() + sizeof event + event.len > 16 * 1024)
                reads.emplace_back();
            std::vector<char>& read = reads.back();
            const std::size_t at = read.size();
            read.resize(at + sizeof event + event.len, '\0');
            std::memcpy(read.data() + at, &event, sizeof event);
            std::memcpy(read.data() + at + sizeof event, name, std::strlen(name));
        }
    }
    return reads;
}

// The summary alone: what each wake costs without tracking.
void BM_SummarizeBurst(benchmark::State& state) {
    const auto reads = BurstReads();
    const std::uint32_t counted = watcher::InotifyMaskForFilter(kWindowFilter);
    for (auto _ : state) {
        watcher::EventSummary summary;
        for (const auto& read : reads)
            watcher::SummarizeEvents(read.data(), read.size(), kTop, counted, summary);
        benchmark::DoNotOptimize(summary);
    }
    state.SetItemsProcessed(state.iterations() * kBurstFiles * 3);
}

// The summary and the writer marks, as a tracking wake makes them: the events
// of each read collected, and applied to the tracker under its lock.
void BM_SummarizeAndTrackBurst(benchmark::State& state) {
    const auto reads = BurstReads();
    const std::uint32_t counted = watcher::InotifyMaskForFilter(kWindowFilter);
    watcher::WriterTracker tracker;
    tracker.Begin("/queue");
    std::vector<watcher::WriterEvent> events;
    for (auto _ : state) {
        watcher::EventSummary summary;
        for (const auto& read : reads) {
            events.clear();
            watcher::SummarizeEvents(read.data(), read.size(), kTop, counted, summary);
            watcher::CollectWriterEvents(read.data(), read.size(), kTop, events);
            tracker.Apply(events);
        }
        benchmark::DoNotOptimize(summary);
    }
    state.SetItemsProcessed(state.iterations() * kBurstFiles * 3);
}

// Creates, writes and closes the burst's files, one after the other, as a
// program writing the queue would; returns its own CPU time in seconds.
double WriteBurst(const std::string& dir) {
    const double own = bench::ThreadCpuSeconds();
    char name[32];
    for (int i = 0; i < kBurstFiles; ++i) {
        std::snprintf(name, sizeof name, "/%06d.olb", i);
        const int fd = open((dir + name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        if (fd >= 0) {
            [[maybe_unused]] const ssize_t w = write(fd, "Sample list\n", 12);
            close(fd);
        }
    }
    return bench::ThreadCpuSeconds() - own;
}

struct BurstFigures {
    double wall = 0, watcherCpu = 0, writerCpu = 0, wakes = 0, lost = 0;
};

// Wakes and lost events are known only to the loop that does the worker's work.
void Report(benchmark::State& state, const BurstFigures& f, bool wakesKnown) {
    const auto avg = [](double v) {
        return benchmark::Counter(v, benchmark::Counter::kAvgIterations);
    };
    state.counters["files"] = kBurstFiles;
    state.counters["watcher_cpu_ms"] = avg(f.watcherCpu * 1e3);
    state.counters["writer_cpu_ms"] = avg(f.writerCpu * 1e3);
    if (!wakesKnown)
        return;
    // A slower writer means fewer events per wake: the CPU time follows the
    // wakes more than the events, so the time per wake compares runs best.
    state.counters["wakes"] = avg(f.wakes);
    state.counters["watcher_us_per_wake"] = f.wakes > 0 ? f.watcherCpu * 1e6 / f.wakes : 0;
    state.counters["lost"] = avg(f.lost);
}

// A loop that does what the worker does (wait, Rearm), with or without a
// tracker; it ends once the stop is signalled and nothing is left to read, so
// it has seen every event of the burst.
void BM_WatchBurst(benchmark::State& state, const std::string& base) {
    const bool tracking = state.range(0) != 0;
    const auto filter = static_cast<std::uint32_t>(state.range(1));
    BurstFigures figures;
    for (auto _ : state) {
        bench::ScratchDir queue(base);
        watcher::WriterTracker tracker;
        watcher::StopEvent stop;
        std::atomic<bool> ready{false};
        double watcherCpu = 0, wakes = 0, lost = 0;
        std::thread watching([&] {
            watcher::ChangeNotification notification;
            if (!notification.Open(queue.Path(), watcher::InotifyMaskForFilter(filter), false,
                                   tracking ? &tracker : nullptr))
                return;
            ready = true;
            const double own = bench::ThreadCpuSeconds();
            for (;;) {
                pollfd fds[2] = {{notification.Fd(), POLLIN, 0}, {stop.Fd(), POLLIN, 0}};
                if (poll(fds, 2, -1) < 0)
                    continue;
                if (fds[0].revents & POLLIN) {
                    const auto result = notification.Rearm();
                    ++wakes;
                    lost += result.lost ? 1 : 0;
                    continue;
                }
                if (fds[1].revents & POLLIN)
                    break;
            }
            watcherCpu = bench::ThreadCpuSeconds() - own;
        });
        while (!ready)
            std::this_thread::yield();
        const auto start = Clock::now();
        figures.writerCpu += WriteBurst(queue.Path());
        stop.Signal();
        watching.join();
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        figures.watcherCpu += watcherCpu;
        figures.wakes += wakes;
        figures.lost += lost;
    }
    Report(state, figures, true);
}

// Counts the watcher's posts.
class CountingPoster final : public platform::MessagePoster {
public:
    bool PostMessage(std::uint32_t, std::uintptr_t, std::intptr_t) override {
        ++posts;
        return true;
    }
    std::atomic<int> posts{0};
};

// The real watcher, which always tracks. Its worker's CPU time is the
// process's less the writer's and the waiting main thread's. The burst ends
// with a file held open and written: once the watcher sees it written, it has
// seen everything before it.
void BM_WatcherBurst(benchmark::State& state, const std::string& base) {
    const auto filter = static_cast<std::uint32_t>(state.range(0));
    BurstFigures figures;
    double posts = 0;
    for (auto _ : state) {
        bench::ScratchDir queue(base);
        CountingPoster poster;
        CDirectoryWatcher w(&poster);
        w.SetDirectory(queue.Path().c_str(), filter, false);
        const platform::WriterView& writers = w.Writers();
        const auto seen = [&](const char* name) {
            return writers.BeingWritten(queue.Path(), name) == platform::WriterView::Writing::Yes;
        };
        const auto waitFor = [](const auto& condition) {
            const auto deadline = Clock::now() + std::chrono::seconds(60);
            while (!condition() && Clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            return condition();
        };
        if (!w.Start() || !waitFor([&] { return writers.Watching(queue.Path()); })) {
            state.SkipWithError("the watcher did not start");
            return;
        }
        const double cpuBefore = bench::ProcessCpuSeconds();
        const double mainBefore = bench::ThreadCpuSeconds();
        const auto start = Clock::now();
        double writerCpu = 0;
        int last = -1;
        std::thread writer([&] {
            writerCpu = WriteBurst(queue.Path());
            last = open((queue / "zz-last.olb").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            [[maybe_unused]] const ssize_t n = write(last, "x", 1);
        });
        writer.join();
        const bool all = waitFor([&] { return seen("zz-last.olb"); });
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        const double cpu = bench::ProcessCpuSeconds() - cpuBefore;
        const double mainCpu = bench::ThreadCpuSeconds() - mainBefore;
        close(last);
        w.Stop();
        if (!all) {
            state.SkipWithError("the watcher did not see the end of the burst");
            return;
        }
        state.SetIterationTime(wall);
        figures.watcherCpu += cpu - writerCpu - mainCpu;
        figures.writerCpu += writerCpu;
        posts += poster.posts;
    }
    Report(state, figures, false);
    state.counters["posts"] = benchmark::Counter(posts, benchmark::Counter::kAvgIterations);
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RegisterBenchmark("BM_SummarizeBurst", BM_SummarizeBurst)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("BM_SummarizeAndTrackBurst", BM_SummarizeAndTrackBurst)
        ->Unit(benchmark::kMicrosecond);
    // On disk (the temporary directory) and in memory (/dev/shm).
    for (const std::string& base : {bench::TemporaryBase(), std::string("/dev/shm")}) {
        const std::string where = base == "/dev/shm" ? "/shm" : "/tmp";
        benchmark::RegisterBenchmark(("BM_WatchBurst" + where).c_str(), BM_WatchBurst, base)
            ->ArgNames({"tracking", "filter"})
            ->ArgsProduct({{0, 1}, {kWindowFilter, CDirectoryWatcher::kFileName}})
            ->Iterations(5)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("BM_WatcherBurst" + where).c_str(), BM_WatcherBurst, base)
            ->ArgNames({"filter"})
            ->Arg(kWindowFilter)
            ->Arg(CDirectoryWatcher::kFileName)
            ->Iterations(5)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
