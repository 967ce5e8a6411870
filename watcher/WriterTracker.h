#pragma once

#include "platform/WriterView.h"
#include "watcher/InotifyEvents.h"

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace watcher {

// Who is writing the files of the watched directory, as its inotify events
// tell: a name is marked from a write until its writer closes it, it is
// deleted, or it is renamed (the mark goes with the file). The watcher's
// worker feeds it; any thread may ask it.
//
// inotify reports every writer on this machine, whoever it is, but only those
// on this machine (not over a network file system), only writes made through
// the watched directory (not through a hard link elsewhere), and not writes to
// a mapped file. Files written before the watch began count as not written
// until their next write.
class WriterTracker final : public platform::WriterView {
public:
    // More marks than this are not followed: every mark is cleared, as when
    // the kernel lost events.
    static constexpr std::size_t kMaxMarks = 65536;

    // Unknown unless a worker watches `directory` (the same string); a name
    // with a slash is not an entry of it, and is Unknown too.
    Writing BeingWritten(const std::string& directory, const std::string& name) const override;
    bool Watching(const std::string& directory) const override;

    // For the worker. Begin: its notification on `directory` is in place, with
    // nothing marked yet. Apply: what one wake read. End: it watches no more;
    // the marks are forgotten.
    void Begin(const std::string& directory);
    void Apply(const std::vector<WriterEvent>& events);
    void End();

private:
    mutable std::mutex m_mutex;
    bool m_watching = false;
    std::string m_directory;
    WriterMarks m_marks;
};

} // namespace watcher
