#pragma once

#include <cstddef>
#include <string>

// A queue directory with `batches` matching files ("NNNNNN.olb") and as many
// files that do not match ("NNNNNN.dat"), made once per size.
//
// By default it is made in the temporary directory and removed when the
// process ends. When TESMARO_BENCH_FIXTURES names a directory, the queue
// directories are kept there as "queue-<batches>" and reused by later runs
// (making 200,000 files takes a while); removing them is then the caller's job.
const std::string& QueueDirWith(std::size_t batches);
