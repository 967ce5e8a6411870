#pragma once

#include <sys/types.h>

#include <benchmark/benchmark.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// Helpers shared by the benchmarks: the scan floor, the shell-free pipeline a
// user would script instead, child processes and CPU clocks.
namespace bench {

// A directory of our own under `base` (the temporary directory when empty),
// removed with its contents when the object goes.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& base = {});
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// The temporary directory: TMPDIR, else /tmp.
std::string TemporaryBase();

// The least any scan can do: one readdir loop over the directory, a match of
// each name against "*.<extension>" and one statx of each match.
std::size_t ScanFloor(const std::string& dir, const char* pattern);

// Starts a program found on PATH with the given arguments, never through a
// shell, with its standard input and output redirected to the given
// descriptors (-1 keeps ours) and extra environment entries ("NAME=value")
// added. The child's id, or -1.
pid_t Spawn(const std::vector<std::string>& argv, int stdinFd = -1, int stdoutFd = -1,
            const std::vector<std::string>& extraEnvironment = {});
// Waits for a child; its exit status, or -1.
int Wait(pid_t pid);
// Spawn and Wait; true when the program exited with status 0.
bool Run(const std::vector<std::string>& argv);

// What a user would script to list the queue oldest first:
//   find DIR -maxdepth 1 -name PATTERN -printf '%B@ %p\n' | sort -n
// built from two processes and a pipe, its output discarded. True on success.
bool FindSortPipeline(const std::string& dir, const std::string& pattern);

// CPU time (user plus system) in seconds: of the calling thread, of this whole
// process, and of another process (from /proc).
double ThreadCpuSeconds();
double ProcessCpuSeconds();
double ChildCpuSeconds(pid_t pid);
// Resident and peak resident memory of a process in KiB (VmRSS, VmHWM), 0 when unknown.
std::pair<long, long> ResidentKiB(pid_t pid);

// Sets the counters of a benchmark that measured something (`what`) and the
// scan floor in turns: the CPU milliseconds of each per iteration, and their
// ratio as "<what>_per_floor".
void ReportAgainstFloor(benchmark::State& state, const std::string& what, double seconds,
                        double floorSeconds);

// Creates a file of exactly `bytes` bytes (real data, not a hole).
bool WriteFileOfSize(const std::string& path, std::size_t bytes);

} // namespace bench
