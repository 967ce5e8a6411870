#pragma once

#include "engine/CBatch.h"
#include "engine/CBatchList.h"
#include "engine/EngineServices.h"
#include "settings/CBatchParams.h"

#include <string>
#include <vector>

namespace engine {

// The batch queue engine: the waiting batches, the batch handed to the suite,
// the settings and the submitted flag.
class CBatchQueue {
public:
    explicit CBatchQueue(EngineServices services);
    virtual ~CBatchQueue() = default;
    CBatchQueue(const CBatchQueue&) = delete;
    CBatchQueue& operator=(const CBatchQueue&) = delete;

    // Rebuilds the list from the queue directory; always non-zero. A missing or
    // empty directory leaves the list empty.
    int Rescan();
    // Appends, for each batch in list order, its title and its creation time in
    // the locale's "%x %X" form. Non-zero.
    int DisplayRows(std::vector<std::string>& names, std::vector<std::string>& times) const;
    // Copies the engine's settings into the caller's record, or back; non-zero.
    int GetSettings(settings::CBatchParams& out) const;
    int SetSettings(const settings::CBatchParams& in);

    // One tick of the processing cycle; non-zero when it ran.
    int ProcessStep();
    // The text of the window's second status line.
    std::string StatusMessage();

    // The scan pattern: the queue directory, "/" unless it ends in one, the filter.
    std::string ScanPattern() const;

    const CBatchList& List() const { return m_list; }
    const CBatch& CurrentBatch() const { return m_current; }
    const settings::CBatchParams& Settings() const { return m_settings; }
    int Submitted() const { return m_submitted; }

protected:
    EngineServices m_services;
    CBatchList m_list;
    CBatch m_current;
    settings::CBatchParams m_settings;
    int m_submitted = 0;
};

// Formats calendar seconds as local date and time with the locale's "%x %X".
std::string FormatLocalTime(std::int64_t seconds);

} // namespace engine
