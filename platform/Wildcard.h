#pragma once

#include <string_view>

namespace platform {

// True when the name matches the pattern. Only '*' (any run of characters,
// also none) and '?' (exactly one character) are wildcards; every other byte,
// '[' and '\' included, stands for itself, and letter case counts.
bool WildcardMatch(std::string_view pattern, std::string_view name);

// True when the text holds a '*' or a '?'.
bool HasWildcards(std::string_view text);

} // namespace platform
