#pragma once

#include "platform/FileDescriptor.h"

#include <string>
#include <string_view>

namespace sim {

// A JSON string literal for arbitrary bytes: valid UTF-8 passes unchanged,
// quote, backslash and control characters are escaped, and every byte that is
// not part of valid UTF-8 becomes \u00XX, so the bytes can be recovered.
std::string JsonString(std::string_view bytes);

// The log lines, one JSON object each; t is seconds since the epoch.
std::string SubmitLogLine(double t, std::string_view path, int a, int b, int c, int flags,
                          int result);
std::string ControlLogLine(double t, int code);
std::string DoneLogLine(double t, std::string_view path);

// Appends log lines to a file, each with a single write so that lines from
// one writer never interleave and a reader sees whole lines. Without a file
// it drops them.
class CallLog {
public:
    CallLog() = default;
    // Opens (creating) the file for appending; false with a reason on failure.
    bool Open(const std::string& path, std::string* error);
    void Append(const std::string& line);

private:
    platform::FileDescriptor m_fd;
};

} // namespace sim
