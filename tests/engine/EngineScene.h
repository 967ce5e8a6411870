#pragma once

#include "engine/CBatchQueue.h"
#include "support/FakeQueueLibrary.h"
#include "support/FaultyFileOps.h"
#include "support/RecordingEventSink.h"
#include "support/RecordingLauncher.h"
#include "support/TempDir.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace enginetest {

// A writer view set by hand: the queue watched, and the names being written.
struct FakeWriters final : platform::WriterView {
    bool watching = true;
    std::set<std::string> writing;

    Writing BeingWritten(const std::string&, const std::string& name) const override {
        if (!watching)
            return Writing::Unknown;
        return writing.count(name) != 0 ? Writing::Yes : Writing::No;
    }
    bool Watching(const std::string&) const override { return watching; }
};

// A queue directory with its Processed and Failed directories and semaphore
// paths in a fresh temporary directory, and an engine aimed at it with a fake
// queue library, a fake clock, a recording launcher and real files seen
// through a fault-injecting seam. The clock starts well after the files' time
// stamps, so that every batch has settled.
struct EngineScene {
    testsupport::TempDir root;
    std::string queue = root / "queue";
    std::string processed = root / "Processed";
    std::string failed = root / "Failed";
    std::string statusFile = root / "status.sem";
    std::string abortFile = root / "abort.sem";

    testsupport::FakeQueueLibrary library;
    testsupport::FakeClock clock{static_cast<std::int64_t>(std::time(nullptr)) + 3600};
    testsupport::RecordingLauncher launcher;
    testsupport::FaultyFileOps files;
    testsupport::RecordingEventSink events;
    FakeWriters writers;
    engine::MemoryRunRecordStore runs;
    // Set to null before Start, the record is kept in the queue directory's
    // own folder, one per queue, as in the program.
    engine::RunRecordStore* recordStore = &runs;
    settings::CBatchParams params;
    std::unique_ptr<engine::CBatchQueue> engine;

    // Starts viewers through `realLauncher` when given, else records them.
    explicit EngineScene(platform::ProcessLauncher* realLauncher = nullptr) {
        std::filesystem::create_directory(queue);
        params.QueueDir = queue;
        params.ProcessedDir = processed;
        params.FailedDir = failed;
        params.Filters = "*.olb";
        params.StatusFile = statusFile;
        params.AbortFile = abortFile;
        params.Acquire = 1;
        params.Process = 1;
        m_launcher = realLauncher ? realLauncher : &launcher;
        Start();
    }

    // A new engine on the same record, as after a restart of the program; the
    // old one is gone first, as a process that ended.
    void Start() {
        engine.reset();
        engine = std::make_unique<engine::CBatchQueue>(
            engine::EngineServices{&library,
                                   &clock,
                                   engine::DefaultFinderFactory(),
                                   &files,
                                   m_launcher,
                                   recordStore,
                                   &events,
                                   {},
                                   &writers});
        Apply();
        engine->RestoreRunRecord();
    }

    // Copies the edited settings into the engine.
    void Apply() { engine->SetSettings(params); }

    // Writes a file into the queue directory and returns its path.
    std::string Put(const std::string& name, const std::string& content = "row\n") {
        const std::string path = queue + "/" + name;
        testsupport::WriteFile(path, content);
        return path;
    }

    // Takes the head batch through an accepted submission.
    void SubmitHead() {
        library.running = 1;
        library.items = 0;
        library.submitResult = 1;
        engine->ProcessStep();
        library.calls.clear();
        events.events.clear();
    }

    // Ticks with the suite running and its queue empty.
    void IdleTicks(int count) {
        library.running = 1;
        for (int i = 0; i < count; ++i) {
            library.items = 0;
            engine->ProcessStep();
        }
    }

private:
    platform::ProcessLauncher* m_launcher = nullptr;
};

using Names = std::vector<std::string>;

} // namespace enginetest
