// The cost of one queue scan as the queue grows, against the floor: a plain
// readdir and statx loop over the same directory.
#include "QueueDirFixture.h"
#include "engine/CBatchQueue.h"
#include "external/QueueLibrary.h"

#include <benchmark/benchmark.h>

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>

namespace {

class IdleLibrary final : public external::QueueLibrary {
public:
    int IsKorvaneRunning() override { return 0; }
    int GetNumberOfQueueItems() override { return 0; }
    int QueueControl(int) override { return 0; }
    int QueueSampleBatch(const std::string&, int, int, int, int) override { return 0; }
};

void BM_Rescan(benchmark::State& state) {
    const std::string& dir = QueueDirWith(static_cast<std::size_t>(state.range(0)));
    IdleLibrary library;
    engine::SystemClock clock;
    engine::CBatchQueue queue(engine::EngineServices{&library, &clock});
    settings::CBatchParams params;
    params.QueueDir = dir;
    params.Filters = "*.olb";
    queue.SetSettings(params);
    for (auto _ : state) {
        queue.Rescan();
        benchmark::DoNotOptimize(queue.List().GetCount());
    }
    state.counters["files"] = static_cast<double>(queue.List().GetCount());
}

void BM_ReaddirStatxFloor(benchmark::State& state) {
    const std::string& dir = QueueDirWith(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        DIR* d = opendir(dir.c_str());
        std::size_t n = 0;
        while (const dirent* de = readdir(d)) {
            if (fnmatch("*.olb", de->d_name, 0) != 0)
                continue;
            struct statx stx {};
            if (statx(dirfd(d), de->d_name, AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_MTIME, &stx) ==
                0)
                ++n;
        }
        closedir(d);
        benchmark::DoNotOptimize(n);
    }
}

} // namespace

BENCHMARK(BM_Rescan)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReaddirStatxFloor)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
