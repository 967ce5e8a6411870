#pragma once

#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace testsupport {

// What the recording test viewer wrote about one of its starts: its process
// id, working directory, open descriptors and arguments.
struct ViewerRecord {
    pid_t pid = -1;
    std::string cwd;
    std::string descriptors; // blank-separated descriptor numbers
    std::vector<std::string> arguments;
};

// Parses the viewer's record, a sequence of "<length>:<bytes>," fields; empty
// when the text is not a whole record.
std::optional<ViewerRecord> ParseViewerRecord(const std::string& text);

// The built test viewer.
std::string TestViewerExecutable();

} // namespace testsupport
