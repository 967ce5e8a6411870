#pragma once

#include <cstddef>
#include <string>

// A queue directory with `batches` matching files ("NNNNNN.olb") and as many
// files that do not match ("NNNNNN.dat"), made once per size and kept for the
// life of the process.
const std::string& QueueDirWith(std::size_t batches);
