#pragma once

#include "settings/ProfileStore.h"

#include <map>
#include <utility>
#include <vector>

namespace settings {

// A store held in memory. Values are kept as text, as a file-backed store keeps
// them, so an integer read back from text behaves the same way. It also records
// the order of writes, which callers may rely on.
class MemoryProfileStore final : public ProfileStore {
public:
    std::string GetString(const std::string& section, const std::string& key,
                          const std::string& defaultValue) override;
    std::int32_t GetInt(const std::string& section, const std::string& key,
                        std::int32_t defaultValue) override;
    bool WriteString(const std::string& section, const std::string& key,
                     const std::string& value) override;
    bool WriteInt(const std::string& section, const std::string& key, std::int32_t value) override;

    // Stands for the outcome of the writes that follow: values still hold in
    // memory, and writes report success only while it is 0.
    void SetLastWriteError(int error) { m_lastWriteError = error; }
    int LastWriteError() const override { return m_lastWriteError; }

    void Remove(const std::string& section, const std::string& key);
    // Keys in the order they were written, oldest first.
    const std::vector<std::string>& WriteOrder() const { return m_writeOrder; }

private:
    std::map<std::pair<std::string, std::string>, std::string> m_values;
    std::vector<std::string> m_writeOrder;
    int m_lastWriteError = 0;
};

// Parses a whole 32-bit signed integer, optionally signed, with no other text
// but blanks around it; false otherwise.
bool ParseInt32(const std::string& text, std::int32_t& out);

} // namespace settings
