#pragma once

#include "engine/CBatch.h"

#include <vector>

namespace engine {

// The waiting batches, always in ascending creation time; the head is the next
// batch to submit. Batches created in the same second keep the order in which
// the scan met them.
class CBatchList {
public:
    using const_iterator = std::vector<CBatch>::const_iterator;

    std::size_t GetCount() const { return m_batches.size(); }
    bool IsEmpty() const { return m_batches.empty(); }
    // The oldest batch; the list must not be empty.
    const CBatch& GetHead() const { return m_batches.front(); }
    const_iterator begin() const { return m_batches.begin(); }
    const_iterator end() const { return m_batches.end(); }

    // Inserts one batch before the first one created later than it.
    void InsertOrdered(CBatch batch);
    // Replaces the whole list with the given batches, in scan order, ordering
    // them as repeated InsertOrdered calls would, in O(n log n).
    void Assign(std::vector<CBatch> batches);

    // Refilling in place, as Assign does but without a second list: the
    // batches of the list before are written over one by one, so their
    // storage and their strings' buffers serve again and a rescan of a queue
    // that stays the same size allocates nothing. Between BeginRefill and
    // EndRefill only NextSlot may be called.
    void BeginRefill() { m_filled = 0; }
    // The slot for the next batch in scan order; every field must be set.
    CBatch& NextSlot();
    // Drops the slots not handed out and orders the list; `inOrder` tells
    // that the caller filled them in ascending creation time already.
    void EndRefill(bool inOrder = false);

private:
    // Orders m_batches, which are in scan order, as Assign promises.
    void OrderScanned();

    std::vector<CBatch> m_batches;
    std::size_t m_filled = 0;
};

} // namespace engine
