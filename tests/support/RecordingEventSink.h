#pragma once

#include "engine/EngineEvent.h"

#include <string>
#include <vector>

namespace testsupport {

// An event sink that keeps every event, and tells each in a short form for
// tables: "handed-over B flags=12 accepted", "filed B Failed unreadable 5",
// "viewer-ended B Exited 0", "queue-missing" and so on. Filing directories are
// told by their last component.
class RecordingEventSink final : public engine::EventSink {
public:
    void Report(const engine::EngineEvent& event) override { events.push_back(event); }

    static std::string Describe(const engine::EngineEvent& event);
    // Every event so far, described; `clear` forgets them.
    std::vector<std::string> Told(bool clear = true);

    std::vector<engine::EngineEvent> events;
};

inline std::string RecordingEventSink::Describe(const engine::EngineEvent& e) {
    using Kind = engine::EngineEvent::Kind;
    using End = platform::RunOutcome::End;
    static const char* const kReasons[] = {
        "", "refused", "unreadable", "aborted", "interrupted", "unknown", "unfileable"};
    const std::string head = std::string(engine::EventName(e.kind)) + " " + e.title;
    switch (e.kind) {
    case Kind::HandedOver:
        return head + " flags=" + std::to_string(e.flags) + (e.accepted ? " accepted" : " refused");
    case Kind::Completed:
        return head;
    case Kind::ViewerStarted: {
        std::string line = head;
        for (const std::string& arg : e.argv)
            line += " " + arg;
        return line;
    }
    case Kind::ViewerEnded: {
        const char* end = e.end == End::NotStarted     ? "NotStarted"
                          : e.end == End::Exited       ? "Exited"
                          : e.end == End::Killed       ? "Killed"
                          : e.end == End::StillRunning ? "StillRunning"
                          : e.end == End::Interrupted  ? "Interrupted"
                                                       : "?";
        return head + " " + end + " " + std::to_string(e.code) + " " +
               std::to_string(e.wait.count());
    }
    case Kind::Filed: {
        std::string line = head + " " + e.dir.substr(e.dir.rfind('/') + 1);
        if (e.reason != engine::EngineEvent::Reason::None)
            line += std::string(" ") + kReasons[static_cast<int>(e.reason)];
        if (e.error != 0)
            line += " " + std::to_string(e.error);
        return line;
    }
    case Kind::FilingRetried:
    case Kind::FilingGivenUp:
        return head + " " + std::to_string(e.error);
    case Kind::BatchBeingWritten:
        return head;
    case Kind::SettingsSaved:
        return std::string(engine::EventName(e.kind)) + " " + e.file;
    case Kind::SettingsNotSaved:
        return std::string(engine::EventName(e.kind)) + " " + e.file + " " +
               std::to_string(e.error);
    default: // the suite and the queue directory: the name alone
        return engine::EventName(e.kind);
    }
}

inline std::vector<std::string> RecordingEventSink::Told(bool clear) {
    std::vector<std::string> told;
    for (const engine::EngineEvent& event : events)
        told.push_back(Describe(event));
    if (clear)
        events.clear();
    return told;
}

} // namespace testsupport
