#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// What the suite takes from a submitted batch file: its first line, and one
// item per non-empty line after it (at least one item).
struct BatchFile {
    std::string header;
    std::vector<std::string> samples; // the first kMaxListedSamples, for the report
    int items = 1;
};

// Only this much of a file is read: batch files are short sample lists, and a
// huge or endless file must neither exhaust memory nor stall the suite.
constexpr std::size_t kMaxBatchBytes = 1 << 20;
constexpr std::size_t kMaxListedSamples = 1000;
constexpr std::size_t kMaxLineBytes = 256;

// Parses the text of a batch file.
BatchFile ParseBatchText(std::string_view text);

// Reads a batch file; empty when the path is not a readable regular file.
// Symbolic links are not followed and FIFOs never block the caller.
std::optional<BatchFile> ReadBatchFile(const std::string& path);

} // namespace sim
