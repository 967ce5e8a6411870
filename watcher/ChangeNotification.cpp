#include "watcher/ChangeNotification.h"

#include "watcher/InotifyEvents.h"
#include "watcher/WriterTracker.h"

#include <sys/inotify.h>

#include <cerrno>

namespace watcher {

namespace {

// Events every watch asks for besides the counted ones: the end of the
// watched directory, and in a subtree the comings and goings of directories.
constexpr std::uint32_t kSelfEvents = IN_DELETE_SELF | IN_MOVE_SELF;
constexpr std::uint32_t kTreeEvents = IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO;
// What the watched directory itself also asks for when writers are tracked.
constexpr std::uint32_t kWriterEvents =
    IN_MODIFY | IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;

// Large enough for many events at once, and always for the largest one.
constexpr std::size_t kBufferSize = std::size_t{16} * 1024;
// A steady stream of changes must not keep one Rearm reading for ever; what is
// left makes the descriptor fire again at once.
constexpr int kMaxReadsPerRearm = 64;

} // namespace

bool ChangeNotification::Open(const std::string& directory, std::uint32_t countedMask,
                              bool watchSubtree, WriterTracker* writers) {
    if (countedMask == 0)
        return false;
    platform::FileDescriptor fd(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (!fd.IsValid())
        return false;
    const std::uint32_t mask = countedMask | kSelfEvents | (watchSubtree ? kTreeEvents : 0);
    const std::uint32_t topMask = mask | (writers != nullptr ? kWriterEvents : 0);
    const int topWatch = inotify_add_watch(fd.Get(), directory.c_str(), topMask | IN_ONLYDIR);
    if (topWatch < 0)
        return false;
    m_fd = std::move(fd);
    m_topWatch = topWatch;
    m_countedMask = countedMask;
    m_writers = writers;
    if (watchSubtree) {
        m_subtree.emplace(m_fd.Get(), directory, topWatch, mask);
        m_subtree->Resync();
    }
    return true;
}

ChangeNotification::RearmResult ChangeNotification::Rearm() {
    EventSummary summary;
    m_writerEvents.clear();
    bool failed = false;
    alignas(inotify_event) unsigned char buffer[kBufferSize];
    for (int reads = 0; reads < kMaxReadsPerRearm; ++reads) {
        const ssize_t got = read(m_fd.Get(), buffer, sizeof buffer);
        if (got > 0) {
            SummarizeEvents(buffer, static_cast<std::size_t>(got), m_topWatch, m_countedMask,
                            summary);
            if (m_writers != nullptr)
                CollectWriterEvents(buffer, static_cast<std::size_t>(got), m_topWatch,
                                    m_writerEvents);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        failed = true;
        break;
    }
    // One lock for the whole wake; a rename whose halves came in two reads is
    // followed all the same.
    if (m_writers != nullptr)
        m_writers->Apply(m_writerEvents);
    const bool armed = !failed && !summary.directoryGone;
    if (m_subtree && armed) {
        for (const int watch : summary.droppedWatches)
            m_subtree->Forget(watch);
        if (summary.treeChanged)
            m_subtree->Resync();
    }
    return {summary.changed, armed, summary.overflow};
}

} // namespace watcher
