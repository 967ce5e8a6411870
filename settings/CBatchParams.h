#pragma once

#include <cstdint>
#include <string>

namespace settings {

class ProfileStore;

// The whole configuration of the program, plus the quan marker of the batch
// being submitted, which is not a setting: it is never loaded, saved or copied.
class CBatchParams {
public:
    static constexpr const char* kSection = "Settings";

    CBatchParams() = default;
    CBatchParams(const CBatchParams& other) { *this = other; }
    // Copies every persisted field and keeps this record's quan marker.
    CBatchParams& operator=(const CBatchParams& other);
    virtual ~CBatchParams() = default;

    // Reads the sixteen keys of section "Settings", with their defaults for
    // missing keys. Returns 0 and changes nothing when there is no store.
    int Load(ProfileStore* store);
    // Writes the sixteen keys in their fixed order. Returns 0 when there is no
    // store; single write failures are ignored.
    int Save(ProfileStore* store) const;

    // Persisted fields, in declared order.
    std::string QueueDir;
    std::string ProcessedDir;
    std::string FailedDir;
    std::string Filters;
    std::int32_t WaitBeforeSubmit = 5;
    std::string StatusFile;
    std::string AbortFile;
    std::int32_t Acquire = 0;
    std::int32_t Process = 0;
    std::int32_t Quantify = 0;
    // Transient: 32 when the batch being submitted asks for quantitation, else 0.
    std::int32_t QuanMarker = 0;
    std::int32_t Profile = 0;
    std::int32_t PrintReport = 0;
    std::int32_t CreateSummary = 0;
    std::string SchemeName;
    std::string BrowserFile;
    std::int32_t ExternalTimeout = 60;
};

// The default for ProcessedDir or FailedDir: the queue directory joined with
// the sub-directory name ("." gives "./Processed", "" gives "Processed").
std::string DerivedDirectory(const std::string& queueDir, const char* name);

bool operator==(const CBatchParams& a, const CBatchParams& b);

} // namespace settings
