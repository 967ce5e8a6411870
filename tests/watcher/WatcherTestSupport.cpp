#include "WatcherTestSupport.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace watchertest {

bool WatchedDirectory::Start(std::uint32_t filter, bool subtree) {
    watcher.SetDirectory(dir.Path().c_str(), filter, subtree);
    return watcher.Start() && WaitUntil([&] { return WatchCount(dir.Path()) == 1; });
}

bool RecordingPoster::PostMessage(std::uint32_t id, std::uintptr_t wParam, std::intptr_t lParam) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_posts.push_back({id, wParam, lParam});
    }
    m_posted.notify_all();
    return true;
}

bool RecordingPoster::WaitForPosts(std::size_t count) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_posted.wait_for(lock, kPatience, [&] { return m_posts.size() >= count; });
}

std::vector<RecordingPoster::Post> RecordingPoster::Posts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_posts;
}

std::size_t RecordingPoster::Count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_posts.size();
}

bool HoldingPoster::PostMessage(std::uint32_t, std::uintptr_t, std::intptr_t) {
    std::size_t posts;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        posts = ++m_posts;
        m_changed.notify_all();
        // Bounded, so that a broken test cannot hang the worker and with it Stop.
        m_changed.wait_for(lock, kPatience, [&] { return m_released; });
    }
    if (m_react && posts <= kMaxReactions)
        m_react();
    return true;
}

bool HoldingPoster::WaitUntilHeld() {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, kPatience, [&] { return m_posts > 0; });
}

void HoldingPoster::Release() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_released = true;
    }
    m_changed.notify_all();
}

std::size_t HoldingPoster::Count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_posts;
}

namespace {

std::string LinkTarget(const std::string& path) {
    char buffer[256];
    const ssize_t n = readlink(path.c_str(), buffer, sizeof buffer - 1);
    return n < 0 ? std::string() : std::string(buffer, static_cast<std::size_t>(n));
}

std::vector<int> OpenDescriptors() {
    std::vector<int> fds;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return fds;
    const int own = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const int fd = std::atoi(entry->d_name);
        if (fd != own)
            fds.push_back(fd);
    }
    closedir(dir);
    return fds;
}

// The device number as the kernel writes it in an inotify descriptor's fdinfo.
unsigned long KernelDevice(dev_t device) {
    return (static_cast<unsigned long>(major(device)) << 20) | minor(device);
}

} // namespace

std::vector<int> DescriptorsOfKind(const std::string& kind) {
    std::vector<int> found;
    for (const int fd : OpenDescriptors()) {
        if (LinkTarget("/proc/self/fd/" + std::to_string(fd)).find(kind) != std::string::npos)
            found.push_back(fd);
    }
    return found;
}

bool StopEventSignalled() {
    for (const int fd : DescriptorsOfKind("eventfd")) {
        std::ifstream info("/proc/self/fdinfo/" + std::to_string(fd));
        std::string line;
        while (std::getline(info, line)) {
            if (line.rfind("eventfd-count:", 0) == 0 &&
                line.find_first_not_of(" \t0", sizeof "eventfd-count:" - 1) != std::string::npos)
                return true;
        }
    }
    return false;
}

int InotifyDescriptorCount() {
    return static_cast<int>(DescriptorsOfKind("inotify").size());
}

namespace {

// Counts the watch lines of every inotify descriptor that contain text.
int CountWatchLines(const std::string& text) {
    int count = 0;
    for (const int fd : DescriptorsOfKind("inotify")) {
        std::ifstream info("/proc/self/fdinfo/" + std::to_string(fd));
        std::string line;
        while (std::getline(info, line)) {
            if (line.rfind("inotify ", 0) == 0 && line.find(text) != std::string::npos)
                ++count;
        }
    }
    return count;
}

} // namespace

int WatchCount(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return 0;
    std::ostringstream wanted;
    wanted << std::hex << " ino:" << st.st_ino << " sdev:" << KernelDevice(st.st_dev) << " ";
    return CountWatchLines(wanted.str());
}

int TotalWatchCount() {
    return CountWatchLines(" ino:");
}

void MakeDirectory(const std::string& path) {
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path;
}

void CreateFile(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0) << path;
    close(fd);
}

void AppendTo(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path;
    const ssize_t written = write(fd, text.data(), text.size());
    close(fd);
    ASSERT_EQ(written, static_cast<ssize_t>(text.size())) << path;
}

void Rename(const std::string& from, const std::string& to) {
    ASSERT_EQ(std::rename(from.c_str(), to.c_str()), 0) << from << " -> " << to;
}

void Remove(const std::string& path) {
    ASSERT_EQ(std::remove(path.c_str()), 0) << path;
}

} // namespace watchertest
