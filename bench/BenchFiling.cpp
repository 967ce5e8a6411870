// Filing one batch (its batch file and one companion of 1 KiB or 1 GiB) into
// the Processed directory, within one file system and across two (from
// /dev/shm to the temporary directory), side by side with `mv` and with `cp`
// followed by `sync` and `rm`; and the durable writes of the run record that
// go with each batch, on the disk and in /dev/shm.
#include "BenchSupport.h"
#include "engine/CBatchQueue.h"
#include "engine/RunRecord.h"

#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>
#include <vector>

namespace {

enum Method { kFileBatch, kMv, kCpSyncRm };
enum Where { kSameFileSystem, kAcrossFileSystems };

constexpr const char* kSharedMemory = "/dev/shm";
const char* const kNames[] = {"B.olb", "B.dat"};

bool SameFileSystem(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev;
}

// A queue directory with one batch B (B.olb and its companion B.dat) and a
// Processed directory, on one file system or on two. The batch's files are
// staged as links to masters beside the queue, so staging costs no copy.
class FilingLab {
public:
    FilingLab(Where where, std::size_t companionBytes)
        : m_source(where == kAcrossFileSystems ? kSharedMemory : bench::TemporaryBase()),
          m_target(bench::TemporaryBase()) {
        queue = m_source / "queue";
        masters = m_source / "masters";
        processed = m_target / "Processed";
        mkdir(queue.c_str(), 0700);
        mkdir(masters.c_str(), 0700);
        mkdir(processed.c_str(), 0700);
        ok = bench::WriteFileOfSize(masters + "/B.olb", 12) &&
             bench::WriteFileOfSize(masters + "/B.dat", companionBytes);
    }

    // The batch back in the queue, nothing in Processed.
    bool Stage() const {
        for (const char* name : kNames) {
            unlink((processed + "/" + name).c_str());
            unlink((queue + "/" + name).c_str());
            if (link((masters + "/" + name).c_str(), (queue + "/" + name).c_str()) != 0)
                return false;
        }
        return true;
    }

    // Both files in Processed and gone from the queue.
    bool Filed() const {
        struct stat st {};
        for (const char* name : kNames)
            if (stat((processed + "/" + name).c_str(), &st) != 0 ||
                stat((queue + "/" + name).c_str(), &st) == 0)
                return false;
        return true;
    }

    std::vector<std::string> QueueFiles() const { return {queue + "/B.olb", queue + "/B.dat"}; }
    std::vector<std::string> ProcessedFiles() const {
        return {processed + "/B.olb", processed + "/B.dat"};
    }

    std::string queue, masters, processed;
    bool ok = false;

private:
    bench::ScratchDir m_source;
    bench::ScratchDir m_target;
};

std::vector<std::string> Command(std::vector<std::string> head,
                                 const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

void BM_FileBatch(benchmark::State& state, Method method, Where where) {
    const auto bytes = static_cast<std::size_t>(state.range(0)) * 1024;
    if (where == kAcrossFileSystems && SameFileSystem(kSharedMemory, bench::TemporaryBase())) {
        state.SkipWithError("no second file system at /dev/shm");
        return;
    }
    FilingLab lab(where, bytes);
    if (!lab.ok) {
        state.SkipWithError("cannot make the batch files");
        return;
    }
    engine::CBatchQueue queue{engine::EngineServices{}};
    settings::CBatchParams params;
    params.QueueDir = lab.queue;
    params.ProcessedDir = lab.processed;
    queue.SetSettings(params);
    engine::CBatch batch;
    batch.title = "B";
    batch.path = lab.queue + "/B.olb";

    for (auto _ : state) {
        state.PauseTiming();
        const bool staged = lab.Stage();
        state.ResumeTiming();
        bool ran = staged;
        switch (method) {
        case kFileBatch:
            queue.FileBatch(batch, true);
            break;
        case kMv:
            ran = ran && bench::Run(Command({"mv", "-t", lab.processed}, lab.QueueFiles()));
            break;
        case kCpSyncRm: {
            // sync with names flushes those files and the directory, no more.
            auto synced = lab.ProcessedFiles();
            synced.push_back(lab.processed);
            ran = ran && bench::Run(Command({"cp", "-t", lab.processed}, lab.QueueFiles())) &&
                  bench::Run(Command({"sync"}, synced)) &&
                  bench::Run(Command({"rm"}, lab.QueueFiles()));
            break;
        }
        }
        if (!ran || !lab.Filed()) {
            state.SkipWithError("the batch was not filed");
            break;
        }
    }
    state.counters["companion_bytes"] = static_cast<double>(bytes);
}

// A run record's entry as the engine writes it for a batch of a queue
// directory: an accepted batch with a typical path and identity.
engine::RunEntry TypicalEntry(std::size_t n) {
    const std::string title = std::to_string(100000 + n);
    engine::RunEntry entry;
    entry.identity.inode = 3'000'000 + n;
    entry.identity.bornSeconds = 1'765'000'000 + static_cast<std::int64_t>(n);
    entry.identity.bornNanoseconds = 123'456'789;
    entry.identity.size = 2'000;
    entry.identity.modifiedSeconds = entry.identity.bornSeconds;
    entry.identity.modifiedNanoseconds = 5'000;
    entry.identity.digest = 0x9E3779B97F4A7C15ULL ^ n;
    entry.name = title + ".olb";
    entry.title = title;
    entry.stage = engine::RunStage::Accepted;
    return entry;
}

// The record lives in a directory of its own under `base`, as in the queue
// directory's own folder.
struct RecordLab {
    explicit RecordLab(const std::string& base)
        : dir(base), store(dir / "runs", platform::DefaultFileOps()) {}
    bench::ScratchDir dir;
    engine::StateFileRunRecordStore store;
};

// One durable write of a record holding `entries` entries: what every change
// of a batch's stage costs.
void BM_RunRecordSave(benchmark::State& state, const std::string& base) {
    RecordLab lab(base);
    std::vector<engine::RunEntry> entries;
    for (long i = 0; i < state.range(0); ++i)
        entries.push_back(TypicalEntry(static_cast<std::size_t>(i)));
    const std::string text = engine::FormatRunRecord(entries);
    if (!lab.store.Save(text)) {
        state.SkipWithError("cannot write the run record");
        return;
    }
    for (auto _ : state) {
        if (!lab.store.Save(text)) {
            state.SkipWithError("cannot write the run record");
            break;
        }
    }
    state.counters["record_bytes"] = static_cast<double>(text.size());
}

// The record's part in one plain accepted batch while `others` entries stay in
// it: the hand-over written before the call, the acceptance after it, the
// destination before its files move, and the removal once it is filed; four
// writes, each formatted afresh.
void BM_RunRecordPlainBatch(benchmark::State& state, const std::string& base) {
    RecordLab lab(base);
    engine::RunRecord record(&lab.store);
    record.Load();
    const auto others = static_cast<std::size_t>(state.range(0));
    for (std::size_t i = 0; i < others; ++i)
        record.Put(TypicalEntry(i));
    if (!record.Save()) {
        state.SkipWithError("cannot write the run record");
        return;
    }
    engine::RunEntry batch = TypicalEntry(others);
    batch.stage = engine::RunStage::HandingOver;
    for (auto _ : state) {
        record.Put(batch);
        bool saved = record.Save();
        record.SetStage(batch, engine::RunStage::Accepted);
        saved = record.Save() && saved;
        record.SetStage(batch, engine::RunStage::Processed);
        saved = record.Save() && saved;
        record.Erase(batch);
        saved = record.Save() && saved;
        if (!saved) {
            state.SkipWithError("cannot write the run record");
            break;
        }
    }
    state.counters["other_entries"] = static_cast<double>(others);
}

// Counts the flushes the engine makes, and the time they take.
class CountingFileOps final : public platform::SystemFileOps {
public:
    int Fsync(int fd) override {
        const auto start = std::chrono::steady_clock::now();
        const int rc = platform::SystemFileOps::Fsync(fd);
        spent += std::chrono::steady_clock::now() - start;
        ++fsyncs;
        return rc;
    }
    long fsyncs = 0;
    std::chrono::steady_clock::duration spent{};
};

// A suite that takes every batch and runs it at once.
class InstantSuite final : public external::QueueLibrary {
public:
    int IsKorvaneRunning() override { return 1; }
    int GetNumberOfQueueItems() override { return 0; }
    int QueueControl(int) override { return 1; }
    int QueueSampleBatch(const std::string&, int, int, int, int) override { return 1; }
};

class FixedClock final : public engine::Clock {
public:
    std::int64_t Now() override { return 4'000'000'000; }
};

// Keeps the disk busy: writes and flushes a file over and over.
class DiskLoad {
public:
    explicit DiskLoad(const std::string& path) : m_path(path) {
        m_thread = std::thread([this] {
            std::vector<char> block(std::size_t{4} << 20, 'x');
            while (!m_stop) {
                FILE* f = std::fopen(m_path.c_str(), "w");
                if (f == nullptr)
                    return;
                for (int i = 0; i < 16 && !m_stop; ++i)
                    std::fwrite(block.data(), 1, block.size(), f);
                std::fflush(f);
                fsync(fileno(f));
                std::fclose(f);
            }
        });
    }
    ~DiskLoad() {
        m_stop = true;
        m_thread.join();
        std::remove(m_path.c_str());
    }

private:
    std::string m_path;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// One batch (its file and a report) through the engine's whole road, with the
// record in the queue's own folder already holding `others` unfiled entries:
// the flushes per batch, and the time they take on a quiet or a loaded disk.
void BM_BatchRoadFlushes(benchmark::State& state, bool loaded) {
    bench::ScratchDir dir(bench::TemporaryBase());
    const std::string queue = dir / "queue";
    mkdir(queue.c_str(), 0700);
    mkdir((dir / "Processed").c_str(), 0700);
    // The record as a queue with unfiled batches leaves it, before the engine
    // first reads it.
    mkdir((queue + "/.tesmaro").c_str(), 0700);
    std::vector<engine::RunEntry> others;
    for (long i = 0; i < state.range(0); ++i)
        others.push_back(TypicalEntry(static_cast<std::size_t>(i)));
    // Batches in flight whose files stay (another filter's): their entries
    // stay in the record for the whole run.
    for (engine::RunEntry& entry : others) {
        entry.name = entry.title + ".hold";
        const std::string path = queue + "/" + entry.name;
        std::fclose(std::fopen(path.c_str(), "w"));
        platform::IdentifyAt(platform::DefaultFileOps(), path, entry.identity);
        entry.identity.device = 0;
        entry.stage = engine::RunStage::Printing;
    }
    engine::StateFileRunRecordStore(queue + "/.tesmaro/runs", platform::DefaultFileOps())
        .Save(engine::FormatRunRecord(others));
    CountingFileOps files;
    InstantSuite suite;
    FixedClock clock;
    engine::CBatchQueue engine(
        engine::EngineServices{&suite, &clock, engine::DefaultFinderFactory(), &files});
    settings::CBatchParams params;
    params.QueueDir = queue;
    params.ProcessedDir = dir / "Processed";
    params.FailedDir = dir / "Failed";
    params.Filters = "*.olb";
    params.Acquire = 1;
    engine.SetSettings(params);
    engine.ProcessStep(); // takes the queue and reads its record
    std::optional<DiskLoad> load;
    if (loaded)
        load.emplace(dir / "load.bin");
    long batches = 0;
    files.fsyncs = 0;
    files.spent = {};
    for (auto _ : state) {
        state.PauseTiming();
        for (const char* name : {"B.olb", "B.rpt"}) {
            FILE* f = std::fopen((queue + "/" + name).c_str(), "w");
            std::fputs("row\n", f);
            std::fclose(f);
        }
        state.ResumeTiming();
        for (int tick = 0; tick < 4; ++tick)
            engine.ProcessStep();
        ++batches;
    }
    state.counters["fsyncs_per_batch"] = static_cast<double>(files.fsyncs) / batches;
    state.counters["fsync_ms_per_batch"] =
        std::chrono::duration<double, std::milli>(files.spent).count() / batches;
    state.counters["record_entries"] = static_cast<double>(state.range(0));
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const char* methodNames[] = {"FileBatch", "mv", "cp+sync+rm"};
    for (const Where where : {kSameFileSystem, kAcrossFileSystems}) {
        for (const long kib : {1L, 1024L * 1024L}) {
            for (const Method method : {kFileBatch, kMv, kCpSyncRm}) {
                // Copying within one file system is not what filing does there.
                if (where == kSameFileSystem && method == kCpSyncRm)
                    continue;
                char name[96];
                std::snprintf(name, sizeof name, "BM_Filing/%s/%s", methodNames[method],
                              where == kSameFileSystem ? "same_fs" : "across_fs");
                auto* b = benchmark::RegisterBenchmark(name, BM_FileBatch, method, where)
                              ->Arg(kib)
                              ->ArgName("kib")
                              ->UseRealTime()
                              ->Unit(benchmark::kMillisecond);
                if (kib > 1024)
                    b->Iterations(3);
            }
        }
    }
    // The record's writes: on the disk (the temporary directory), where the
    // flushes wait for it, and in memory, where they do not.
    for (const std::string& base : {bench::TemporaryBase(), std::string(kSharedMemory)}) {
        const std::string where = base == kSharedMemory ? "shm" : "tmp";
        benchmark::RegisterBenchmark(("BM_RunRecordSave/" + where).c_str(), BM_RunRecordSave, base)
            ->ArgName("entries")
            ->Arg(1)
            ->Arg(100)
            ->UseRealTime()
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("BM_RunRecordPlainBatch/" + where).c_str(),
                                     BM_RunRecordPlainBatch, base)
            ->ArgName("others")
            ->Arg(0)
            ->Arg(99)
            ->Arg(10'000)
            ->UseRealTime()
            ->Unit(benchmark::kMicrosecond);
    }
    for (const bool loaded : {false, true})
        benchmark::RegisterBenchmark(loaded ? "BM_BatchRoadFlushes/loaded_disk"
                                            : "BM_BatchRoadFlushes/quiet_disk",
                                     BM_BatchRoadFlushes, loaded)
            ->ArgName("record_entries")
            ->Arg(0)
            ->Arg(1'000)
            ->Iterations(20)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
