#pragma once

#include "external/CFileFindS.h"
#include "support/CrashFileOps.h"

#include <functional>
#include <memory>
#include <string>

namespace testsupport {

// The finder over a CrashFileOps: lists what the volatile view holds, as the
// real finder lists a directory. The search's last component may hold '*' and
// '?'; matches come sorted by name in byte order, "." and ".." never among
// them; the directory is resolved ("." and "..") as GetFilePath reports it.
// Entries are described as the real finder describes them: created is the
// birth time where the file system records one, else the status-change time.
// Its listings are not FileOps calls: they are not counted, and while the
// power is off every search finds nothing, as the real finder finds nothing
// in a directory it cannot read.
class MemoryFinder final : public external::CFileFindS {
public:
    explicit MemoryFinder(const CrashFileOps& files) : m_files(files) {}
    int FindFile(const std::string& name, int unused = 0) override;

private:
    const CrashFileOps& m_files;
};

// Makes MemoryFinders over `files`, for the engine's finder factory.
std::function<std::unique_ptr<external::CFileFindS>()> MemoryFinders(const CrashFileOps& files);

} // namespace testsupport
