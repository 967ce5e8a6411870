#include "platform/Wildcard.h"

#include <gtest/gtest.h>

using platform::WildcardMatch;

TEST(Wildcard, MatchesOnlyStarAndQuestionMark) {
    struct Case {
        const char *pattern, *name;
        bool match;
    };
    const Case cases[] = {
        {"*.olb", "B.olb", true},
        {"*.olb", "a.b.olb", true},
        {"*.olb", ".olb", true},
        {"*.olb", "B.OLB", false}, // case counts
        {"*.olb", "B.olbx", false},
        {"*.olb", "olb", false},
        {"B.*", "B.", true},
        {"B.*", "B.rpt", true},
        {"B.*", "Bx.olb", false},
        {"?.olb", "B.olb", true},
        {"?.olb", "BB.olb", false},
        {"[ab].olb", "a.olb", false}, // brackets are literal
        {"[ab].olb", "[ab].olb", true},
        {"a\\*", "a\\xyz", true}, // a backslash does not escape
        {"*", "", true},
        {"", "", true},
        {"", "x", false},
        {"**a*b", "xxaxxb", true},
        {"*a*b", "xxaxxbx", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(WildcardMatch(c.pattern, c.name), c.match) << c.pattern << " vs " << c.name;
}

TEST(Wildcard, LongPathologicalPatternStaysFast) {
    const std::string name(20000, 'a');
    const std::string pattern = std::string(50, '*') + std::string(100, 'a') + "b";
    EXPECT_FALSE(WildcardMatch(pattern, name));
}
