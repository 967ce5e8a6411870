#include "watcher/InotifyEvents.h"

#include <sys/inotify.h>

#include <cstring>
#include <utility>

namespace watcher {

namespace {

constexpr std::uint32_t kSelfGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED;
constexpr std::uint32_t kEntryAddedOrRemoved = IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE;

void AddEvent(const inotify_event& event, int topWatch, std::uint32_t countedMask,
              EventSummary& summary) {
    if (event.mask & IN_Q_OVERFLOW) {
        summary.overflow = true;
        summary.changed = true;
        summary.treeChanged = true;
        return;
    }
    if (event.wd == topWatch) {
        if (event.mask & kSelfGone)
            summary.directoryGone = true;
    } else if (event.mask & IN_IGNORED) {
        summary.droppedWatches.push_back(event.wd);
    }
    if ((event.mask & IN_ISDIR) && (event.mask & kEntryAddedOrRemoved))
        summary.treeChanged = true;
    // Events without a name are about a watched directory itself; its parent
    // reports the same change under the directory's name where that counts.
    if (event.len > 0 && (event.mask & countedMask))
        summary.changed = true;
}

// Calls visit(event, name bytes) for each whole record of the buffer; a record
// cut short at its end is left out.
template <typename Visit> void ForEachEvent(const void* data, std::size_t size, Visit visit) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t offset = 0;
    while (size - offset >= sizeof(inotify_event)) {
        inotify_event event;
        std::memcpy(&event, bytes + offset, sizeof event);
        if (event.len > size - offset - sizeof event)
            break;
        visit(event, reinterpret_cast<const char*>(bytes + offset + sizeof event));
        offset += sizeof event + event.len;
    }
}

} // namespace

void SummarizeEvents(const void* data, std::size_t size, int topWatch, std::uint32_t countedMask,
                     EventSummary& summary) {
    ForEachEvent(data, size, [&](const inotify_event& event, const char*) {
        AddEvent(event, topWatch, countedMask, summary);
    });
}

void CollectWriterEvents(const void* data, std::size_t size, int topWatch,
                         std::vector<WriterEvent>& events) {
    using Kind = WriterEvent::Kind;
    ForEachEvent(data, size, [&](const inotify_event& event, const char* name) {
        if (event.mask & IN_Q_OVERFLOW) {
            events.push_back({Kind::Lost, 0, {}});
            return;
        }
        // Unnamed events are about the watched directory itself.
        if (event.wd != topWatch || event.len == 0)
            return;
        Kind kind;
        if (event.mask & IN_MODIFY)
            kind = Kind::Written;
        else if (event.mask & IN_CLOSE_WRITE)
            kind = Kind::Closed;
        else if (event.mask & IN_DELETE)
            kind = Kind::Removed;
        else if (event.mask & IN_MOVED_FROM)
            kind = Kind::MovedFrom;
        else if (event.mask & IN_MOVED_TO)
            kind = Kind::MovedTo;
        else
            return;
        // The name is padded with NULs up to len.
        events.push_back({kind, event.cookie, std::string(name, strnlen(name, event.len))});
    });
}

void ApplyWriterEvents(const std::vector<WriterEvent>& events, std::size_t maxMarks,
                       WriterMarks& marks) {
    using Kind = WriterEvent::Kind;
    // The renames begun by these events, and whether each took a mark away.
    std::vector<std::pair<std::uint32_t, bool>> moves;
    const auto mark = [&](const std::string& name) {
        if (marks.size() >= maxMarks && marks.count(name) == 0)
            marks.clear(); // too many to follow: as if events were lost
        marks.insert(name);
    };
    for (const WriterEvent& event : events) {
        switch (event.kind) {
        case Kind::Written:
            mark(event.name);
            break;
        case Kind::Closed:
        case Kind::Removed:
            marks.erase(event.name);
            break;
        case Kind::MovedFrom:
            moves.emplace_back(event.cookie, marks.erase(event.name) != 0);
            break;
        case Kind::MovedTo: {
            bool marked = false;
            for (auto it = moves.rbegin(); it != moves.rend(); ++it) {
                if (it->first == event.cookie) {
                    marked = it->second;
                    break;
                }
            }
            if (marked)
                mark(event.name);
            else
                marks.erase(event.name);
            break;
        }
        case Kind::Lost:
            marks.clear();
            moves.clear();
            break;
        }
    }
}

} // namespace watcher
