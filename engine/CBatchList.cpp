#include "engine/CBatchList.h"

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
    // Ordering by creation time with the scan position as the tie-break keeps
    // equal creation times in scan order, which is exactly what inserting each
    // batch before the first later one gives. Small keys are sorted and the
    // batches are then swapped into place, with no second copy of the list.
    std::vector<std::pair<std::int64_t, std::size_t>> keys;
    keys.reserve(batches.size());
    for (std::size_t i = 0; i < batches.size(); ++i)
        keys.emplace_back(batches[i].created, i);
    std::sort(keys.begin(), keys.end());
    std::vector<std::size_t> order;
    order.reserve(keys.size());
    for (const auto& key : keys)
        order.push_back(key.second);
    keys = {};
    // Batch i becomes the one at order[i], following each cycle with swaps.
    for (std::size_t start = 0; start < order.size(); ++start) {
        std::size_t at = start;
        while (order[at] != start) {
            const std::size_t from = order[at];
            std::swap(batches[at], batches[from]);
            order[at] = at;
            at = from;
        }
        order[at] = at;
    }
    m_batches = std::move(batches);
}

} // namespace engine
