#pragma once

#include "platform/MessageRegistry.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"
#include "watcher/CDirectoryWatcher.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace watchertest {

// Generous: these waits end as soon as their condition holds and only run out
// when something is broken.
constexpr std::chrono::seconds kPatience{20};

// A target that records every post, from any thread, and lets the test wait
// for a number of posts.
class RecordingPoster final : public platform::MessagePoster {
public:
    struct Post {
        std::uint32_t id;
        std::uintptr_t wParam;
        std::intptr_t lParam;
    };

    bool PostMessage(std::uint32_t id, std::uintptr_t wParam, std::intptr_t lParam) override;
    // True once at least count posts have arrived, false when patience ran out.
    bool WaitForPosts(std::size_t count);
    std::vector<Post> Posts() const;
    std::size_t Count() const;

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_posted;
    std::vector<Post> m_posts;
};

// A target that holds the worker inside its first post until released. Each
// post, once released, runs react (if any) before it returns, at most
// kMaxReactions times, so that a worker that never ends still comes to a stop.
class HoldingPoster final : public platform::MessagePoster {
public:
    static constexpr std::size_t kMaxReactions = 1000;

    explicit HoldingPoster(std::function<void()> react = {}) : m_react(std::move(react)) {}
    bool PostMessage(std::uint32_t id, std::uintptr_t wParam, std::intptr_t lParam) override;
    bool WaitUntilHeld();
    void Release();
    std::size_t Count() const;

private:
    std::function<void()> m_react;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::size_t m_posts = 0;
    bool m_released = false;
};

// Checks condition until it holds or patience runs out; the result is the last check.
inline bool WaitUntil(const std::function<bool()>& condition) {
    return testsupport::WaitUntil(condition, kPatience, std::chrono::milliseconds(1));
}

// A fresh directory, a watcher aimed at it and a target that records its posts.
struct WatchedDirectory {
    // The kinds of change the main window asks for.
    static constexpr std::uint32_t kSystemFilter = 25;

    testsupport::TempDir dir;
    RecordingPoster poster;
    watcher::CDirectoryWatcher watcher{&poster};

    // Starts the worker on the directory and waits until its watch is in place, so
    // that every change from here on is seen; false when either failed.
    [[nodiscard]] bool Start(std::uint32_t filter = kSystemFilter, bool subtree = false);
};

// How many inotify watches of this process are on the directory path names
// (after following a final link), as the kernel reports them.
int WatchCount(const std::string& path);
// How many inotify watches this process holds in all.
int TotalWatchCount();
// How many inotify descriptors this process holds.
int InotifyDescriptorCount();
// The descriptors of this process whose target (as /proc shows it) contains kind,
// e.g. "inotify" or "eventfd".
std::vector<int> DescriptorsOfKind(const std::string& kind);

// Whether an eventfd of this process is signalled (its counter is not zero).
bool StopEventSignalled();

// Each of these fails the test when the file system refuses.
void MakeDirectory(const std::string& path);
void CreateFile(const std::string& path);
void AppendTo(const std::string& path, const std::string& text);
void Rename(const std::string& from, const std::string& to);
void Remove(const std::string& path);

} // namespace watchertest
