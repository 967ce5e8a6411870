#include "engine/CBatchQueue.h"

namespace engine {

// Placeholder until the processing cycle is built: a tick only rescans.
int CBatchQueue::ProcessStep() { return Rescan(); }

std::string CBatchQueue::StatusMessage() { return {}; }

} // namespace engine
