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
    // batch before the first later one gives. Small keys are sorted and each
    // batch is moved once, instead of sorting the batches themselves.
    std::vector<std::pair<std::int64_t, std::size_t>> keys;
    keys.reserve(batches.size());
    for (std::size_t i = 0; i < batches.size(); ++i)
        keys.emplace_back(batches[i].created, i);
    std::sort(keys.begin(), keys.end());
    m_batches.clear();
    m_batches.reserve(batches.size());
    for (const auto& key : keys)
        m_batches.push_back(std::move(batches[key.second]));
}

} // namespace engine
