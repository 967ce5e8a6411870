#pragma once

#include <cstddef>
#include <string>

// A queue directory with `batches` matching files ("NNNNNN.olb") and as many
// files that do not match ("NNNNNN.dat"), made once per size and copy. Copies
// are separate directories with the same files, for programs that must not
// share one queue directory (only one Tesmaro works a queue directory).
//
// By default it is made in the temporary directory and removed when the
// process ends. When TESMARO_BENCH_FIXTURES names a directory, the queue
// directories are kept there as "queue-<batches>" (copy 0) or
// "queue-<batches>-<copy>" and reused by later runs (making 200,000 files
// takes a while); removing them is then the caller's job. Every call hands
// the directory over without the run record an earlier caller left in it.
const std::string& QueueDirWith(std::size_t batches, int copy = 0);
