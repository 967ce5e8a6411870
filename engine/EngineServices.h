#pragma once

#include "engine/Clock.h"
#include "engine/EngineEvent.h"
#include "engine/RunRecord.h"
#include "external/CFileFindS.h"
#include "external/QueueLibrary.h"
#include "platform/FileOps.h"
#include "platform/ProcessLauncher.h"
#include "platform/WriterView.h"

#include <functional>
#include <memory>
#include <string>

namespace engine {

using FinderFactory = std::function<std::unique_ptr<external::CFileFindS>()>;

// A factory that makes the real finder.
FinderFactory DefaultFinderFactory();

// What the engine needs from outside, passed in so that tests can replace it.
// The engine does not own these; they must outlive it. Each one may be left
// out: the engine then uses its own real one (a missing queue library answers
// like one that could not be loaded: not running, no items).
struct EngineServices {
    external::QueueLibrary* library = nullptr;
    Clock* clock = nullptr;
    FinderFactory finders = DefaultFinderFactory();
    // Every file the engine moves, reads, creates or deletes goes through this.
    platform::FileOps* files = &platform::DefaultFileOps();
    // Starts the result viewer.
    platform::ProcessLauncher* launcher = nullptr;
    // Where the record of handed-over batches is kept; left out, it is kept in
    // Tesmaro's folder inside the queue directory, shared by every Tesmaro
    // that works that queue. Given, this one store serves every queue (tests).
    RunRecordStore* runs = nullptr;
    // Told what happens, for the administrator's log; left out, nobody is.
    EventSink* events = nullptr;
    // The per-user record that earlier versions kept; its entries for a queue
    // move into that queue's record. Empty: there is none.
    std::string legacyRuns{};
    // Who is still writing a file of the queue directory, where a read lease
    // cannot tell (another user's file); left out, only the settle time guards.
    const platform::WriterView* writers = nullptr;
};

} // namespace engine
