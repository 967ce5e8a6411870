#pragma once

#include "platform/FileIdentity.h"

#include <cstdint>
#include <string>

namespace engine {

// One waiting batch: a file in the queue directory that matches the filter.
struct CBatch {
    std::string title;          // file name without its last extension; base name of its companions
    std::string path;           // full path of the batch file
    std::int64_t created = 0;   // calendar seconds (UTC)
    std::int64_t lastWrite = 0; // calendar seconds (UTC)
    platform::FileIdentity identity{};    // the file the scan found under that path
    std::uint32_t createdNanoseconds = 0; // the creation time's fraction of a second, where kept

    bool operator==(const CBatch&) const = default;
};

} // namespace engine
