#pragma once

#include "platform/FileDescriptor.h"
#include "watcher/InotifyEvents.h"
#include "watcher/SubtreeWatches.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace watcher {

class WriterTracker;

// A change notification on one directory, and optionally on every directory
// below it: an inotify descriptor that becomes readable when something of the
// asked-for kinds may have changed. Rearm reads the pending events, says
// whether any of them counts, and leaves the descriptor ready to fire again.
//
// Given a tracker, the watched directory itself (not its subdirectories) also
// reports writes, closes after writing, deletions and renames, whatever the
// counted mask, and Rearm hands the tracker what they say; those events count
// as changes only where the counted mask holds them.
class ChangeNotification {
public:
    struct RearmResult {
        bool changed = false; // something that counts changed since the last Rearm
        bool armed = false;   // false: the directory is gone or the descriptor failed
        bool lost = false;    // the kernel's queue overflowed: events were lost
    };

    // Opens the notification; false when the directory cannot be watched: it
    // does not exist, is not a directory, is not accessible, or countedMask is 0.
    // The tracker, if any, belongs to the caller and must outlive the notification.
    bool Open(const std::string& directory, std::uint32_t countedMask, bool watchSubtree,
              WriterTracker* writers = nullptr);
    int Fd() const { return m_fd.Get(); }
    RearmResult Rearm();

private:
    platform::FileDescriptor m_fd;
    int m_topWatch = -1;
    std::uint32_t m_countedMask = 0;
    std::optional<SubtreeWatches> m_subtree;
    WriterTracker* m_writers = nullptr;
    std::vector<WriterEvent> m_writerEvents; // kept so that its room is reused
};

} // namespace watcher
