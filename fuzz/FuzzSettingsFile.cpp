// The settings file's reader and writer. The input is a file, a NUL, then a
// value. Setting the value and reading the written text back must give the
// value exactly, leave the text in this writer's style, and leave another
// key's value as it read before.

#include "settings/SettingsFile.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto split = input.find('\0');
    if (split == std::string_view::npos || input.size() > 8192)
        return 0;
    const std::string_view value = input.substr(split + 1);
    settings::SettingsFile file(input.substr(0, split));
    const auto other = file.Get("settings", "Other");
    if (!file.Set("Settings", "Key", value))
        return settings::SettingsFile::CanHold(value) ? (std::abort(), 0) : 0;
    const settings::SettingsFile back(file.Text());
    if (back.Get("SETTINGS", "key") != value || back.FormerStyle() ||
        back.Get("Settings", "other") != other)
        std::abort();
    return 0;
}
