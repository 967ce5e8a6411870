// The real program left alone: its CPU time and resident memory over a quiet
// period (60 seconds unless TESMARO_IDLE_SECONDS says otherwise), once with an
// empty queue and once with 100,000 waiting batches and the suite not running,
// and a third time like the second with the C library told to map every
// block over 128 KiB on its own, which tells whether setting that at start-up
// would give memory back that the heap otherwise keeps. All run
// side by side, each in a private settings home, state home (its run record)
// and runtime directory, and each on a queue directory of its own.
#include "BenchSupport.h"
#include "QueueDirFixture.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

std::string Quoted(const std::string& value) {
    std::string out = "\"";
    for (const char c : value) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

// Tesmaro running on one queue directory in a scene of its own.
class RunningTesmaro {
public:
    // With no batches waiting the status file is made before the start, so
    // that the first tick is seen when it removes it.
    RunningTesmaro(const std::string& queueDir, bool batchesWaiting,
                   const std::vector<std::string>& extraEnvironment = {})
        : m_batchesWaiting(batchesWaiting) {
        const std::string config = m_scene / "config";
        const std::string state = m_scene / "state";
        const std::string runtime = m_scene / "runtime";
        m_statusFile = m_scene / "status.sem";
        mkdir(config.c_str(), 0700);
        mkdir((config + "/Orbinel").c_str(), 0700);
        mkdir(runtime.c_str(), 0700);
        std::ofstream(config + "/Orbinel/Tesmaro.conf")
            << "[Settings]\n"
            << "QueueDir=" << Quoted(queueDir) << "\n"
            << "Filters=" << Quoted("*.olb") << "\n"
            << "StatusFile=" << Quoted(m_statusFile) << "\n"
            << "AbortFile=" << Quoted(m_scene / "abort.sem") << "\n"
            << "ProcessedDir=" << Quoted(m_scene / "Processed") << "\n"
            << "FailedDir=" << Quoted(m_scene / "Failed") << "\n";
        if (!batchesWaiting)
            std::ofstream(m_statusFile) << "";
        const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
        std::vector<std::string> environment = {
            "XDG_CONFIG_HOME=" + config, "XDG_STATE_HOME=" + state, "XDG_RUNTIME_DIR=" + runtime,
            // No suite listens there: it is not running.
            "KORVANE_SIM_SOCKET=" + (m_scene / "no-suite.sock"), "QT_QPA_PLATFORM=offscreen"};
        environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
        m_pid = bench::Spawn({TESMARO_EXECUTABLE}, -1, devNull, environment);
        close(devNull);
    }
    ~RunningTesmaro() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            bench::Wait(m_pid);
        }
    }

    // Running once its first tick has settled the status file: present while
    // batches wait, absent for an empty queue.
    bool WaitUntilTicking() const {
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        while (Clock::now() < deadline) {
            if (Exists(m_statusFile) == m_batchesWaiting)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    pid_t Pid() const { return m_pid; }

private:
    bench::ScratchDir m_scene;
    std::string m_statusFile;
    bool m_batchesWaiting;
    pid_t m_pid = -1;
};

double Seconds() {
    const char* text = std::getenv("TESMARO_IDLE_SECONDS");
    const double s = text ? std::atof(text) : 0;
    return s > 0 ? s : 60;
}

void BM_Idle(benchmark::State& state) {
    const auto batches = static_cast<std::size_t>(state.range(0));
    const std::string& fullQueue = QueueDirWith(batches);
    // The same batches in another directory: a second Tesmaro on the first
    // would only show the list, never tick as the owner does.
    const std::string& trialQueue = QueueDirWith(batches, 1);
    bench::ScratchDir emptyQueue;
    for (auto _ : state) {
        RunningTesmaro empty(emptyQueue.Path(), false);
        RunningTesmaro full(fullQueue, true);
        // Large blocks always mapped on their own, so that freeing them
        // returns the memory: what a start-up setting of the threshold would do.
        RunningTesmaro trial(trialQueue, true, {"MALLOC_MMAP_THRESHOLD_=131072"});
        if (!empty.WaitUntilTicking() || !full.WaitUntilTicking() || !trial.WaitUntilTicking()) {
            state.SkipWithError("Tesmaro did not start ticking");
            return;
        }
        const double emptyCpu = bench::ChildCpuSeconds(empty.Pid());
        const double fullCpu = bench::ChildCpuSeconds(full.Pid());
        const auto emptyStartRss = bench::ResidentKiB(empty.Pid()).first;
        const auto fullStartRss = bench::ResidentKiB(full.Pid()).first;
        const auto start = Clock::now();
        // Halfway, to tell a start that settles from memory that keeps growing.
        std::this_thread::sleep_for(std::chrono::duration<double>(Seconds() / 2));
        const auto fullHalfwayRss = bench::ResidentKiB(full.Pid()).first;
        std::this_thread::sleep_for(std::chrono::duration<double>(Seconds() / 2));
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(wall);
        const auto [emptyRss, emptyPeak] = bench::ResidentKiB(empty.Pid());
        const auto [fullRss, fullPeak] = bench::ResidentKiB(full.Pid());
        state.counters["empty_cpu_percent"] =
            100 * (bench::ChildCpuSeconds(empty.Pid()) - emptyCpu) / wall;
        state.counters["full_cpu_percent"] =
            100 * (bench::ChildCpuSeconds(full.Pid()) - fullCpu) / wall;
        state.counters["empty_rss_mib"] = emptyRss / 1024.0;
        state.counters["empty_rss_growth_mib"] = (emptyRss - emptyStartRss) / 1024.0;
        state.counters["empty_peak_mib"] = emptyPeak / 1024.0;
        state.counters["full_rss_mib"] = fullRss / 1024.0;
        state.counters["full_rss_growth_mib"] = (fullRss - fullStartRss) / 1024.0;
        state.counters["full_rss_growth_second_half_mib"] = (fullRss - fullHalfwayRss) / 1024.0;
        state.counters["full_peak_mib"] = fullPeak / 1024.0;
        const auto trialRss = bench::ResidentKiB(trial.Pid()).first;
        state.counters["trial_full_rss_mib"] = trialRss / 1024.0;
        state.counters["trial_growth_mib"] = (trialRss - emptyRss) / 1024.0;
        state.counters["growth_mib"] = (fullRss - emptyRss) / 1024.0;
        state.counters["peak_growth_mib"] = (fullPeak - emptyPeak) / 1024.0;
    }
}

} // namespace

BENCHMARK(BM_Idle)->ArgName("waiting")->Arg(100000)->Iterations(1)->UseManualTime()->Unit(
    benchmark::kSecond);

BENCHMARK_MAIN();
