#pragma once

#include "torture/TortureSupport.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace torture {

// Names that no batch filter should make a batch of, and that must stay as
// they are: a FIFO, symbolic links (to /dev/zero, to a file outside the queue,
// to nowhere) and a directory, all named like batches.
struct NonRegularEntries {
    std::set<std::string> names;
    std::string outsideFile; // the link target outside the queue
    std::string outsideContent;
};
NonRegularEntries PlantNonRegular(const std::string& queue, const std::string& outsideDir);
// One line per entry that is no longer what was planted.
std::vector<std::string> NonRegularChanged(const std::string& queue,
                                           const NonRegularEntries& entries);

// Regular batch files that are hostile by content or name: a large file with
// no line end and the marker at its very end (sparse, `largeSize` bytes),
// random bytes, an empty file, and names with blanks, double quotes, a line
// feed, a leading "-", 255 bytes, and bytes that are not UTF-8.
Planted PlantHostileRegular(const std::string& queue, std::uint64_t largeSize, std::uint32_t seed);
// The name of the large file with the marker at its end.
inline const std::string kLargeMarkedName = "Large.olb";

// A process that holds a file open for writing until it is stopped; started
// without a shell.
class WriterHolder {
public:
    explicit WriterHolder(const std::string& path);
    ~WriterHolder();
    WriterHolder(const WriterHolder&) = delete;
    WriterHolder& operator=(const WriterHolder&) = delete;
    bool Holding() const { return m_pid > 0; }
    void Release();

private:
    int m_pid = -1;
};

} // namespace torture
