#include "watcher/InotifyEvents.h"

#include <sys/inotify.h>

#include <cstring>

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

} // namespace

void SummarizeEvents(const void* data, std::size_t size, int topWatch, std::uint32_t countedMask,
                     EventSummary& summary) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t offset = 0;
    while (size - offset >= sizeof(inotify_event)) {
        inotify_event event;
        std::memcpy(&event, bytes + offset, sizeof event);
        if (event.len > size - offset - sizeof event)
            break;
        AddEvent(event, topWatch, countedMask, summary);
        offset += sizeof event + event.len;
    }
}

} // namespace watcher
