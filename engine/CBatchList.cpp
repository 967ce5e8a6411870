#include "engine/CBatchList.h"

#include <algorithm>

namespace engine {

static bool CreatedEarlier(const CBatch& a, const CBatch& b) {
    return a.created < b.created;
}

void CBatchList::InsertOrdered(CBatch batch) {
    const auto pos = std::upper_bound(m_batches.begin(), m_batches.end(), batch, CreatedEarlier);
    m_batches.insert(pos, std::move(batch));
}

void CBatchList::Assign(std::vector<CBatch> batches) {
    // A stable sort keeps equal creation times in scan order, which is exactly
    // what inserting each batch before the first later one gives.
    std::stable_sort(batches.begin(), batches.end(), CreatedEarlier);
    m_batches = std::move(batches);
}

} // namespace engine
