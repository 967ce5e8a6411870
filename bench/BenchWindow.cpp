// The main window at work, offscreen, with the real engine and watcher:
//  - a whole tick (ProcessStep, then Refresh with the list model rebuilt and
//    both status lines set, then the events that follows) with the suite busy,
//    side by side with the scan floor of the same directory, and the same
//    tick while the suite runs a batch handed over by the window;
//  - a burst of new files while the watcher and the window run: messages,
//    rescans and the CPU time the burst costs, against the cost of one rescan.
#include "BenchSupport.h"
#include "QueueDirFixture.h"
#include "app/BatchListModel.h"
#include "app/CBatchQueueDlg.h"
#include "settings/MemoryProfileStore.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QEvent>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// A suite whose answers are fixed: running, with `items` in its queue; it
// accepts every batch handed to it.
class FixedLibrary final : public external::QueueLibrary {
public:
    FixedLibrary(int running, int queued) : items(queued), m_running(running) {}
    int IsKorvaneRunning() override { return m_running; }
    int GetNumberOfQueueItems() override { return items; }
    int QueueControl(int) override { return 0; }
    int QueueSampleBatch(const std::string&, int, int, int, int) override { return 1; }

    int items;

private:
    int m_running;
};

// The real finder, counting the searches made with one pattern (the scan's).
class CountingFinder final : public external::CFileFindS {
public:
    CountingFinder(const std::string& pattern, std::atomic<int>& count)
        : m_pattern(pattern), m_count(count) {}
    int FindFile(const std::string& name, int unused) override {
        if (name == m_pattern)
            ++m_count;
        return CFileFindS::FindFile(name, unused);
    }

private:
    const std::string& m_pattern;
    std::atomic<int>& m_count;
};

// Counts what the watcher posts, then passes it on to the window. It can
// also try out two changes proposed for the window:
//  - a hold-off: a change is answered at once when the last answer is at
//    least the hold-off old, else once when the hold-off has run out, so a
//    burst costs one rescan per hold-off period;
//  - a quiet period: a change is answered once no further change has come
//    for that long, so a burst costs one rescan at its end (the one-second
//    tick still rescans during it).
class CountingPoster final : public QObject, public platform::MessagePoster {
public:
    CountingPoster() {
        m_quietTimer.setSingleShot(true);
        QObject::connect(&m_quietTimer, &QTimer::timeout, this, [this] { Forward(); });
    }

    bool PostMessage(std::uint32_t id, std::uintptr_t wParam, std::intptr_t lParam) override {
        ++posted;
        if (holdOff.count() == 0 && quiet.count() == 0)
            return target->PostMessage(id, wParam, lParam);
        if (!m_hopPending.exchange(true))
            QMetaObject::invokeMethod(
                this, [this, id] { OnChange(id); }, Qt::QueuedConnection);
        return true;
    }
    platform::MessagePoster* target = nullptr;
    std::atomic<int> posted{0};
    std::chrono::milliseconds holdOff{0};
    std::chrono::milliseconds quiet{0};

private:
    // On the window's thread.
    void OnChange(std::uint32_t id) {
        m_hopPending = false;
        m_id = id;
        if (quiet.count() != 0) {
            m_quietTimer.start(quiet); // each change pushes the answer back
            return;
        }
        if (m_timerArmed)
            return;
        const auto since = Clock::now() - m_lastForward;
        if (since >= holdOff) {
            Forward();
            return;
        }
        m_timerArmed = true;
        QTimer::singleShot(std::chrono::duration_cast<std::chrono::milliseconds>(holdOff - since),
                           this, [this] {
                               m_timerArmed = false;
                               Forward();
                           });
    }
    void Forward() {
        m_lastForward = Clock::now();
        target->PostMessage(m_id, 0, 0);
    }

    std::atomic<bool> m_hopPending{false};
    bool m_timerArmed = false;
    std::uint32_t m_id = 0;
    QTimer m_quietTimer;
    Clock::time_point m_lastForward{};
};

// Counts the timer ticks and the posted messages the window receives.
class WindowEventCounter final : public QObject {
public:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Timer)
            ++ticks;
        else if (event->type() >= QEvent::User)
            ++messages;
        return false;
    }
    int ticks = 0;
    int messages = 0;
};

// A main window aimed at a queue directory, with its semaphore files beside
// it in a scratch directory, and its finder and watcher counted.
class WindowLab {
public:
    // Without `watched`, the window runs without a watcher: only its ticks rescan.
    WindowLab(const std::string& queueDir, int running, int items, bool watched = true)
        : m_library(running, items), m_pattern(queueDir + "/*.olb") {
        m_store.WriteString("Settings", "QueueDir", queueDir);
        m_store.WriteString("Settings", "Filters", "*.olb");
        m_store.WriteString("Settings", "StatusFile", m_scratch / "status.sem");
        m_store.WriteString("Settings", "AbortFile", m_scratch / "abort.sem");
        m_store.WriteString("Settings", "ProcessedDir", m_scratch / "Processed");
        m_store.WriteString("Settings", "FailedDir", m_scratch / "Failed");
        // A batch that is handed over is handed over at the first tick, even
        // in a queue directory made a moment ago.
        m_store.WriteInt("Settings", "WaitBeforeSubmit", 0);
        app::MainWindowServices services{&m_library, &m_clock, &m_store};
        services.makeEngine = [this](engine::EngineServices engineServices) {
            engineServices.finders = [this] {
                return std::make_unique<CountingFinder>(m_pattern, rescans);
            };
            return std::make_unique<engine::CBatchQueue>(std::move(engineServices));
        };
        services.makeWatcher =
            [this, watched](
                platform::MessagePoster* target) -> std::unique_ptr<watcher::CDirectoryWatcher> {
            if (!watched)
                return nullptr;
            poster.target = target;
            return std::make_unique<watcher::CDirectoryWatcher>(&poster);
        };
        window = std::make_unique<app::CBatchQueueDlg>(std::move(services));
        window->show();
        QCoreApplication::processEvents();
    }
    // The window goes first: it uses everything else until then.
    ~WindowLab() { window.reset(); }

    int Rows() const { return window->Rows()->rowCount(); }
    FixedLibrary& Library() { return m_library; }

    std::atomic<int> rescans{0};
    CountingPoster poster;
    std::unique_ptr<app::CBatchQueueDlg> window;

private:
    bench::ScratchDir m_scratch;
    FixedLibrary m_library;
    engine::SystemClock m_clock;
    settings::MemoryProfileStore m_store;
    const std::string m_pattern;
};

void BM_ScanFloor(benchmark::State& state) {
    const std::string& dir = QueueDirWith(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(bench::ScanFloor(dir, "*.olb"));
}

// One tick with the suite running and busy with work of its own: every batch
// waits, the list holds them all, the status line says the queue is busy.
void BM_WindowTick(benchmark::State& state) {
    WindowLab lab(QueueDirWith(static_cast<std::size_t>(state.range(0))), 1, 3);
    lab.window->SetTimerPeriod(0); // the benchmark drives the ticks
    for (auto _ : state) {
        lab.window->OnTimer(0);
        // The view's relayout and repaint after the model reset belong to the tick.
        QCoreApplication::processEvents();
    }
    state.counters["rows"] = lab.Rows();
}

// The tick and the floor in turns within each iteration, which goes first
// alternating, in CPU time of the whole process (the window's painting and
// every other thread included): the ratio is the figure to watch. With the
// second argument 1, one batch arrives or leaves before every tick (outside
// the time taken), so that the list changes and the view is rebuilt and
// repainted each time, with no watcher, whose early rescan would otherwise
// take the change before the tick; with 0 the queue stands still, as a long
// queue mostly does.
void BM_TickAgainstFloor(benchmark::State& state) {
    const auto batches = static_cast<std::size_t>(state.range(0));
    const bool changing = state.range(1) != 0;
    const std::string& dir = QueueDirWith(batches);
    WindowLab lab(dir, 1, 3, !changing);
    lab.window->SetTimerPeriod(0); // the benchmark drives the ticks
    const std::string arriving = dir + "/arriving.olb";
    double tick = 0, floor = 0, tickThread = 0, floorThread = 0;
    bool tickFirst = false;
    for (auto _ : state) {
        if (changing) {
            state.PauseTiming();
            const int fd = open(arriving.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
            if (fd >= 0)
                close(fd);
            else
                unlink(arriving.c_str());
            state.ResumeTiming();
        }
        for (int turn = 0; turn < 2; ++turn) {
            const double start = bench::ProcessCpuSeconds();
            const double startThread = bench::ThreadCpuSeconds();
            if ((turn == 0) == tickFirst) {
                lab.window->OnTimer(0);
                QCoreApplication::processEvents();
                tick += bench::ProcessCpuSeconds() - start;
                tickThread += bench::ThreadCpuSeconds() - startThread;
            } else {
                benchmark::DoNotOptimize(bench::ScanFloor(dir, "*.olb"));
                floor += bench::ProcessCpuSeconds() - start;
                floorThread += bench::ThreadCpuSeconds() - startThread;
            }
        }
        tickFirst = !tickFirst;
    }
    unlink(arriving.c_str());
    bench::ReportAgainstFloor(state, "tick", tick, floor);
    // The window's thread alone, against the floor on the same thread.
    state.counters["window_thread_per_floor"] = floorThread > 0 ? tickThread / floorThread : 0;
    state.counters["rows"] = lab.Rows();
}

// One tick while the suite runs the oldest batch, handed over by the first
// tick: the state the window is in for most of a long queue's life.
void BM_WindowTickBatchInFlight(benchmark::State& state) {
    WindowLab lab(QueueDirWith(static_cast<std::size_t>(state.range(0))), 1, 0);
    lab.window->SetTimerPeriod(0); // the benchmark drives the ticks
    lab.window->OnTimer(0);
    QCoreApplication::processEvents();
    if (lab.window->Engine()->Submitted() == 0) {
        state.SkipWithError("no batch was handed over");
        return;
    }
    lab.Library().items = 1; // the batch runs
    for (auto _ : state) {
        lab.window->OnTimer(0);
        QCoreApplication::processEvents();
    }
    if (lab.window->Engine()->Submitted() == 0)
        state.SkipWithError("the batch in flight was dropped");
    state.counters["rows"] = lab.Rows();
}

// Wakes the window's thread from another thread.
class Waker final : public QObject {};

constexpr int kBurstFiles = 10000;

// Files created one after the other by another program (here: a thread),
// each with a line written, while the window runs with its one-second timer.
void BM_DirectoryChangeBurst(benchmark::State& state, const std::string& base) {
    double posted = 0, windowCpu = 0, messages = 0, rescans = 0, ticks = 0, cpu = 0, rescanCpu = 0,
           refreshCpu = 0;
    for (auto _ : state) {
        bench::ScratchDir queue(base);
        WindowLab lab(queue.Path(), 0, 0);
        lab.poster.holdOff = std::chrono::milliseconds(state.range(0));
        lab.poster.quiet = std::chrono::milliseconds(state.range(1));
        const auto startWait = Clock::now();
        while (!lab.window->Watcher()->IsRunning() &&
               Clock::now() - startWait < std::chrono::seconds(5))
            QCoreApplication::processEvents();
        WindowEventCounter counter;
        lab.window->installEventFilter(&counter);
        lab.rescans = 0;
        Waker waker;

        std::atomic<bool> done{false};
        double creatorCpu = 0;
        const double cpuBefore = bench::ProcessCpuSeconds();
        const double windowCpuBefore = bench::ThreadCpuSeconds();
        const auto start = Clock::now();
        std::thread creator([&] {
            const double own = bench::ThreadCpuSeconds();
            char name[32];
            for (int i = 0; i < kBurstFiles; ++i) {
                std::snprintf(name, sizeof name, "/%06d.olb", i);
                const int fd =
                    open((queue.Path() + name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
                if (fd >= 0) {
                    [[maybe_unused]] const ssize_t w = write(fd, "Sample list\n", 12);
                    close(fd);
                }
            }
            creatorCpu = bench::ThreadCpuSeconds() - own;
            done = true;
            QCoreApplication::postEvent(&waker, new QEvent(QEvent::User));
        });
        // Until the window lists every file (the one-second tick guarantees
        // that even if a message were lost), then what is still queued.
        while (!done || lab.Rows() < kBurstFiles) {
            if (Clock::now() - start > std::chrono::seconds(60))
                break;
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        creator.join();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        cpu += bench::ProcessCpuSeconds() - cpuBefore - creatorCpu;
        windowCpu += bench::ThreadCpuSeconds() - windowCpuBefore;
        lab.window->removeEventFilter(&counter);
        posted += lab.poster.posted;
        messages += counter.messages;
        rescans += lab.rescans;
        ticks += counter.ticks;
        if (lab.Rows() != kBurstFiles)
            state.SkipWithError("the window did not list every file");
        state.SetIterationTime(wall);

        // What one full rescan, and one answered message, cost now.
        constexpr int kRounds = 10;
        double t = bench::ThreadCpuSeconds();
        for (int i = 0; i < kRounds; ++i)
            lab.window->Engine()->Rescan();
        rescanCpu += (bench::ThreadCpuSeconds() - t) / kRounds;
        t = bench::ThreadCpuSeconds();
        for (int i = 0; i < kRounds; ++i) {
            lab.window->OnDirectoryChange(0, 0);
            QCoreApplication::processEvents();
        }
        refreshCpu += (bench::ThreadCpuSeconds() - t) / kRounds;
    }
    const auto avg = [](double v) {
        return benchmark::Counter(v, benchmark::Counter::kAvgIterations);
    };
    state.counters["files"] = kBurstFiles;
    state.counters["posted"] = avg(posted);
    state.counters["handled"] = avg(messages);
    state.counters["rescans"] = avg(rescans);
    state.counters["ticks"] = avg(ticks);
    state.counters["burst_cpu_ms"] = avg(cpu * 1e3);
    state.counters["window_cpu_ms"] = avg(windowCpu * 1e3);
    state.counters["rescan_cpu_ms"] = avg(rescanCpu * 1e3);
    state.counters["message_cpu_ms"] = avg(refreshCpu * 1e3);
    state.counters["rescan_equivalents"] = rescanCpu > 0 ? cpu / rescanCpu : 0;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    for (const long size : {1000L, 10000L, 100000L}) {
        benchmark::RegisterBenchmark("BM_ScanFloor", BM_ScanFloor)
            ->Arg(size)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_WindowTick", BM_WindowTick)
            ->Arg(size)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_TickAgainstFloor", BM_TickAgainstFloor)
            ->ArgNames({"waiting", "changing"})
            ->Args({size, 0})
            ->Args({size, 1})
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_WindowTickBatchInFlight", BM_WindowTickBatchInFlight)
            ->Arg(size)
            ->Unit(benchmark::kMillisecond);
    }
    // No hold-off and no quiet period: the window as it is; the others try out
    // the proposed changes.
    // The burst lasts as long as the file system takes to create the files:
    // on disk (the temporary directory) and in memory (/dev/shm).
    for (const std::string& base : {bench::TemporaryBase(), std::string("/dev/shm")}) {
        const std::string name =
            std::string("BM_DirectoryChangeBurst/") + (base == "/dev/shm" ? "shm" : "tmp");
        benchmark::RegisterBenchmark(name.c_str(), BM_DirectoryChangeBurst, base)
            ->ArgNames({"holdoff_ms", "quiet_ms"})
            ->Args({0, 0})
            ->Args({250, 0})
            ->Args({500, 0})
            ->Args({0, 100})
            ->Iterations(3)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
