#pragma once

#include <cstdint>
#include <string>

namespace settings {

// The per-user settings store: sections of named string and 32-bit integer
// values. A missing name yields the caller's default; a present name always
// yields its stored value, even an empty string.
class ProfileStore {
public:
    virtual ~ProfileStore() = default;
    virtual std::string GetString(const std::string& section, const std::string& key,
                                  const std::string& defaultValue) = 0;
    // A stored text that is not a 32-bit integer yields the default.
    virtual std::int32_t GetInt(const std::string& section, const std::string& key,
                                std::int32_t defaultValue) = 0;
    virtual bool WriteString(const std::string& section, const std::string& key,
                             const std::string& value) = 0;
    virtual bool WriteInt(const std::string& section, const std::string& key,
                          std::int32_t value) = 0;
    // 0 when the last write reached the file; otherwise why not, as an errno
    // (the change then holds for this run only).
    virtual int LastWriteError() const { return 0; }
};

} // namespace settings
