#include "engine/EventReporter.h"

#include "engine/CBatch.h"

namespace engine {

void EventReporter::Report(const EngineEvent& event) {
    if (m_sink != nullptr)
        m_sink->Report(event);
}

void EventReporter::SuiteSeen(bool running) {
    if (running == m_suiteSeen)
        return;
    m_suiteSeen = running;
    Report(
        EngineEvent::Of(running ? EngineEvent::Kind::SuiteAppeared : EngineEvent::Kind::SuiteGone));
}

void EventReporter::QueueSeen(const std::string& dir, bool present, bool heldElsewhere) {
    using Kind = EngineEvent::Kind;
    if (present != m_queueSeen) {
        m_queueSeen = present;
        Report(EngineEvent::OfDirectory(present ? Kind::QueueBack : Kind::QueueMissing, dir));
    }
    // While the directory is away, who holds it is not known.
    if (present && heldElsewhere != m_heldElsewhereSeen) {
        m_heldElsewhereSeen = heldElsewhere;
        Report(EngineEvent::OfDirectory(
            heldElsewhere ? Kind::QueueHeldElsewhere : Kind::QueueReleased, dir));
    }
}

void EventReporter::RecordSeen(EngineEvent::Kind trouble, const std::string& where, int error,
                               int line) {
    if (trouble == m_recordSeen && error == m_recordErrorSeen)
        return;
    m_recordSeen = trouble;
    m_recordErrorSeen = error;
    if (trouble == EngineEvent::Kind::QueueLocked) {
        EngineEvent event = EngineEvent::OfDirectory(trouble, where);
        event.error = error;
        Report(event);
        return;
    }
    Report(EngineEvent::OfRecord(trouble, where, error, line));
}

void EventReporter::NoteFailure(const std::string& path, EngineEvent::Reason reason, int error) {
    m_failures[path] = Failure{reason, error};
}

void EventReporter::NoteFailureUnlessKnown(const std::string& path, EngineEvent::Reason reason) {
    m_failures.try_emplace(path, Failure{reason, 0});
}

void EventReporter::Filed(const CBatch& batch, const std::string& dir, bool failed,
                          EngineEvent::Reason fallback) {
    if (!failed) {
        Report(EngineEvent::Filed(batch, dir));
    } else if (const auto noted = m_failures.find(batch.path); noted != m_failures.end()) {
        Report(EngineEvent::Filed(batch, dir, noted->second.reason, noted->second.error));
    } else {
        Report(EngineEvent::Filed(batch, dir, fallback));
    }
    Forget(batch.path);
}

void EventReporter::FilingLeftFiles(const CBatch& batch, int error) {
    const auto [told, first] = m_filingCauses.try_emplace(batch.path, error);
    if (!first && told->second == error)
        return;
    told->second = error;
    Report(EngineEvent::FilingRetried(batch, error));
}

void EventReporter::WriterSeen(const CBatch& batch) {
    if (batch.path == m_writerSeen)
        return;
    m_writerSeen = batch.path;
    Report(EngineEvent::OfBatch(EngineEvent::Kind::BatchBeingWritten, batch));
}

void EventReporter::WriterGuardSeen(const std::string& dir, int why) {
    if (why == m_writerGuardSeen)
        return;
    m_writerGuardSeen = why;
    EngineEvent event = EngineEvent::OfDirectory(
        why == 0 ? EngineEvent::Kind::WritersSeen : EngineEvent::Kind::WritersUnseen, dir);
    event.code = why;
    Report(event);
}

void EventReporter::LinkSeen(const std::string& dir, const std::string& link, int owner) {
    if (link == m_linkSeen)
        return;
    m_linkSeen = link;
    if (link.empty()) {
        Report(EngineEvent::Of(EngineEvent::Kind::LinksTrusted));
        return;
    }
    EngineEvent event = EngineEvent::OfDirectory(EngineEvent::Kind::LinkRefused, dir);
    event.path = link;
    event.code = owner;
    Report(event);
}

void EventReporter::Forget(const std::string& path) {
    m_failures.erase(path);
    m_filingCauses.erase(path);
}

} // namespace engine
