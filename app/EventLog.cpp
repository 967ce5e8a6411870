#include "app/EventLog.h"

#include "engine/OperationFlags.h"
#include "platform/Path.h"
#include "platform/QueueDirectoryLock.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <pthread.h>
#include <string_view>
#include <unistd.h>

namespace app {

namespace {

using engine::EngineEvent;
using Kind = EngineEvent::Kind;

bool NeedsQuotes(std::string_view value, std::string_view alsoSpecial) {
    if (value.empty())
        return true;
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= ' ' || byte >= 0x7f || c == '"' || c == '\\' ||
            alsoSpecial.find(c) != std::string_view::npos)
            return true;
    }
    return false;
}

void AppendValue(std::string& line, std::string_view value, std::string_view alsoSpecial = {}) {
    if (!NeedsQuotes(value, alsoSpecial)) {
        line += value;
        return;
    }
    line += '"';
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            line += '\\';
            line += c;
        } else if (c == '\n') {
            line += "\\n";
        } else if (c == '\t') {
            line += "\\t";
        } else if (byte < ' ' || byte >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            line += hex;
        } else {
            line += c;
        }
    }
    line += '"';
}

void AppendField(std::string& line, std::string_view key, std::string_view value) {
    line += ' ';
    line += key;
    line += '=';
    AppendValue(line, value);
}

std::string ErrnoName(int error) {
    if (const char* name = strerrorname_np(error))
        return name;
    return std::to_string(error);
}

std::string Seconds(std::chrono::milliseconds wait) {
    const auto ms = wait.count();
    if (ms % 1000 == 0)
        return std::to_string(ms / 1000) + "s";
    return std::to_string(ms) + "ms";
}

std::string Timestamp(const std::tm& local, int millis) {
    char stamp[64];
    std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
    const long offset = local.tm_gmtoff;
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    n += static_cast<std::size_t>(std::snprintf(stamp + n, sizeof stamp - n, ".%03d%c%02ld:%02ld",
                                                millis, offset < 0 ? '-' : '+', minutes / 60,
                                                minutes % 60));
    return std::string(stamp, std::min(n, sizeof stamp - 1));
}

void AppendViewerEnd(std::string& line, const EngineEvent& event) {
    using End = platform::RunOutcome::End;
    switch (event.end) {
    case End::Exited:
        line += " exit=" + std::to_string(event.code);
        return;
    case End::Killed:
        line += " signal=" + std::to_string(event.code);
        return;
    case End::StillRunning:
        line += " still-running-after=" + Seconds(event.wait);
        return;
    case End::NotStarted:
        line += " not-started errno=" + ErrnoName(event.code);
        return;
    case End::Interrupted:
        line += " interrupted";
        return;
    }
    // Not reached for any end the launcher reports; told by its number all the same.
    line += " end=" + std::to_string(static_cast<int>(event.end)) +
            " code=" + std::to_string(event.code);
}

void AppendReason(std::string& line, const EngineEvent& event) {
    using Reason = EngineEvent::Reason;
    switch (event.reason) {
    case Reason::None:
        return;
    case Reason::Refused:
        line += " reason=refused";
        return;
    case Reason::Unreadable:
        line += " reason=unreadable errno=" + ErrnoName(event.error);
        return;
    case Reason::Unfileable:
        line += " reason=unfileable errno=" + ErrnoName(event.error);
        return;
    case Reason::Aborted:
        line += " reason=aborted";
        return;
    case Reason::Interrupted:
        line += " reason=interrupted";
        return;
    case Reason::Unknown:
        line += " reason=unknown";
        return;
    }
}

using Fields = std::vector<std::pair<std::string, std::string>>;

void AddLibrary(Fields& fields, const external::LibraryStatus& library, bool withState) {
    fields.emplace_back("library", library.path);
    if (withState)
        fields.emplace_back("library-state", external::LibraryStateName(library.state));
    if (!library.reason.empty())
        fields.emplace_back("reason", library.reason);
}

} // namespace

EngineEvent StartedEvent(const std::string& version, const std::string& settingsFile,
                         const settings::CBatchParams& params,
                         const external::LibraryStatus& library) {
    const std::string queue = platform::AbsolutePath(params.QueueDir);
    Fields fields{
        {"version", version},
        {"settings", settingsFile},
        {"queue", queue},
        {"processed", platform::AbsolutePath(params.ProcessedDir)},
        {"failed", platform::AbsolutePath(params.FailedDir)},
        {"record",
         platform::MakePath(platform::MakePath(queue, platform::kQueueFolderName), "runs")},
    };
    AddLibrary(fields, library, true);
    return EngineEvent::WithFields(Kind::Started, std::move(fields));
}

EngineEvent LibraryEvent(const external::LibraryStatus& library) {
    const bool loaded = library.state == external::LibraryStatus::State::Loaded;
    Fields fields;
    AddLibrary(fields, library, !loaded);
    return EngineEvent::WithFields(loaded ? Kind::LibraryLoaded : Kind::LibraryTrouble,
                                   std::move(fields));
}

std::string FormatEventLine(const EngineEvent& event, const std::tm& local, int millis) {
    std::string line = Timestamp(local, millis);
    line += ' ';
    line += engine::EventName(event.kind);
    switch (event.kind) {
    case Kind::SuiteAppeared:
    case Kind::SuiteGone:
        break;
    case Kind::QueueMissing:
    case Kind::QueueBack:
    case Kind::QueueHeldElsewhere:
    case Kind::QueueReleased:
        AppendField(line, "dir", event.dir);
        break;
    case Kind::QueueLocked:
        AppendField(line, "dir", event.dir);
        if (event.error != 0)
            line += " errno=" + ErrnoName(event.error);
        break;
    case Kind::SettingsSaved:
    case Kind::RecordWorking:
        AppendField(line, "file", event.file);
        break;
    case Kind::RecordUnwritable:
    case Kind::RecordUnreadable:
        AppendField(line, "file", event.file);
        line += " errno=" + ErrnoName(event.error);
        break;
    case Kind::RecordDamaged:
        AppendField(line, "file", event.file);
        line += event.code > 0 ? " line=" + std::to_string(event.code) : " what=not-a-record";
        break;
    case Kind::RecordMigrated:
        AppendField(line, "file", event.file);
        AppendField(line, "dir", event.dir);
        line += " entries=" + std::to_string(event.code);
        break;
    case Kind::WritersUnseen:
        AppendField(line, "dir", event.dir);
        line += event.code == 2 ? " why=network-file-system" : " why=not-watched";
        break;
    case Kind::WritersSeen:
        AppendField(line, "dir", event.dir);
        break;
    case Kind::LinkRefused:
        AppendField(line, "dir", event.dir);
        AppendField(line, "link", event.path);
        line += " owner=" + std::to_string(event.code);
        break;
    case Kind::LinksTrusted:
        break;
    case Kind::SettingsNotSaved:
        AppendField(line, "file", event.file);
        line += " errno=" + ErrnoName(event.error);
        break;
    case Kind::Started:
    case Kind::LibraryLoaded:
    case Kind::LibraryTrouble:
        for (const auto& [key, value] : event.fields)
            AppendField(line, key, value);
        break;
    default:
        AppendField(line, "title", event.title);
        AppendField(line, "path", event.path);
        break;
    }
    switch (event.kind) {
    case Kind::HandedOver:
        line += " flags=" + engine::OperationFlagNames(event.flags);
        line += event.accepted ? " result=accepted" : " result=refused";
        break;
    case Kind::ViewerStarted: {
        line += " argv=[";
        for (std::size_t i = 0; i < event.argv.size(); ++i) {
            if (i != 0)
                line += ',';
            AppendValue(line, event.argv[i], ",[]");
        }
        line += ']';
        break;
    }
    case Kind::ViewerEnded:
        AppendViewerEnd(line, event);
        break;
    case Kind::Filed:
        AppendField(line, "dir", event.dir);
        AppendReason(line, event);
        break;
    case Kind::FilingRetried:
    case Kind::FilingGivenUp:
        line += " errno=" + ErrnoName(event.error);
        break;
    default:
        break;
    }
    line += '\n';
    return line;
}

void EventLog::Report(const EngineEvent& event) {
    // The log never stops the work it tells of: a line that cannot be made is lost.
    try {
        Write(event);
    } catch (const std::exception&) {
    }
}

void EventLog::Write(const EngineEvent& event) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::tm local{};
    if (localtime_r(&now.tv_sec, &local) == nullptr)
        return;
    const std::string line =
        FormatEventLine(event, local, static_cast<int>(now.tv_nsec / 1'000'000));

    // A closed pipe must not end the program through SIGPIPE: the signal is
    // held back during the write and, when this write raised it, taken off.
    sigset_t pipe{};
    sigset_t old{};
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &old);
    sigset_t pending{};
    sigpending(&pending);
    const bool pendingBefore = sigismember(&pending, SIGPIPE) == 1;
    // One write takes the whole line in all but odd cases; the rest of a line
    // cut short follows, so that the next line still starts on its own.
    std::string_view rest = line;
    ssize_t written = 0;
    while (!rest.empty()) {
        written = write(m_fd, rest.data(), rest.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            break;
        rest.remove_prefix(static_cast<std::size_t>(written));
    }
    if (written < 0 && errno == EPIPE && !pendingBefore) {
        const timespec noWait{};
        while (sigtimedwait(&pipe, nullptr, &noWait) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

} // namespace app
