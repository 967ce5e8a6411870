#pragma once

#include "engine/CBatch.h"

#include <cstdint>
#include <string>
#include <unordered_map>

namespace engine {

// Tells when a batch file has settled: neither created nor written for the
// settle time, in real time. Its time stamps count to the nanosecond where the
// file system keeps them. Where stamps cannot be trusted, what this process
// saw of the file counts instead:
// - a stamp ahead of the clock (set by hand, or the clock stepped back) counts
//   from when this version of the file was first seen, so that no stamp holds
//   the queue longer than the settle time;
// - a file that changed under our eyes while its stamps stood still or kept
//   only whole seconds (coarse or frozen stamps of network and FAT file
//   systems) counts from when the change was seen.
class SettleWatch {
public:
    // True when `batch` has been still for `waitSeconds` at `now` (calendar
    // nanoseconds).
    bool Settled(const CBatch& batch, std::int64_t now, std::int64_t waitSeconds);

private:
    // What tells one version of a file from the next.
    struct Version {
        std::uint64_t inode = 0;
        std::int64_t size = 0;
        std::int64_t created = 0;
        std::int64_t written = 0; // nanoseconds
        bool operator==(const Version&) const = default;
    };
    struct Sighting {
        Version version;
        std::int64_t since = 0; // when this version was first seen
        bool changedUnstamped = false;
    };

    // Only batches that reached the head of the queue are asked about; a
    // handful is kept.
    static constexpr std::size_t kMaxSightings = 256;
    std::unordered_map<std::string, Sighting> m_seen;
};

// Calendar seconds and a fraction as nanoseconds, held within the range that
// fits (stamps centuries away are far enough either way).
std::int64_t ToNanoseconds(std::int64_t seconds, std::uint32_t nanoseconds);

} // namespace engine
