#include "settings/CBatchParams.h"

#include "settings/ProfileStore.h"

#include <tuple>

namespace settings {

namespace {

// All persisted fields, in the store's key order, for copying and comparing.
auto Persisted(const CBatchParams& p) {
    return std::tie(p.QueueDir, p.ProcessedDir, p.FailedDir, p.Filters, p.WaitBeforeSubmit,
                    p.StatusFile, p.AbortFile, p.Acquire, p.Process, p.Quantify, p.Profile,
                    p.PrintReport, p.CreateSummary, p.SchemeName, p.BrowserFile, p.ExternalTimeout);
}
auto Persisted(CBatchParams& p) {
    return std::tie(p.QueueDir, p.ProcessedDir, p.FailedDir, p.Filters, p.WaitBeforeSubmit,
                    p.StatusFile, p.AbortFile, p.Acquire, p.Process, p.Quantify, p.Profile,
                    p.PrintReport, p.CreateSummary, p.SchemeName, p.BrowserFile, p.ExternalTimeout);
}

} // namespace

CBatchParams& CBatchParams::operator=(const CBatchParams& other) {
    if (this != &other)
        Persisted(*this) = Persisted(other);
    return *this;
}

bool operator==(const CBatchParams& a, const CBatchParams& b) {
    return Persisted(a) == Persisted(b) && a.QuanMarker == b.QuanMarker;
}

std::string DerivedDirectory(const std::string& queueDir, const char* name) {
    std::string out = queueDir;
    if (!out.empty() && out.back() != '/')
        out.push_back('/');
    return out + name;
}

int CBatchParams::Load(ProfileStore* store) {
    if (store == nullptr)
        return 0;
    ProfileStore& s = *store;
    QueueDir = s.GetString(kSection, "QueueDir", ".");
    ProcessedDir = s.GetString(kSection, "ProcessedDir", DerivedDirectory(QueueDir, "Processed"));
    FailedDir = s.GetString(kSection, "FailedDir", DerivedDirectory(QueueDir, "Failed"));
    Filters = s.GetString(kSection, "Filters", "*.olb");
    WaitBeforeSubmit = s.GetInt(kSection, "WaitBeforeSubmit", 5);
    StatusFile = s.GetString(kSection, "StatusFile", "c:\\sampling.sem");
    AbortFile = s.GetString(kSection, "AbortFile", "c:\\abort.sem");
    Acquire = s.GetInt(kSection, "Acquire", 1);
    Process = s.GetInt(kSection, "Process", 1);
    Quantify = s.GetInt(kSection, "Quantify", 0);
    Profile = s.GetInt(kSection, "Profile", 0);
    PrintReport = s.GetInt(kSection, "PrintReport", 0);
    CreateSummary = s.GetInt(kSection, "CreateSummary", 0);
    SchemeName = s.GetString(kSection, "SchemeName", "");
    BrowserFile = s.GetString(kSection, "BrowserFile", "Telvorn.exe");
    ExternalTimeout = s.GetInt(kSection, "ExternalTimeout", 60);
    return 1;
}

int CBatchParams::Save(ProfileStore* store) const {
    if (store == nullptr)
        return 0;
    ProfileStore& s = *store;
    s.WriteString(kSection, "QueueDir", QueueDir);
    s.WriteString(kSection, "ProcessedDir", ProcessedDir);
    s.WriteString(kSection, "FailedDir", FailedDir);
    s.WriteString(kSection, "Filters", Filters);
    s.WriteInt(kSection, "WaitBeforeSubmit", WaitBeforeSubmit);
    s.WriteString(kSection, "StatusFile", StatusFile);
    s.WriteString(kSection, "AbortFile", AbortFile);
    s.WriteInt(kSection, "Acquire", Acquire);
    s.WriteInt(kSection, "Process", Process);
    s.WriteInt(kSection, "Quantify", Quantify);
    s.WriteInt(kSection, "Profile", Profile);
    s.WriteInt(kSection, "PrintReport", PrintReport);
    s.WriteInt(kSection, "CreateSummary", CreateSummary);
    s.WriteString(kSection, "SchemeName", SchemeName);
    s.WriteString(kSection, "BrowserFile", BrowserFile);
    s.WriteInt(kSection, "ExternalTimeout", ExternalTimeout);
    return 1;
}

} // namespace settings
