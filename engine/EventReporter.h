#pragma once

#include "engine/EngineEvent.h"

#include <string>
#include <unordered_map>

namespace engine {

// Tells the engine's events to a sink (none: nothing is told), remembering
// what it takes to tell states only when they change, a failing filing once
// per cause, and why a batch goes to Failed until it is filed.
class EventReporter {
public:
    explicit EventReporter(EventSink* sink) : m_sink(sink) {}

    void Report(const EngineEvent& event);

    // The suite was found running or not.
    void SuiteSeen(bool running);
    // The queue directory `dir` was found there or not, and, when there,
    // held by another Tesmaro or not.
    void QueueSeen(const std::string& dir, bool present, bool heldElsewhere);

    // The queue's lock or record is in trouble (`trouble` one of QueueLocked,
    // RecordUnwritable, RecordUnreadable, RecordDamaged), or fine again
    // (RecordWorking); told only when it changes.
    void RecordSeen(EngineEvent::Kind trouble, const std::string& where, int error = 0,
                    int line = 0);

    // Why a batch goes to Failed, kept until it is filed or forgotten; the
    // second form keeps a reason already known.
    void NoteFailure(const std::string& path, EngineEvent::Reason reason, int error = 0);
    void NoteFailureUnlessKnown(const std::string& path, EngineEvent::Reason reason);
    // A batch filed whole into `dir`; into Failed (`failed`) with the reason
    // noted, else `fallback`. What was kept about it is forgotten.
    void Filed(const CBatch& batch, const std::string& dir, bool failed,
               EngineEvent::Reason fallback);
    // A filing left files behind for `error`.
    void FilingLeftFiles(const CBatch& batch, int error);
    // The batch settled but is still open for writing; told once while it
    // heads the queue.
    void WriterSeen(const CBatch& batch);
    // Whether writers of the queue directory `dir` can be seen (why 0), or
    // only the settle time guards (why 1: not watched, 2: a network file
    // system); told when it changes.
    void WriterGuardSeen(const std::string& dir, int why);
    // Another user's link on the way to `dir` (empty: none), owned by `owner`;
    // told when it changes.
    void LinkSeen(const std::string& dir, const std::string& link, int owner);
    // Forgets what was kept about the batch at `path`.
    void Forget(const std::string& path);

private:
    struct Failure {
        EngineEvent::Reason reason;
        int error;
    };

    EventSink* m_sink;
    bool m_suiteSeen = false; // a suite is not assumed at the start
    bool m_queueSeen = true;
    bool m_heldElsewhereSeen = false;
    EngineEvent::Kind m_recordSeen = EngineEvent::Kind::RecordWorking;
    int m_recordErrorSeen = 0;
    std::string m_writerSeen; // the path last told to be still open for writing
    int m_writerGuardSeen = 0;
    std::string m_linkSeen;
    // By batch path.
    std::unordered_map<std::string, Failure> m_failures;
    // The cause last told for a filing that left files behind, by batch path.
    std::unordered_map<std::string, int> m_filingCauses;
};

} // namespace engine
