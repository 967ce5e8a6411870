#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

namespace watcher {

// What a run of inotify events means to the watcher.
struct EventSummary {
    // Something of the kinds asked for changed, or events were lost to an
    // overflow (which may have hidden such a change): worth one message.
    bool changed = false;
    bool overflow = false;
    // The watched directory itself was deleted, moved away or unmounted.
    bool directoryGone = false;
    // A directory appeared, disappeared or was renamed inside a watched one, or
    // events were lost: the set of watched subdirectories must be brought up to date.
    bool treeChanged = false;
    // Watches on subdirectories that the kernel has dropped.
    std::vector<int> droppedWatches;
};

// Adds to summary what one buffer read from an inotify descriptor reports.
// topWatch is the watch descriptor of the watched directory; countedMask holds
// the events that count as changes. Only events about entries inside a watched
// directory count, never those about the watched directory itself. A record cut
// short at the end of the buffer is ignored.
void SummarizeEvents(const void* data, std::size_t size, int topWatch, std::uint32_t countedMask,
                     EventSummary& summary);

// One event that bears on who is writing an entry of the watched directory.
struct WriterEvent {
    enum class Kind : std::uint8_t {
        Written,   // IN_MODIFY: the file was written
        Closed,    // IN_CLOSE_WRITE: a writer closed it
        Removed,   // IN_DELETE
        MovedFrom, // IN_MOVED_FROM: the first half of a rename, or a move out
        MovedTo,   // IN_MOVED_TO: the second half of a rename, or a move in
        Lost,      // IN_Q_OVERFLOW: events were lost
    };
    Kind kind;
    std::uint32_t cookie = 0; // pairs the two halves of a rename
    std::string name;         // empty for Lost

    friend bool operator==(const WriterEvent&, const WriterEvent&) = default;
};

// Appends to events, in order, the writer events of one buffer read from an
// inotify descriptor: the named events of topWatch (entries of the watched
// directory itself, never of its subdirectories) and overflows. A record cut
// short at the end of the buffer is ignored.
void CollectWriterEvents(const void* data, std::size_t size, int topWatch,
                         std::vector<WriterEvent>& events);

// The names of the watched directory that have been written and not closed since.
using WriterMarks = std::unordered_set<std::string>;

// Brings marks up to date with events, in order: Written marks the name; Closed
// and Removed clear it; MovedFrom clears the old name and MovedTo gives the new
// name the old name's mark, matched by cookie among these events (a MovedTo
// without its MovedFrom, a move in, clears the new name: the file there is not
// the one that was marked); Lost clears every mark. A mark that would make more
// than maxMarks is treated as a loss: every other mark is cleared.
void ApplyWriterEvents(const std::vector<WriterEvent>& events, std::size_t maxMarks,
                       WriterMarks& marks);

} // namespace watcher
