#include "e2e/Scene.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace e2e {
namespace {

// A value of the settings file, quoted so that commas and blanks stay text.
std::string Quoted(const std::string& value) {
    std::string out = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

} // namespace

Scene::Scene()
    : root(m_root.Path()), queue(root + "/queue"), processed(root + "/Processed"),
      failed(root + "/Failed"), configHome(root + "/config"), stateHome(root + "/state"),
      runtimeDir(root + "/runtime"), socket(root + "/sim.sock"), simLog(root + "/sim.log"),
      statusFile(root + "/sampling.sem"), abortFile(root + "/abort.sem"),
      output(root + "/tesmaro.out") {
    mkdir(queue.c_str(), 0755);
    mkdir(configHome.c_str(), 0700);
    mkdir((configHome + "/Orbinel").c_str(), 0700);
    mkdir(stateHome.c_str(), 0700);
    mkdir(runtimeDir.c_str(), 0700);
}

SettingsValues Scene::TestSettings() const {
    return {
        {"QueueDir", queue},      {"ProcessedDir", processed}, {"FailedDir", failed},
        {"Filters", "*.olb"},     {"WaitBeforeSubmit", "1"},   {"StatusFile", statusFile},
        {"AbortFile", abortFile}, {"BrowserFile", ""},         {"ExternalTimeout", "30"},
    };
}

std::string Scene::SettingsFile() const {
    return configHome + "/Orbinel/Tesmaro.conf";
}

bool Scene::WriteSettings(const SettingsValues& values) const {
    std::string text = "[Settings]\n";
    for (const auto& [key, value] : values)
        text += key + "=" + Quoted(value) + "\n";
    return WriteFile(SettingsFile(), text);
}

std::vector<std::pair<std::string, std::string>> Scene::Environment() const {
    return {
        {"XDG_CONFIG_HOME", configHome},  {"XDG_STATE_HOME", stateHome},
        {"XDG_RUNTIME_DIR", runtimeDir},  {"KORVANE_SIM_SOCKET", socket},
        {"QT_QPA_PLATFORM", "offscreen"},
    };
}

std::string Scene::Drop(const std::string& name, const std::string& content) const {
    const std::string path = queue + "/" + name;
    WriteFile(path, content);
    return path;
}

void Scene::DropInSuccessiveSeconds(const std::vector<std::pair<std::string, std::string>>& files) {
    const std::string probe = root + "/.clock-probe";
    for (const auto& [name, content] : files) {
        // File times come from the kernel's coarse clock, which may lag the
        // wall clock a little: wait until a new file really gets a later second.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (m_lastCreation != 0 && std::chrono::steady_clock::now() < deadline) {
            unlink(probe.c_str());
            WriteFile(probe, "");
            if (CreationSecond(probe) > m_lastCreation)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        m_lastCreation = std::max(m_lastCreation, CreationSecond(Drop(name, content)));
    }
    unlink(probe.c_str());
}

Names FilesIn(const std::string& dir) {
    Names names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        if (entry.is_regular_file(ec))
            names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

bool WriteFile(const std::string& path, const std::string& content) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool ok =
        write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    return close(fd) == 0 && ok;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::int64_t CreationSecond(const std::string& path) {
    struct statx stx {};
    if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_CTIME, &stx) != 0)
        return -1;
    return (stx.stx_mask & STATX_BTIME) ? stx.stx_btime.tv_sec : stx.stx_ctime.tv_sec;
}

std::int64_t NowSeconds() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

double NowFractional() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string BaseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace e2e
