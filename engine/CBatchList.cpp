#include "engine/CBatchList.h"

#include "platform/KeptStorage.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace engine {

static bool CreatedEarlier(const CBatch& a, const CBatch& b) {
    return a.created < b.created;
}

void CBatchList::InsertOrdered(CBatch batch) {
    const auto pos = std::upper_bound(m_batches.begin(), m_batches.end(), batch, CreatedEarlier);
    m_batches.insert(pos, std::move(batch));
}

void CBatchList::Assign(std::vector<CBatch> batches) {
    m_batches = std::move(batches);
    OrderScanned();
}

CBatch& CBatchList::NextSlot() {
    if (m_filled == m_batches.size())
        m_batches.emplace_back();
    return m_batches[m_filled++];
}

void CBatchList::EndRefill(bool inOrder) {
    m_batches.resize(m_filled);
    platform::GiveBackExcess(m_batches);
    if (!inOrder)
        OrderScanned();
}

void CBatchList::OrderScanned() {
    // Files dropped one after the other are mostly scanned in the order they
    // were made: then there is nothing to do.
    if (std::is_sorted(m_batches.begin(), m_batches.end(), CreatedEarlier))
        return;
    // Ordering by creation time with the scan position as the tie-break keeps
    // equal creation times in scan order, which is exactly what inserting each
    // batch before the first later one gives. Small keys are sorted and the
    // batches are then swapped into place, with no second copy of the list.
    std::vector<std::pair<std::int64_t, std::size_t>> keys;
    keys.reserve(m_batches.size());
    for (std::size_t i = 0; i < m_batches.size(); ++i)
        keys.emplace_back(m_batches[i].created, i);
    std::sort(keys.begin(), keys.end());
    // Batch i becomes the one at keys[i].second, following each cycle with
    // swaps; a key's second field marks its place as done once it is.
    for (std::size_t start = 0; start < keys.size(); ++start) {
        std::size_t at = start;
        while (keys[at].second != start) {
            const std::size_t from = keys[at].second;
            std::swap(m_batches[at], m_batches[from]);
            keys[at].second = at;
            at = from;
        }
        keys[at].second = at;
    }
}

} // namespace engine
