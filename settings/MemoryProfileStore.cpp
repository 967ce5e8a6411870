#include "settings/MemoryProfileStore.h"

#include <charconv>

namespace settings {

bool ParseInt32(const std::string& text, std::int32_t& out) {
    std::size_t begin = text.find_first_not_of(" \t");
    std::size_t end = text.find_last_not_of(" \t");
    if (begin == std::string::npos)
        return false;
    // One sign at most: from_chars takes a '-' but not a '+', and a '+'
    // skipped here must not let a second sign through.
    if (text[begin] == '+') {
        ++begin;
        if (begin <= end && (text[begin] == '-' || text[begin] == '+'))
            return false;
    }
    if (begin > end)
        return false;
    const char* first = text.data() + begin;
    const char* last = text.data() + end + 1;
    std::int32_t value = 0;
    const auto [ptr, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || ptr != last)
        return false;
    out = value;
    return true;
}

std::string MemoryProfileStore::GetString(const std::string& section, const std::string& key,
                                          const std::string& defaultValue) {
    const auto it = m_values.find({section, key});
    return it == m_values.end() ? defaultValue : it->second;
}

std::int32_t MemoryProfileStore::GetInt(const std::string& section, const std::string& key,
                                        std::int32_t defaultValue) {
    const auto it = m_values.find({section, key});
    std::int32_t value = defaultValue;
    if (it == m_values.end() || !ParseInt32(it->second, value))
        return defaultValue;
    return value;
}

bool MemoryProfileStore::WriteString(const std::string& section, const std::string& key,
                                     const std::string& value) {
    m_values[{section, key}] = value;
    m_writeOrder.push_back(key);
    return m_lastWriteError == 0;
}

bool MemoryProfileStore::WriteInt(const std::string& section, const std::string& key,
                                  std::int32_t value) {
    return WriteString(section, key, std::to_string(value));
}

void MemoryProfileStore::Remove(const std::string& section, const std::string& key) {
    m_values.erase({section, key});
}

} // namespace settings
