#include "BenchSupport.h"

#include <fnmatch.h>

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>

extern char** environ;

namespace bench {

std::string TemporaryBase() {
    const char* base = std::getenv("TMPDIR");
    return base && *base ? base : "/tmp";
}

ScratchDir::ScratchDir(const std::string& base) {
    std::string templ = (base.empty() ? TemporaryBase() : base) + "/tesmaro-bench-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr)
        std::abort();
    m_path = templ;
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::size_t ScanFloor(const std::string& dir, const char* pattern) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return 0;
    std::size_t n = 0;
    while (const dirent* de = readdir(d)) {
        if (fnmatch(pattern, de->d_name, 0) != 0)
            continue;
        struct statx stx {};
        if (statx(dirfd(d), de->d_name, AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_MTIME, &stx) == 0)
            ++n;
    }
    closedir(d);
    return n;
}

pid_t Spawn(const std::vector<std::string>& argv, int stdinFd, int stdoutFd,
            const std::vector<std::string>& extraEnvironment) {
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // Ours first, and the inherited entries of the same names left out.
    std::vector<char*> env;
    for (const std::string& e : extraEnvironment)
        env.push_back(const_cast<char*>(e.c_str()));
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string_view entry(*e);
        bool replaced = false;
        for (const std::string& ours : extraEnvironment)
            replaced = replaced ||
                       entry.substr(0, entry.find('=') + 1) == ours.substr(0, ours.find('=') + 1);
        if (!replaced)
            env.push_back(*e);
    }
    env.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdinFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stdinFd, STDIN_FILENO);
    if (stdoutFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

int Wait(pid_t pid) {
    if (pid <= 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Run(const std::vector<std::string>& argv) {
    return Wait(Spawn(argv)) == 0;
}

bool FindSortPipeline(const std::string& dir, const std::string& pattern) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return false;
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t find = Spawn(
        {"find", dir, "-maxdepth", "1", "-name", pattern, "-printf", "%B@ %p\n"}, -1, pipeFds[1]);
    close(pipeFds[1]);
    const pid_t sort = Spawn({"sort", "-n"}, pipeFds[0], devNull);
    close(pipeFds[0]);
    close(devNull);
    const bool findOk = Wait(find) == 0;
    const bool sortOk = Wait(sort) == 0;
    return findOk && sortOk;
}

static double Seconds(const timespec& ts) {
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return Seconds(ts);
}

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return Seconds(ts);
}

double ChildCpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name is in parentheses and may hold blanks: count fields after it.
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::pair<long, long> ResidentKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    long rss = 0, hwm = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            rss = std::atol(line.c_str() + 6);
        else if (line.rfind("VmHWM:", 0) == 0)
            hwm = std::atol(line.c_str() + 6);
    }
    return {rss, hwm};
}

void ReportAgainstFloor(benchmark::State& state, const std::string& what, double seconds,
                        double floorSeconds) {
    const auto perIteration = [](double s) {
        return benchmark::Counter(s * 1e3, benchmark::Counter::kAvgIterations);
    };
    state.counters[what + "_cpu_ms"] = perIteration(seconds);
    state.counters["floor_cpu_ms"] = perIteration(floorSeconds);
    state.counters[what + "_per_floor"] = floorSeconds > 0 ? seconds / floorSeconds : 0;
}

bool WriteFileOfSize(const std::string& path, std::size_t bytes) {
    const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    std::vector<char> block(1 << 20, 'x');
    bool ok = true;
    for (std::size_t left = bytes; ok && left > 0;) {
        const std::size_t n = std::min(left, block.size());
        const ssize_t w = write(fd, block.data(), n);
        ok = w > 0;
        left -= ok ? static_cast<std::size_t>(w) : 0;
    }
    return close(fd) == 0 && ok;
}

} // namespace bench
