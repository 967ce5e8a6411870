#include "torture/TortureSupport.h"

#include "support/ChildUnderTest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>

namespace torture {

namespace {

constexpr std::uint64_t kFnvOffset = 1469598103934665603ULL;
constexpr std::uint64_t kFnvPrime = 1099511628211ULL;

std::uint64_t Mix(std::uint64_t hash, const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        hash ^= static_cast<unsigned char>(data[i]);
        hash *= kFnvPrime;
    }
    return hash;
}

} // namespace

bool LongRun() {
    const char* value = std::getenv("TESMARO_TORTURE_LONG");
    return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

std::uint32_t Seed() {
    static const std::uint32_t seed = [] {
        const char* value = std::getenv("TESMARO_TORTURE_SEED");
        const std::uint32_t s = value != nullptr && *value != '\0'
                                    ? static_cast<std::uint32_t>(std::strtoul(value, nullptr, 10))
                                    : std::random_device{}();
        std::cout << "TESMARO_TORTURE_SEED=" << s << "\n";
        return s;
    }();
    return seed;
}

std::uint64_t Checksum(const std::string& bytes) {
    return Mix(kFnvOffset, bytes.data(), bytes.size());
}

bool Facts(const std::string& path, FileFacts& facts) {
    facts = {};
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::vector<char> block(1 << 20);
    std::uint64_t hash = kFnvOffset;
    bool ok = true;
    for (;;) {
        const ssize_t got = read(fd, block.data(), block.size());
        if (got < 0) {
            ok = false;
            break;
        }
        if (got == 0)
            break;
        hash = Mix(hash, block.data(), static_cast<std::size_t>(got));
        facts.size += static_cast<std::uint64_t>(got);
    }
    close(fd);
    facts.checksum = hash;
    return ok;
}

FileFacts Plant(const std::string& path, const std::string& content) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        for (std::size_t done = 0; done < content.size();) {
            const ssize_t put = write(fd, content.data() + done, content.size() - done);
            if (put <= 0)
                break;
            done += static_cast<std::size_t>(put);
        }
        close(fd);
    }
    return {content.size(), Checksum(content)};
}

FileFacts PlantLarge(const std::string& path, std::uint64_t size, std::uint32_t seed) {
    std::mt19937_64 random(seed);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::vector<char> block(1 << 16);
    std::uint64_t hash = kFnvOffset;
    for (std::uint64_t done = 0; done < size;) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), size - done));
        for (std::size_t i = 0; i < n; i += 8) {
            const std::uint64_t word = random();
            std::memcpy(block.data() + i, &word, std::min<std::size_t>(8, n - i));
        }
        if (done + n == size)
            block[n - 1] = '\n';
        if (fd >= 0 && write(fd, block.data(), n) != static_cast<ssize_t>(n))
            break;
        hash = Mix(hash, block.data(), n);
        done += n;
    }
    if (fd >= 0)
        close(fd);
    return {size, hash};
}

FileFacts PlantSparse(const std::string& path, std::uint64_t size, std::uint32_t seed) {
    PlantLarge(path, std::min<std::uint64_t>(size, 1 << 20), seed);
    truncate(path.c_str(), static_cast<off_t>(size));
    FileFacts facts;
    Facts(path, facts);
    return facts;
}

std::vector<std::string> Breaches(const Planted& planted, const std::vector<std::string>& dirs,
                                  bool (*tolerated)(const std::string& name)) {
    std::vector<std::string> breaches;
    std::map<std::string, int> wholeCopies;
    for (const std::string& dir : dirs) {
        for (const std::string& name : testsupport::ListDirectory(dir)) {
            const auto it = planted.find(name);
            if (it == planted.end()) {
                if (tolerated == nullptr || !tolerated(name))
                    breaches.push_back("stranger " + dir + "/" + name);
                continue;
            }
            FileFacts facts;
            if (!Facts(dir + "/" + name, facts) || !(facts == it->second)) {
                breaches.push_back("not whole " + dir + "/" + name + " (" +
                                   std::to_string(facts.size) + " of " +
                                   std::to_string(it->second.size) + " bytes)");
                continue;
            }
            ++wholeCopies[name];
        }
    }
    for (const auto& [name, facts] : planted)
        if (wholeCopies[name] == 0)
            breaches.push_back("lost " + name);
    return breaches;
}

std::vector<std::string> Misfilings(const Planted& planted, const std::vector<std::string>& dirs) {
    std::vector<std::string> breaches;
    std::map<std::string, std::set<std::string>> dirsOfBatch;
    for (const auto& [name, facts] : planted) {
        std::vector<std::string> where;
        for (const std::string& dir : dirs)
            if (testsupport::Exists(dir + "/" + name))
                where.push_back(dir);
        if (where.size() != 1)
            breaches.push_back(name + " is filed " + std::to_string(where.size()) + " times");
        dirsOfBatch[name.substr(0, name.rfind('.'))].insert(where.begin(), where.end());
    }
    for (const auto& [title, where] : dirsOfBatch)
        if (where.size() > 1)
            breaches.push_back("batch " + title + " is split between " + *where.begin() + " and " +
                               *where.rbegin());
    return breaches;
}

long PeakResidentKiB(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "";
    dirs += ":/usr/sbin:/sbin:/usr/bin:/bin";
    for (std::size_t start = 0; start <= dirs.size();) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (end > start && candidate[0] == '/' && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

std::string WhyNotPrivileged(const std::vector<std::string>& programs) {
    if (geteuid() != 0)
        return "not root";
    for (const std::string& program : programs)
        if (FindProgram(program).empty())
            return "no " + program + " on this machine";
    return {};
}

bool RunTool(std::vector<std::string> argv, const std::string& log) {
    argv.front() = FindProgram(argv.front());
    return !argv.front().empty() &&
           testsupport::RunProgram(argv, log, std::chrono::seconds(60)) == 0;
}

LoopDevice::LoopDevice(const std::string& image, const std::string& log) : m_log(log) {
    const std::string answer = log + ".losetup";
    unlink(answer.c_str());
    if (!RunTool({"losetup", "--find", "--show", image}, answer))
        return;
    std::ifstream in(answer);
    for (std::string line; m_device.empty() && std::getline(in, line);)
        if (line.rfind("/dev/", 0) == 0)
            m_device = line;
}

LoopDevice::~LoopDevice() {
    if (!m_device.empty())
        RunTool({"losetup", "--detach", m_device}, m_log);
}

Mount::Mount(const std::vector<std::string>& options, const std::string& source,
             const std::string& target, const std::string& log)
    : m_target(target), m_log(log) {
    std::vector<std::string> argv = {"mount"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(source);
    argv.push_back(target);
    m_mounted = RunTool(argv, log);
}

Mount::~Mount() {
    if (m_mounted && !RunTool({"umount", m_target}, m_log))
        RunTool({"umount", "--lazy", m_target}, m_log);
}

dev_t Mount::Device() const {
    struct stat st {};
    return m_mounted && stat(m_target.c_str(), &st) == 0 ? st.st_dev : 0;
}

} // namespace torture
