#include "watcher/CDirectoryWatcher.h"
#include "watcher/ChangeFilter.h"
#include "watcher/InotifyEvents.h"

#include <gtest/gtest.h>

#include <sys/inotify.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

using watcher::CDirectoryWatcher;
using watcher::EventSummary;
using watcher::InotifyMaskForFilter;
using watcher::SummarizeEvents;
using watcher::WriterEvent;
using watcher::WriterMarks;

namespace {

constexpr int kTop = 1;

// Builds the bytes of inotify records as read() returns them, names padded.
class EventBuffer {
public:
    EventBuffer& Add(int wd, std::uint32_t mask, const std::string& name = "",
                     std::uint32_t cookie = 0) {
        inotify_event event{};
        event.wd = wd;
        event.mask = mask;
        event.cookie = cookie;
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
        // What the writer marks need arrives whatever the filter, and counts only by it.
        {"file written and closed, names only",
         EventBuffer().Add(kTop, IN_MODIFY, "b.olb").Add(kTop, IN_CLOSE_WRITE, "b.olb"), names,
         false, false, false, false},
        {"file deleted and renamed, size only",
         EventBuffer()
             .Add(kTop, IN_DELETE, "a.olb")
             .Add(kTop, IN_MOVED_FROM, "b.olb", 9)
             .Add(kTop, IN_MOVED_TO, "c.olb", 9),
         size, false, false, false, false},
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

namespace {

std::set<std::string> Sorted(const WriterMarks& marks) {
    return {marks.begin(), marks.end()};
}

} // namespace

// From the bytes read to the names marked as being written, through both pure steps.
TEST(InotifyEvents, WriterMarksFollowTheEvents) {
    constexpr std::uint32_t kWritten = IN_MODIFY;
    constexpr std::uint32_t kClosed = IN_CLOSE_WRITE;
    struct Case {
        const char* what;
        std::set<std::string> before;
        EventBuffer events;
        std::set<std::string> after;
        std::size_t cut = 0; // bytes missing from the end of the read
        std::size_t maxMarks = 100;
    };
    const Case cases[] = {
        {"written", {}, EventBuffer().Add(kTop, kWritten, "a.olb"), {"a.olb"}},
        {"written and closed",
         {},
         EventBuffer().Add(kTop, kWritten, "a.olb").Add(kTop, kClosed, "a.olb"),
         {}},
        {"closed, another still written",
         {"a.olb", "b.olb"},
         EventBuffer().Add(kTop, kClosed, "a.olb"),
         {"b.olb"}},
        {"closed, then written again",
         {},
         EventBuffer().Add(kTop, kClosed, "a.olb").Add(kTop, kWritten, "a.olb"),
         {"a.olb"}},
        {"deleted", {"a.olb"}, EventBuffer().Add(kTop, IN_DELETE, "a.olb"), {}},
        {"renamed while written",
         {"a.olb"},
         EventBuffer().Add(kTop, IN_MOVED_FROM, "a.olb", 7).Add(kTop, IN_MOVED_TO, "b.olb", 7),
         {"b.olb"}},
        {"renamed over a written file",
         {"b.olb"},
         EventBuffer().Add(kTop, IN_MOVED_FROM, "a.olb", 7).Add(kTop, IN_MOVED_TO, "b.olb", 7),
         {}},
        {"two renames interleaved",
         {"a.olb"},
         EventBuffer()
             .Add(kTop, IN_MOVED_FROM, "a.olb", 7)
             .Add(kTop, IN_MOVED_FROM, "x.olb", 8)
             .Add(kTop, IN_MOVED_TO, "y.olb", 8)
             .Add(kTop, IN_MOVED_TO, "b.olb", 7),
         {"b.olb"}},
        {"moved out", {"a.olb"}, EventBuffer().Add(kTop, IN_MOVED_FROM, "a.olb", 7), {}},
        {"moved in over a written file",
         {"b.olb"},
         EventBuffer().Add(kTop, IN_MOVED_TO, "b.olb", 7),
         {}},
        {"halves with different cookies",
         {"a.olb"},
         EventBuffer().Add(kTop, IN_MOVED_FROM, "a.olb", 7).Add(kTop, IN_MOVED_TO, "b.olb", 8),
         {}},
        {"overflow",
         {"a.olb", "b.olb"},
         EventBuffer().Add(kTop, kWritten, "c.olb").Add(-1, IN_Q_OVERFLOW),
         {}},
        {"written after an overflow",
         {"a.olb"},
         EventBuffer().Add(-1, IN_Q_OVERFLOW).Add(kTop, kWritten, "c.olb"),
         {"c.olb"}},
        {"in a subdirectory",
         {"a.olb"},
         EventBuffer()
             .Add(7, kWritten, "b.olb")
             .Add(7, kClosed, "a.olb")
             .Add(7, IN_DELETE, "a.olb")
             .Add(7, IN_MOVED_FROM, "a.olb", 3),
         {"a.olb"}},
        {"the directory itself, and other kinds",
         {"a.olb"},
         EventBuffer()
             .Add(kTop, kWritten)
             .Add(kTop, IN_CREATE, "b.olb")
             .Add(kTop, IN_ATTRIB, "a.olb")
             .Add(kTop, IN_CLOSE_NOWRITE, "a.olb"),
         {"a.olb"}},
        {"record cut short",
         {},
         EventBuffer().Add(kTop, kWritten, "a.olb").Add(kTop, kWritten, "a-rather-long-name.olb"),
         {"a.olb"},
         1},
        // Without b.olb's padded name and the last byte of its header.
        {"header cut short",
         {"a.olb", "b.olb"},
         EventBuffer().Add(kTop, kClosed, "a.olb").Add(kTop, kClosed, "b.olb"),
         {"b.olb"},
         16 + 1},
        {"as many marks as allowed",
         {"a", "b"},
         EventBuffer().Add(kTop, kWritten, "c"),
         {"a", "b", "c"},
         0,
         3},
        {"one mark too many", {"a", "b", "c"}, EventBuffer().Add(kTop, kWritten, "d"), {"d"}, 0, 3},
        {"a marked name written again",
         {"a", "b", "c"},
         EventBuffer().Add(kTop, kWritten, "a"),
         {"a", "b", "c"},
         0,
         3},
    };
    for (const auto& c : cases) {
        const std::vector<char>& bytes = c.events.Bytes();
        std::vector<WriterEvent> events;
        watcher::CollectWriterEvents(bytes.data(), bytes.size() - c.cut, kTop, events);
        WriterMarks marks(c.before.begin(), c.before.end());
        watcher::ApplyWriterEvents(events, c.maxMarks, marks);
        EXPECT_EQ(Sorted(marks), c.after) << c.what;
    }
}

TEST(InotifyEvents, WriterEventsCarryNameAndCookie) {
    const EventBuffer buffer = EventBuffer()
                                   .Add(kTop, IN_MOVED_FROM, "a.olb", 42)
                                   .Add(kTop, IN_MOVED_TO, std::string(255, 'n'), 42)
                                   .Add(-1, IN_Q_OVERFLOW);
    std::vector<WriterEvent> events;
    watcher::CollectWriterEvents(buffer.Bytes().data(), buffer.Bytes().size(), kTop, events);
    using Kind = WriterEvent::Kind;
    EXPECT_EQ(events, (std::vector<WriterEvent>{{Kind::MovedFrom, 42, "a.olb"},
                                                {Kind::MovedTo, 42, std::string(255, 'n')},
                                                {Kind::Lost, 0, ""}}));
}
