#pragma once

#include "support/TempDir.h"

#include <cstdint>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace torture {

// AddressSanitizer keeps freed memory in quarantine and adds shadow memory, so
// bounds on memory growth get more room under it.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kUnderAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kUnderAddressSanitizer = true;
#else
inline constexpr bool kUnderAddressSanitizer = false;
#endif
#else
inline constexpr bool kUnderAddressSanitizer = false;
#endif

// The torture suite runs short by default; TESMARO_TORTURE_LONG=1 runs it at
// full size (1 GiB files, hundreds of kills, a thousand soaked batches).
bool LongRun();
// `shortValue` normally, `longValue` in the long run.
template <typename T> T Size(T shortValue, T longValue) {
    return LongRun() ? longValue : shortValue;
}

// A seed for the random choices of a test: TESMARO_TORTURE_SEED when set, so
// that a failure can be replayed, else a fresh one that the test prints.
std::uint32_t Seed();

// What a file must be to count as whole.
struct FileFacts {
    std::uint64_t size = 0;
    std::uint64_t checksum = 0;
    bool operator==(const FileFacts&) const = default;
};

// FNV-1a over the whole file, read in blocks; empty facts and false when it
// cannot be read.
bool Facts(const std::string& path, FileFacts& facts);
std::uint64_t Checksum(const std::string& bytes);

// Writes a file in one go; its facts.
FileFacts Plant(const std::string& path, const std::string& content);
// Writes `size` pseudo-random bytes (from `seed`) ending with a line feed.
FileFacts PlantLarge(const std::string& path, std::uint64_t size, std::uint32_t seed);

// A file of `size` bytes of which only the first MiB holds data (random, from
// `seed`); the rest is a hole, so it costs no disk but as much time to copy.
FileFacts PlantSparse(const std::string& path, std::uint64_t size, std::uint32_t seed);

// The promise that nothing is lost: every planted file is whole, under its own
// name, in at least one of the directories; no name in them other than a
// planted one (a leftover temporary file, a half-written file) unless
// `tolerated` accepts it. One line per breach; empty when the promise holds.
using Planted = std::map<std::string, FileFacts>;
std::vector<std::string> Breaches(const Planted& planted, const std::vector<std::string>& dirs,
                                  bool (*tolerated)(const std::string& name) = nullptr);

// Peak resident memory of a process from /proc (VmHWM), in KiB; -1 when unknown.
long PeakResidentKiB(int pid);

} // namespace torture
