// The cost of one queue scan as the queue grows, side by side with the floor
// (a plain readdir and statx loop over the same directory) and with the
// pipeline a user would script instead (find | sort), and the cost of turning
// the scanned list into display rows.
#include "BenchSupport.h"
#include "QueueDirFixture.h"
#include "engine/CBatchQueue.h"
#include "external/QueueLibrary.h"
#include "support/ScriptedFinder.h"

#include <benchmark/benchmark.h>

namespace {

class IdleLibrary final : public external::QueueLibrary {
public:
    int IsKorvaneRunning() override { return 0; }
    int GetNumberOfQueueItems() override { return 0; }
    int QueueControl(int) override { return 0; }
    int QueueSampleBatch(const std::string&, int, int, int, int) override { return 0; }
};

// An engine aimed at a queue directory of the given size.
struct ScannedQueue {
    explicit ScannedQueue(std::size_t batches) : queue(engine::EngineServices{&library, &clock}) {
        settings::CBatchParams params;
        params.QueueDir = QueueDirWith(batches);
        params.Filters = "*.olb";
        queue.SetSettings(params);
    }
    IdleLibrary library;
    engine::SystemClock clock;
    engine::CBatchQueue queue;
};

void BM_Rescan(benchmark::State& state) {
    ScannedQueue scanned(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        scanned.queue.Rescan();
        benchmark::DoNotOptimize(scanned.queue.List().GetCount());
    }
    state.counters["batches"] = static_cast<double>(scanned.queue.List().GetCount());
}

// Rescan and the floor in turns within each iteration, which goes first
// alternating, so that both meet the same machine at the same moment: the
// ratio of their CPU times is the figure to watch on a shared machine.
void BM_RescanAgainstFloor(benchmark::State& state) {
    const auto batches = static_cast<std::size_t>(state.range(0));
    ScannedQueue scanned(batches);
    const std::string& dir = QueueDirWith(batches);
    double rescan = 0, floor = 0;
    bool rescanFirst = false;
    for (auto _ : state) {
        for (int turn = 0; turn < 2; ++turn) {
            const double start = bench::ThreadCpuSeconds();
            if ((turn == 0) == rescanFirst) {
                scanned.queue.Rescan();
                rescan += bench::ThreadCpuSeconds() - start;
            } else {
                benchmark::DoNotOptimize(bench::ScanFloor(dir, "*.olb"));
                floor += bench::ThreadCpuSeconds() - start;
            }
        }
        rescanFirst = !rescanFirst;
    }
    bench::ReportAgainstFloor(state, "rescan", rescan, floor);
}

void BM_ScanFloor(benchmark::State& state) {
    const std::string& dir = QueueDirWith(static_cast<std::size_t>(state.range(0)));
    std::size_t n = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(n = bench::ScanFloor(dir, "*.olb"));
    state.counters["batches"] = static_cast<double>(n);
}

void BM_FindSortPipeline(benchmark::State& state) {
    const std::string& dir = QueueDirWith(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        if (!bench::FindSortPipeline(dir, "*.olb"))
            state.SkipWithError("find | sort failed");
    }
}

void BM_DisplayRows(benchmark::State& state) {
    ScannedQueue scanned(static_cast<std::size_t>(state.range(0)));
    scanned.queue.Rescan();
    for (auto _ : state) {
        std::vector<std::string> names;
        std::vector<std::string> times;
        scanned.queue.DisplayRows(names, times);
        benchmark::DoNotOptimize(times.data());
    }
    state.counters["rows"] = static_cast<double>(scanned.queue.List().GetCount());
}

// An engine whose finder yields one batch per creation second: the case where
// no two rows share their formatted time. The list is scanned once, before
// the measurement.
struct FilledQueue {
    explicit FilledQueue(std::size_t batches)
        : queue(engine::EngineServices{nullptr, nullptr, DistinctSeconds(batches)}) {
        settings::CBatchParams params;
        params.QueueDir = "/q";
        params.Filters = "*.olb";
        queue.SetSettings(params);
        queue.Rescan();
    }
    static engine::FinderFactory DistinctSeconds(std::size_t batches) {
        std::vector<external::CFileFindS::Entry> entries;
        entries.reserve(batches);
        for (std::size_t i = 0; i < batches; ++i)
            entries.push_back({std::to_string(i) + ".olb",
                               1'700'000'000 + static_cast<std::int64_t>(i), 0, false});
        return [entries = std::move(entries)] {
            return std::make_unique<testsupport::ScriptedFinder>(entries);
        };
    }
    engine::CBatchQueue queue;
};

void BM_DisplayRowsDistinctSeconds(benchmark::State& state) {
    const FilledQueue filled(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::vector<std::string> names;
        std::vector<std::string> times;
        filled.queue.DisplayRows(names, times);
        benchmark::DoNotOptimize(times.data());
    }
    state.counters["rows"] = static_cast<double>(filled.queue.List().GetCount());
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    // Size by size, so that the figures compared with each other are taken
    // close together in time on a shared machine.
    for (const long size : {1000L, 10000L, 100000L}) {
        benchmark::RegisterBenchmark("BM_Rescan", BM_Rescan)
            ->Arg(size)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_RescanAgainstFloor", BM_RescanAgainstFloor)
            ->Arg(size)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_ScanFloor", BM_ScanFloor)
            ->Arg(size)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_FindSortPipeline", BM_FindSortPipeline)
            ->Arg(size)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark("BM_DisplayRowsDistinctSeconds", BM_DisplayRowsDistinctSeconds)
            ->Arg(size)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_DisplayRows", BM_DisplayRows)
            ->Arg(size)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
