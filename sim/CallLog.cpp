#include "sim/CallLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sim {
namespace {

bool IsContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// Length of the valid UTF-8 sequence at the start of text, 0 when there is none.
std::size_t Utf8SequenceLength(std::string_view text) {
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = at(0);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0; // no overlong forms
        if (lead == 0xED)
            high = 0x9F; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F; // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (text.size() < length || at(1) < low || at(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (!IsContinuation(at(i)))
            return 0;
    return length;
}

void AppendEscapedByte(std::string& out, unsigned char byte) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\u%04x", byte);
    out += buffer;
}

std::string Seconds(double t) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.6f", t);
    return buffer;
}

} // namespace

std::string JsonString(std::string_view bytes) {
    std::string out = "\"";
    while (!bytes.empty()) {
        const auto byte = static_cast<unsigned char>(bytes.front());
        std::size_t used = 1;
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte < 0x20 || byte == 0x7F) {
            AppendEscapedByte(out, byte);
        } else if (byte < 0x80) {
            out += static_cast<char>(byte);
        } else if (const auto length = Utf8SequenceLength(bytes); length > 0) {
            out.append(bytes.substr(0, length));
            used = length;
        } else {
            AppendEscapedByte(out, byte);
        }
        bytes.remove_prefix(used);
    }
    out += '"';
    return out;
}

std::string SubmitLogLine(double t, std::string_view path, int a, int b, int c, int flags,
                          int result) {
    return "{\"t\": " + Seconds(t) +
           ", \"call\": \"QueueSampleBatch\", \"path\": " + JsonString(path) + ", \"args\": [" +
           std::to_string(a) + ", " + std::to_string(b) + ", " + std::to_string(c) +
           "], \"flags\": " + std::to_string(flags) + ", \"result\": " + std::to_string(result) +
           "}";
}

std::string ControlLogLine(double t, int code) {
    return "{\"t\": " + Seconds(t) +
           ", \"call\": \"QueueControl\", \"code\": " + std::to_string(code) + "}";
}

std::string DoneLogLine(double t, std::string_view path) {
    return "{\"t\": " + Seconds(t) + ", \"call\": \"done\", \"path\": " + JsonString(path) + "}";
}

bool CallLog::Open(const std::string& path, std::string* error) {
    platform::FileDescriptor fd(
        open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644));
    if (!fd.IsValid()) {
        if (error)
            *error = "cannot open the log " + path + ": " + std::strerror(errno);
        return false;
    }
    m_fd = std::move(fd);
    return true;
}

void CallLog::Append(const std::string& line) {
    if (!m_fd.IsValid())
        return;
    const std::string whole = line + "\n";
    // Short writes to a regular file only happen when the disk is full; the log
    // then simply misses a line, and the suite goes on.
    while (write(m_fd.Get(), whole.data(), whole.size()) < 0 && errno == EINTR) {
    }
}

} // namespace sim
