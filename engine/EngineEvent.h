#pragma once

#include "platform/ProcessLauncher.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace engine {

struct CBatch;

// Something that happened to a batch, the suite or the queue directory, told to
// whoever keeps the administrator's log. Plain data: the engine only reports;
// how it is written is the receiver's business.
struct EngineEvent {
    enum class Kind {
        HandedOver,         // title, path, flags, accepted
        Completed,          // title, path
        ViewerStarted,      // title, path, argv
        ViewerEnded,        // title, path, end, code, wait
        Filed,              // title, path, dir, reason (and error) for Failed
        FilingRetried,      // title, path, error: files stayed and are tried again
        SuiteAppeared,      //
        SuiteGone,          //
        QueueMissing,       // dir
        QueueBack,          // dir
        QueueHeldElsewhere, // dir: another Tesmaro works it
        QueueReleased,      // dir
        SettingsSaved,      // file
        QueueLocked,        // dir, error: something that is not a Tesmaro holds its lock
        RecordUnwritable,   // file (or dir), error: the run record cannot be kept
        RecordUnreadable,   // file, error: the run record is there but cannot be read
        RecordDamaged,      // file, code (first bad line, 0: not a record file at all)
        RecordWorking,      // file: the run record is read and written again
        RecordMigrated,     // file (the old per-user record), dir, code (entries moved)
        BatchReplaced,      // title, path: its file was replaced during the hand-over call
        BatchBeingWritten,  // title, path: settled by its time stamps, but still open for writing
        WritersUnseen,      // dir, code (1 not watched, 2 a network file system): the settle
                            // time is the only guard against writers
        WritersSeen,        // dir: local writers are seen again
        LinkRefused,        // dir (as set), path (the link), code (its owner): another user's
                            // link on the way; nothing is handed over or filed
        LinksTrusted,       // the link refused before is gone or trusted
        FilingGivenUp,      // title, path, error: a name no destination takes; left in place
        Started,            // fields: the version, the settings, the folders, the library
        LibraryLoaded,      // fields: the queue library, bound after trouble
        LibraryTrouble,     // fields: the queue library and why it is not bound
        SettingsNotSaved,   // file, error: the edited settings hold for this run only
    };
    // Why a batch went to Failed.
    enum class Reason {
        None,
        Refused,     // the suite refused it
        Unreadable,  // its file could not be read; error is the errno
        Aborted,     // the abort file was set
        Interrupted, // the last run ended in the hand-over call and the suite holds nothing
        Unknown,     // decided before this run began
        Unfileable,  // the Processed directory refuses its name; error is the errno
    };

    Kind kind = Kind::SuiteAppeared;
    std::string title;
    std::string path;
    std::string dir;
    std::string file;
    std::int32_t flags = 0;
    bool accepted = false;
    std::vector<std::string> argv;
    platform::RunOutcome::End end = platform::RunOutcome::End::NotStarted;
    int code = 0; // the exit status, signal number or errno, as `end` says
    std::chrono::milliseconds wait{0};
    Reason reason = Reason::None;
    int error = 0;
    // Named values, written in this order (start-up and the queue library).
    std::vector<std::pair<std::string, std::string>> fields;

    static EngineEvent HandedOver(const CBatch& batch, std::int32_t flags, bool accepted);
    static EngineEvent Completed(const CBatch& batch);
    static EngineEvent ViewerStarted(const CBatch& batch, std::vector<std::string> argv);
    static EngineEvent ViewerEnded(const CBatch& batch, platform::RunOutcome outcome,
                                   std::chrono::milliseconds wait);
    static EngineEvent Filed(const CBatch& batch, std::string dir, Reason reason = Reason::None,
                             int error = 0);
    static EngineEvent FilingRetried(const CBatch& batch, int error);
    static EngineEvent Replaced(const CBatch& batch);
    static EngineEvent OfBatch(Kind kind, const CBatch& batch, int error = 0);
    static EngineEvent Of(Kind kind);
    static EngineEvent OfDirectory(Kind kind, std::string dir);
    static EngineEvent SettingsSaved(std::string file);
    static EngineEvent SettingsNotSaved(std::string file, int error);
    static EngineEvent WithFields(Kind kind,
                                  std::vector<std::pair<std::string, std::string>> fields);
    static EngineEvent OfRecord(Kind kind, std::string file, int error = 0, int code = 0);

    bool operator==(const EngineEvent&) const = default;
};

// Receives the engine's events, on the engine's thread, as they happen.
class EventSink {
public:
    virtual ~EventSink() = default;
    virtual void Report(const EngineEvent& event) = 0;
};

// The event's name as the log writes it: "handed-over", "queue-missing" ...
const char* EventName(EngineEvent::Kind kind);

} // namespace engine
