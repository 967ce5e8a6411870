#include "platform/Wildcard.h"

namespace platform {

bool WildcardMatch(std::string_view pattern, std::string_view name) {
    // Greedy matching with one back-tracking point: the last '*' seen. This is
    // linear for the usual patterns and never worse than pattern x name.
    std::size_t p = 0, n = 0;
    std::size_t starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        // A '*' is a wildcard even where the name holds a '*' too, so it is
        // tested before the literal comparison.
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

bool HasWildcards(std::string_view text) {
    return text.find_first_of("*?") != std::string_view::npos;
}

} // namespace platform
