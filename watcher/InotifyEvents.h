#pragma once

#include <cstddef>
#include <cstdint>
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

} // namespace watcher
