// The wildcard matcher against a plain dynamic-programming matcher of the
// same rule: '*' any run, '?' one byte, every other byte itself. The input is
// the pattern, a NUL, then the name.

#include "platform/Wildcard.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace {

bool Reference(std::string_view pattern, std::string_view name) {
    // matches[j]: the pattern so far matches the first j bytes of the name.
    std::vector<char> matches(name.size() + 1, 0);
    matches[0] = 1;
    for (const char p : pattern) {
        std::vector<char> next(name.size() + 1, 0);
        if (p == '*') {
            char any = 0;
            for (std::size_t j = 0; j <= name.size(); ++j) {
                any = any || matches[j];
                next[j] = any;
            }
        } else {
            for (std::size_t j = 1; j <= name.size(); ++j)
                next[j] = matches[j - 1] && (p == '?' || p == name[j - 1]);
        }
        matches.swap(next);
    }
    return matches[name.size()] != 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto split = input.find('\0');
    if (split == std::string_view::npos || input.size() > 4096)
        return 0;
    const std::string_view pattern = input.substr(0, split);
    const std::string_view name = input.substr(split + 1);
    if (platform::WildcardMatch(pattern, name) != Reference(pattern, name))
        std::abort();
    if (platform::HasWildcards(pattern) != (pattern.find_first_of("*?") != std::string_view::npos))
        std::abort();
    return 0;
}
