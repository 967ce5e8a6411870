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

#include <cstdio>

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
    entry.identity = {0,
                      3'000'000 + n,
                      1'765'000'000 + static_cast<std::int64_t>(n),
                      123'456'789,
                      2'000,
                      1'765'000'000 + static_cast<std::int64_t>(n),
                      5'000,
                      0x9E3779B97F4A7C15ULL ^ n};
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
            ->UseRealTime()
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
