// The two readers of a batch file that meet hostile sizes: the first-line
// marker search and the report-scheme read, in GB/s on dense page-cached
// files of several shapes and on sparse files; and the time a batch file of
// 1 TiB (one hole) takes from the head of the queue to the Failed directory,
// within one file system and across two.
#include "BenchSupport.h"
#include "engine/CBatchQueue.h"
#include "engine/FileError.h"
#include "platform/FileOps.h"
#include "platform/FirstLine.h"
#include "platform/ProfileReader.h"
#include "platform/RegularFile.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>

namespace {

constexpr const char* kSharedMemory = "/dev/shm";
constexpr off_t kMiB = off_t(1) << 20;

// The shapes of a dense file: one line with no end; two-byte lines; rows of
// a real batch file; key lines inside the [Batch] section that never hold
// the key; and one-letter lines there that all begin like the key.
enum Shape { kOneLine, kShortLines, kBatchRows, kSectionKeys, kSectionShortKeys };

std::string Pattern(Shape shape) {
    switch (shape) {
    case kOneLine:
        return std::string(4096, 'x');
    case kShortLines:
        return "x\n";
    case kBatchRows:
        return "S0001,Sample 0001 blank,Position 12,Method QX-7,Volume 10.0,1\r\n";
    case kSectionKeys:
        return "ReportSchemes=none\n";
    case kSectionShortKeys:
        return "r\n";
    }
    return {};
}

// Dense files made once per run and kept in the page cache by reading them.
class DenseFiles {
public:
    const std::string& Get(Shape shape, off_t bytes) {
        const auto key = std::make_pair(shape, bytes);
        auto it = m_paths.find(key);
        if (it != m_paths.end())
            return it->second;
        const std::string path =
            m_dir / ("dense-" + std::to_string(shape) + "-" + std::to_string(bytes));
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const bool section = shape == kSectionKeys || shape == kSectionShortKeys;
        std::string block = section ? "[Batch]\n" : "";
        const std::string pattern = Pattern(shape);
        while (block.size() < std::size_t(kMiB))
            block += pattern;
        block.resize(std::size_t(kMiB));
        if (shape == kOneLine)
            block.back() = 'x';
        for (off_t done = 0; fd >= 0 && done < bytes; done += kMiB) {
            if (write(fd, block.data(), block.size()) != ssize_t(block.size()))
                break;
            if (section) // the section header only once
                block.replace(0, 8, std::string(pattern).append(pattern).substr(0, 8));
        }
        if (fd >= 0)
            close(fd);
        return m_paths.emplace(key, path).first->second;
    }

private:
    bench::ScratchDir m_dir;
    std::map<std::pair<Shape, off_t>, std::string> m_paths;
};

DenseFiles& Dense() {
    static DenseFiles files;
    return files;
}

std::string SparseFile(const bench::ScratchDir& dir, off_t size, const std::string& tail) {
    const std::string path = dir / "sparse.olb";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
        if (ftruncate(fd, size) != 0 ||
            pwrite(fd, tail.data(), tail.size(), size - off_t(tail.size())) != ssize_t(tail.size()))
            unlink(path.c_str());
        close(fd);
    }
    return path;
}

bool SearchOnce(const std::string& path, platform::FirstLineScan& scan) {
    platform::FileOps& ops = platform::DefaultFileOps();
    platform::FileHandle file(ops, platform::OpenRegularFile(ops, path));
    if (!file.IsOpen())
        return false;
    scan = platform::SearchFirstLine(ops, file.Get(), "[OAQUAN]");
    return true;
}

std::string ReadScheme(const std::string& path) {
    return platform::ReadProfileString(platform::DefaultFileOps(), path, "Batch", "ReportScheme",
                                       "", 260);
}

void BM_FirstLineDense(benchmark::State& state) {
    const off_t bytes = state.range(0) * kMiB;
    const std::string& path = Dense().Get(kOneLine, bytes);
    platform::FirstLineScan scan{};
    for (auto _ : state)
        if (!SearchOnce(path, scan) || scan != platform::FirstLineScan::NotFound) {
            state.SkipWithError("not scanned to the end");
            break;
        }
    state.SetBytesProcessed(state.iterations() * bytes);
}

void BM_FirstLineSparse(benchmark::State& state) {
    // A hole up to the limit with the marker at its very end, and 1 TiB of hole.
    const off_t bytes = state.range(0) * kMiB;
    bench::ScratchDir dir;
    const std::string path =
        SparseFile(dir, bytes, bytes <= off_t(platform::kFirstLineLimit) ? "[OAQUAN]" : "\n");
    platform::FirstLineScan scan{};
    for (auto _ : state)
        if (!SearchOnce(path, scan) || scan == platform::FirstLineScan::ReadError) {
            state.SkipWithError("not scanned");
            break;
        }
    state.SetBytesProcessed(state.iterations() *
                            std::min<off_t>(bytes, off_t(platform::kFirstLineLimit)));
}

void BM_ReportSchemeDense(benchmark::State& state, Shape shape) {
    const off_t bytes = state.range(0) * kMiB;
    const std::string& path = Dense().Get(shape, bytes);
    for (auto _ : state)
        benchmark::DoNotOptimize(ReadScheme(path));
    state.SetBytesProcessed(state.iterations() *
                            std::min<off_t>(bytes, off_t(platform::kProfileReadLimit)));
}

void BM_ReportSchemeSparse(benchmark::State& state) {
    const off_t bytes = state.range(0) * kMiB;
    bench::ScratchDir dir;
    const std::string path = SparseFile(dir, bytes, "\n[Batch]\nReportScheme=Q7\n");
    for (auto _ : state)
        benchmark::DoNotOptimize(ReadScheme(path));
    state.SetBytesProcessed(state.iterations() *
                            std::min<off_t>(bytes, off_t(platform::kProfileReadLimit)));
}

// What the engine does with a 1 TiB head of the queue: the marker search
// finds the file unreadable, and the batch is filed into Failed.
void BM_OversizedHeadToFailed(benchmark::State& state, bool across) {
    bench::ScratchDir source(across ? kSharedMemory : "");
    bench::ScratchDir target;
    engine::CBatchQueue queue{engine::EngineServices{}};
    settings::CBatchParams params;
    params.QueueDir = source.Path();
    params.FailedDir = target / "Failed";
    queue.SetSettings(params);
    mkdir(params.FailedDir.c_str(), 0700);
    engine::CBatch batch;
    batch.title = "A";
    batch.path = source / "A.olb";
    for (auto _ : state) {
        state.PauseTiming();
        unlink((params.FailedDir + "/A.olb").c_str());
        const int fd = open(batch.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const bool made = fd >= 0 && ftruncate(fd, off_t(1) << 40) == 0;
        if (fd >= 0)
            close(fd);
        state.ResumeTiming();
        bool unreadable = false;
        try {
            queue.DetectQuanMarker(batch);
        } catch (const engine::FileError&) {
            unreadable = true;
        }
        queue.FileBatch(batch, false);
        struct stat filed {};
        if (!made || !unreadable || stat((params.FailedDir + "/A.olb").c_str(), &filed) != 0) {
            state.SkipWithError("the batch did not reach Failed");
            break;
        }
        state.counters["filed_allocated_KiB"] = double(filed.st_blocks) / 2;
    }
}

} // namespace

BENCHMARK(BM_FirstLineDense)->ArgName("MiB")->Arg(64)->Arg(1024)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstLineSparse)
    ->ArgName("MiB")
    ->Arg(1024)
    ->Arg(1 << 20)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ReportSchemeDense, one_line, kOneLine)
    ->ArgName("MiB")
    ->Arg(32)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReportSchemeDense, short_lines, kShortLines)
    ->ArgName("MiB")
    ->Arg(32)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReportSchemeDense, batch_rows, kBatchRows)
    ->ArgName("MiB")
    ->Arg(32)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReportSchemeDense, section_keys, kSectionKeys)
    ->ArgName("MiB")
    ->Arg(32)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReportSchemeDense, section_short_keys, kSectionShortKeys)
    ->ArgName("MiB")
    ->Arg(32)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReportSchemeSparse)
    ->ArgName("MiB")
    ->Arg(32)
    ->Arg(1 << 20)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_OversizedHeadToFailed, one_file_system, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OversizedHeadToFailed, across_file_systems, true)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
