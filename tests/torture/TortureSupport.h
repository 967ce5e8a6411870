#pragma once

#include "support/TempDir.h"

#include <cstdint>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <sys/types.h>
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

// The promise that each batch is filed whole: every planted file lies in
// exactly one of the directories, and all files of a batch (one title: the
// name before its last dot) in the same one. One line per breach.
std::vector<std::string> Misfilings(const Planted& planted, const std::vector<std::string>& dirs);

// Peak resident memory of a process from /proc (VmHWM), in KiB; -1 when unknown.
long PeakResidentKiB(int pid);

// Tests on real disks and with real users: they run as root with the system's
// own tools, and are skipped where the machine does not allow them.

// The full path of a system program, looked up in PATH and the sbin and bin
// directories; empty when it is not there.
std::string FindProgram(const std::string& name);
// Why a test that mounts, attaches loop devices or adds users cannot run here
// (not root, or one of the programs missing); empty when it can.
std::string WhyNotPrivileged(const std::vector<std::string>& programs);
// Runs a system program (found with FindProgram) to its end, its output
// appended to `log`; true when it exited with 0.
bool RunTool(std::vector<std::string> argv, const std::string& log);

// A loop device attached to an image file, detached when the object goes away
// (the kernel frees it once its last mount is gone).
class LoopDevice {
public:
    LoopDevice(const std::string& image, const std::string& log);
    ~LoopDevice();
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;
    // "/dev/loopN"; empty when no device could be attached.
    const std::string& Device() const { return m_device; }

private:
    std::string m_device;
    std::string m_log;
};

// A mount made with mount(8) (`options` come before the source and target:
// "-t", "ext4", "-o", "commit=600", or "--bind"), undone when the object goes
// away: lazily when something still uses it.
class Mount {
public:
    Mount(const std::vector<std::string>& options, const std::string& source,
          const std::string& target, const std::string& log);
    ~Mount();
    Mount(const Mount&) = delete;
    Mount& operator=(const Mount&) = delete;
    bool Mounted() const { return m_mounted; }
    // The device number the mount shows; 0 when it is not mounted.
    dev_t Device() const;

private:
    std::string m_target;
    std::string m_log;
    bool m_mounted = false;
};

} // namespace torture
