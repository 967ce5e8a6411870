#pragma once

#include "settings/CBatchParams.h"

#include <ostream>

namespace settings {
// Prints a record field by field, so that a failed comparison shows which field differs.
inline void PrintTo(const CBatchParams& p, std::ostream* os) {
    *os << "{Queue=" << p.QueueDir << " Processed=" << p.ProcessedDir << " Failed=" << p.FailedDir
        << " Filters=" << p.Filters << " Wait=" << p.WaitBeforeSubmit << " Status=" << p.StatusFile
        << " Abort=" << p.AbortFile << " A=" << p.Acquire << " P=" << p.Process
        << " Q=" << p.Quantify << " F=" << p.Profile << " Print=" << p.PrintReport
        << " Summary=" << p.CreateSummary << " Scheme=" << p.SchemeName
        << " Browser=" << p.BrowserFile << " Timeout=" << p.ExternalTimeout << "}";
}
} // namespace settings

namespace settingstest {
// A record with a distinct value in every field, so that a swapped or dropped field shows.
// The flags are 0 or 1, as a check box can show them.
inline settings::CBatchParams DistinctRecord() {
    settings::CBatchParams p;
    p.QueueDir = "/lab/queue";
    p.ProcessedDir = "/lab/done";
    p.FailedDir = "/lab/failed";
    p.Filters = "*.tab";
    p.WaitBeforeSubmit = 17;
    p.StatusFile = "/run/status.sem";
    p.AbortFile = "/run/abort.sem";
    p.Acquire = 1;
    p.Process = 0;
    p.Quantify = 1;
    p.Profile = 0;
    p.PrintReport = 0;
    p.CreateSummary = 1;
    p.SchemeName = "Summary A";
    p.BrowserFile = "/opt/viewer/view";
    p.ExternalTimeout = 120;
    return p;
}
} // namespace settingstest
