#include "watcher/CDirectoryWatcher.h"
#include "watcher/ChangeFilter.h"
#include "watcher/InotifyEvents.h"

#include <gtest/gtest.h>

#include <sys/inotify.h>

#include <cstring>
#include <string>
#include <vector>

using watcher::CDirectoryWatcher;
using watcher::EventSummary;
using watcher::InotifyMaskForFilter;
using watcher::SummarizeEvents;

namespace {

constexpr int kTop = 1;

// Builds the bytes of inotify records as read() returns them, names padded.
class EventBuffer {
public:
    EventBuffer& Add(int wd, std::uint32_t mask, const std::string& name = "") {
        inotify_event event{};
        event.wd = wd;
        event.mask = mask;
        event.len = name.empty() ? 0 : static_cast<std::uint32_t>((name.size() + 1 + 15) / 16 * 16);
        const std::size_t at = m_bytes.size();
        m_bytes.resize(at + sizeof event + event.len, '\0');
        std::memcpy(m_bytes.data() + at, &event, sizeof event);
        std::memcpy(m_bytes.data() + at + sizeof event, name.data(), name.size());
        return *this;
    }
    const std::vector<char>& Bytes() const { return m_bytes; }

private:
    std::vector<char> m_bytes;
};

EventSummary Summarize(const EventBuffer& buffer, std::uint32_t counted) {
    EventSummary summary;
    SummarizeEvents(buffer.Bytes().data(), buffer.Bytes().size(), kTop, counted, summary);
    return summary;
}

} // namespace

TEST(InotifyEvents, SummaryOfEachKindOfEvent) {
    const std::uint32_t names = InotifyMaskForFilter(CDirectoryWatcher::kFileName);
    const std::uint32_t size = InotifyMaskForFilter(CDirectoryWatcher::kSize);
    struct Case {
        const char* what;
        EventBuffer events;
        std::uint32_t counted;
        bool changed, overflow, gone, treeChanged;
    };
    const Case cases[] = {
        {"file created", EventBuffer().Add(kTop, IN_CREATE, "b.olb"), names, true, false, false,
         false},
        {"file created, names not asked for", EventBuffer().Add(kTop, IN_CREATE, "b.olb"), size,
         false, false, false, false},
        {"file written in a subdirectory", EventBuffer().Add(7, IN_MODIFY, "b.olb"), size, true,
         false, false, false},
        {"the watched directory's own attributes", EventBuffer().Add(kTop, IN_ATTRIB), IN_ATTRIB,
         false, false, false, false},
        {"directory created", EventBuffer().Add(kTop, IN_CREATE | IN_ISDIR, "sub"), size, false,
         false, false, true},
        {"directory moved in", EventBuffer().Add(3, IN_MOVED_TO | IN_ISDIR, "sub"), names, true,
         false, false, true},
        {"overflow", EventBuffer().Add(-1, IN_Q_OVERFLOW), size, true, true, false, true},
        {"watched directory deleted", EventBuffer().Add(kTop, IN_DELETE_SELF).Add(kTop, IN_IGNORED),
         names, false, false, true, false},
        {"watched directory moved away", EventBuffer().Add(kTop, IN_MOVE_SELF), names, false, false,
         true, false},
        {"file system unmounted", EventBuffer().Add(kTop, IN_UNMOUNT).Add(kTop, IN_IGNORED), names,
         false, false, true, false},
        {"last file deleted, then the directory",
         EventBuffer()
             .Add(kTop, IN_DELETE, "b.olb")
             .Add(kTop, IN_DELETE_SELF)
             .Add(kTop, IN_IGNORED),
         names, true, false, true, false},
        {"a subdirectory's watch dropped", EventBuffer().Add(5, IN_DELETE_SELF).Add(5, IN_IGNORED),
         names, false, false, false, false},
    };
    for (const auto& c : cases) {
        const EventSummary s = Summarize(c.events, c.counted);
        EXPECT_EQ(s.changed, c.changed) << c.what;
        EXPECT_EQ(s.overflow, c.overflow) << c.what;
        EXPECT_EQ(s.directoryGone, c.gone) << c.what;
        EXPECT_EQ(s.treeChanged, c.treeChanged) << c.what;
    }
}

TEST(InotifyEvents, DroppedSubdirectoryWatchesAreListed) {
    const EventSummary s = Summarize(
        EventBuffer().Add(5, IN_IGNORED).Add(kTop, IN_CREATE, "x").Add(9, IN_IGNORED), IN_CREATE);
    EXPECT_EQ(s.droppedWatches, (std::vector<int>{5, 9}));
    EXPECT_FALSE(s.directoryGone);
}

TEST(InotifyEvents, RecordCutShortIsIgnoredWithoutReadingPastTheBuffer) {
    const EventBuffer events =
        EventBuffer().Add(kTop, IN_ATTRIB).Add(kTop, IN_CREATE, "a-rather-long-name.olb");
    const std::vector<char>& bytes = events.Bytes();
    // Every shorter read: the whole first record plus part of the second, or part of the first.
    for (std::size_t size = 0; size < bytes.size(); ++size) {
        std::vector<char> cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
        EventSummary s;
        SummarizeEvents(cut.data(), cut.size(), kTop, IN_CREATE, s);
        EXPECT_FALSE(s.changed) << size;
    }
}
