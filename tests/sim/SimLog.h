#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace simtest {

// One line of korvane-sim's log.
struct SimLogEntry {
    double t = 0;
    std::string call; // "QueueSampleBatch", "QueueControl" or "done"
    std::string path; // the raw bytes, with every \u00XX escape turned back into its byte
    std::vector<long long> args;
    std::optional<long long> flags;
    std::optional<long long> result;
    std::optional<long long> code;
};

// Parses one log line (a flat JSON object); empty when it is not one.
std::optional<SimLogEntry> ParseSimLogLine(std::string_view line);

// Every complete line of a log file; a line still being written is left out.
std::vector<SimLogEntry> ReadSimLog(const std::string& path);

} // namespace simtest
