#include "support/ViewerRecord.h"

#include <charconv>

namespace testsupport {

std::optional<ViewerRecord> ParseViewerRecord(const std::string& text) {
    std::vector<std::string> fields;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t colon = text.find(':', at);
        if (colon == std::string::npos)
            return std::nullopt;
        std::size_t length = 0;
        const auto [end, ec] = std::from_chars(text.data() + at, text.data() + colon, length);
        if (ec != std::errc() || end != text.data() + colon || length > text.size() - colon - 1 ||
            text.size() - colon - 1 - length < 1 || text[colon + 1 + length] != ',')
            return std::nullopt;
        fields.push_back(text.substr(colon + 1, length));
        at = colon + 1 + length + 1;
    }
    if (fields.size() < 3)
        return std::nullopt;
    ViewerRecord record;
    const char* pidEnd = fields[0].data() + fields[0].size();
    const auto [end, ec] = std::from_chars(fields[0].data(), pidEnd, record.pid);
    if (ec != std::errc() || end != pidEnd)
        return std::nullopt;
    record.cwd = fields[1];
    record.descriptors = fields[2];
    record.arguments.assign(fields.begin() + 3, fields.end());
    return record;
}

std::string TestViewerExecutable() {
    return TESMARO_TEST_VIEWER;
}

} // namespace testsupport
