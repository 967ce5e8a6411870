#include "engine/SettleWatch.h"

#include "engine/Clock.h"

#include <algorithm>

namespace engine {

namespace {

// Beyond about the year 2255 a count of nanoseconds no longer fits.
constexpr std::int64_t kLatestSecond = 9'000'000'000;

} // namespace

std::int64_t ToNanoseconds(std::int64_t seconds, std::uint32_t nanoseconds) {
    const std::int64_t held = std::clamp(seconds, -kLatestSecond, kLatestSecond);
    return held * Clock::kNanosecondsPerSecond + static_cast<std::int64_t>(nanoseconds);
}

bool SettleWatch::Settled(const CBatch& batch, std::int64_t now, std::int64_t waitSeconds) {
    // The last-write time's fraction is known only with the file's identity.
    const bool writtenPrecise =
        batch.identity.Known() && batch.identity.modifiedSeconds == batch.lastWrite;
    const Version version{
        batch.identity.inode, batch.identity.size,
        ToNanoseconds(batch.created, batch.createdNanoseconds),
        ToNanoseconds(batch.lastWrite, writtenPrecise ? batch.identity.modifiedNanoseconds : 0)};

    if (m_seen.size() >= kMaxSightings && m_seen.count(batch.path) == 0)
        m_seen.clear();
    auto [seen, first] = m_seen.try_emplace(batch.path, Sighting{version, now, false});
    Sighting& sighting = seen->second;
    if (!first && sighting.version != version) {
        // A stamp that moved on to a fraction of a second tells the change
        // itself; one that stood still, or keeps whole seconds only, may lag it.
        const bool stampTells = version.written != sighting.version.written &&
                                version.written % Clock::kNanosecondsPerSecond != 0;
        sighting = Sighting{version, now, !stampTells};
    }
    // A clock stepped back leaves a sighting in its future.
    sighting.since = std::min(sighting.since, now);

    std::int64_t lastChange = std::max(version.created, version.written);
    if (lastChange > now)
        lastChange = sighting.since;
    else if (sighting.changedUnstamped)
        lastChange = std::max(lastChange, sighting.since);
    const std::int64_t wait = std::clamp<std::int64_t>(waitSeconds, -kLatestSecond, kLatestSecond) *
                              Clock::kNanosecondsPerSecond;
    std::int64_t age = 0;
    if (__builtin_sub_overflow(now, lastChange, &age))
        return lastChange < 0; // ages beyond the range: long settled, or far off
    return age >= wait;
}

} // namespace engine
