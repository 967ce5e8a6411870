#pragma once

#include "external/CFileFindS.h"

#include <memory>
#include <vector>

namespace testsupport {

// A finder that yields a fixed list of matches in the given order, whatever it
// is asked for, to test what the engine does with the finder's order.
class ScriptedFinder final : public external::CFileFindS {
public:
    explicit ScriptedFinder(std::vector<Entry> entries) : m_script(std::move(entries)) {}
    int FindFile(const std::string& /*name*/, int /*unused*/ = 0) override {
        SetMatches("/q/", m_script);
        return m_script.empty() ? 0 : 1;
    }

private:
    std::vector<Entry> m_script;
};

} // namespace testsupport
