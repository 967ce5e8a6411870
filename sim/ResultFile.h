#pragma once

#include "sim/BatchFile.h"

#include <string>

namespace sim {

// The result file of a batch: beside it, named like it with its last
// extension replaced by "rpt" ("rpt" is appended when it has none).
std::string ResultPathFor(const std::string& batchPath);

// The plain-text report: the batch, the flags it was given, and its samples.
std::string FormatReport(const std::string& batchPath, const BatchFile& batch, int flags);

// Writes content under a temporary name starting with "." in the target's
// directory, flushes it to disk and renames it into place, so that the file
// never appears half written. False when any step fails; nothing is left behind.
bool WriteFileAtomically(const std::string& path, const std::string& content);

} // namespace sim
