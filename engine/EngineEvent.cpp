#include "engine/EngineEvent.h"

#include "engine/CBatch.h"

namespace engine {

EngineEvent EngineEvent::OfBatch(Kind kind, const CBatch& batch, int error) {
    EngineEvent event;
    event.kind = kind;
    event.title = batch.title;
    event.path = batch.path;
    event.error = error;
    return event;
}

EngineEvent EngineEvent::HandedOver(const CBatch& batch, std::int32_t flags, bool accepted) {
    EngineEvent event = OfBatch(Kind::HandedOver, batch);
    event.flags = flags;
    event.accepted = accepted;
    return event;
}

EngineEvent EngineEvent::Completed(const CBatch& batch) {
    return OfBatch(Kind::Completed, batch);
}

EngineEvent EngineEvent::ViewerStarted(const CBatch& batch, std::vector<std::string> argv) {
    EngineEvent event = OfBatch(Kind::ViewerStarted, batch);
    event.argv = std::move(argv);
    return event;
}

EngineEvent EngineEvent::ViewerEnded(const CBatch& batch, platform::RunOutcome outcome,
                                     std::chrono::milliseconds wait) {
    EngineEvent event = OfBatch(Kind::ViewerEnded, batch);
    event.end = outcome.end;
    event.code = outcome.code;
    event.wait = wait;
    return event;
}

EngineEvent EngineEvent::Filed(const CBatch& batch, std::string dir, Reason reason, int error) {
    EngineEvent event = OfBatch(Kind::Filed, batch);
    event.dir = std::move(dir);
    event.reason = reason;
    event.error = error;
    return event;
}

EngineEvent EngineEvent::FilingRetried(const CBatch& batch, int error) {
    EngineEvent event = OfBatch(Kind::FilingRetried, batch);
    event.error = error;
    return event;
}

EngineEvent EngineEvent::Replaced(const CBatch& batch) {
    return OfBatch(Kind::BatchReplaced, batch);
}

EngineEvent EngineEvent::Of(Kind kind) {
    EngineEvent event;
    event.kind = kind;
    return event;
}

EngineEvent EngineEvent::OfDirectory(Kind kind, std::string dir) {
    EngineEvent event = Of(kind);
    event.dir = std::move(dir);
    return event;
}

EngineEvent EngineEvent::SettingsSaved(std::string file) {
    EngineEvent event = Of(Kind::SettingsSaved);
    event.file = std::move(file);
    return event;
}

EngineEvent EngineEvent::SettingsNotSaved(std::string file, int error) {
    EngineEvent event = Of(Kind::SettingsNotSaved);
    event.file = std::move(file);
    event.error = error;
    return event;
}

EngineEvent EngineEvent::WithFields(Kind kind,
                                    std::vector<std::pair<std::string, std::string>> fields) {
    EngineEvent event = Of(kind);
    event.fields = std::move(fields);
    return event;
}

EngineEvent EngineEvent::OfRecord(Kind kind, std::string file, int error, int code) {
    EngineEvent event = Of(kind);
    event.file = std::move(file);
    event.error = error;
    event.code = code;
    return event;
}

const char* EventName(EngineEvent::Kind kind) {
    using Kind = EngineEvent::Kind;
    switch (kind) {
    case Kind::HandedOver:
        return "handed-over";
    case Kind::Completed:
        return "completed";
    case Kind::ViewerStarted:
        return "viewer-started";
    case Kind::ViewerEnded:
        return "viewer-ended";
    case Kind::Filed:
        return "filed";
    case Kind::FilingRetried:
        return "filing-retried";
    case Kind::SuiteAppeared:
        return "suite-appeared";
    case Kind::SuiteGone:
        return "suite-gone";
    case Kind::QueueMissing:
        return "queue-missing";
    case Kind::QueueBack:
        return "queue-back";
    case Kind::QueueHeldElsewhere:
        return "queue-held-elsewhere";
    case Kind::QueueReleased:
        return "queue-released";
    case Kind::SettingsSaved:
        return "settings-saved";
    case Kind::QueueLocked:
        return "queue-locked";
    case Kind::RecordUnwritable:
        return "record-unwritable";
    case Kind::RecordUnreadable:
        return "record-unreadable";
    case Kind::RecordDamaged:
        return "record-damaged";
    case Kind::RecordWorking:
        return "record-working";
    case Kind::RecordMigrated:
        return "record-migrated";
    case Kind::BatchReplaced:
        return "batch-replaced";
    case Kind::BatchBeingWritten:
        return "batch-being-written";
    case Kind::WritersUnseen:
        return "writers-unseen";
    case Kind::WritersSeen:
        return "writers-seen";
    case Kind::LinkRefused:
        return "link-refused";
    case Kind::LinksTrusted:
        return "links-trusted";
    case Kind::FilingGivenUp:
        return "filing-given-up";
    case Kind::Started:
        return "started";
    case Kind::LibraryLoaded:
        return "library-loaded";
    case Kind::LibraryTrouble:
        return "library-trouble";
    case Kind::SettingsNotSaved:
        return "settings-not-saved";
    }
    return "unknown-event";
}

} // namespace engine
