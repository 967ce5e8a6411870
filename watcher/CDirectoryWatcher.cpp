#include "watcher/CDirectoryWatcher.h"

#include "watcher/ChangeFilter.h"
#include "watcher/ChangeNotification.h"

#include <poll.h>

#include <cerrno>
#include <system_error>
#include <thread>

namespace watcher {

// The worker thread and the flag it raises as its very last act, which is what
// tells a running worker from one that has ended by itself.
struct CDirectoryWatcher::Worker {
    std::thread thread;
    std::atomic<bool> ended{false};
};

namespace {

struct Wake {
    bool change = false;
    bool stop = false;
    bool failed = false;
};

// Sleeps, without a time-out, until the notification fires or the stop event is
// signalled; reports both when both are ready.
Wake WaitForChangeOrStop(int notificationFd, int stopFd) {
    pollfd fds[2] = {{notificationFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    int ready;
    do {
        ready = poll(fds, 2, -1);
    } while (ready < 0 && errno == EINTR);
    Wake wake;
    constexpr short kBroken = POLLERR | POLLHUP | POLLNVAL;
    if (ready <= 0 || (fds[0].revents & kBroken) || (fds[1].revents & kBroken)) {
        wake.failed = true;
        return wake;
    }
    wake.change = (fds[0].revents & POLLIN) != 0;
    wake.stop = (fds[1].revents & POLLIN) != 0;
    return wake;
}

} // namespace

CDirectoryWatcher::CDirectoryWatcher(platform::MessagePoster* target) {
    SetWindow(target);
}

CDirectoryWatcher::~CDirectoryWatcher() {
    Enable(false);
}

void CDirectoryWatcher::SetDirectory(const char* directory, std::uint32_t filter,
                                     bool watchSubtree) {
    if (directory == nullptr)
        return;
    const bool wasRunning = IsRunning();
    Stop();
    m_directory = directory;
    m_filter = filter;
    m_watchSubtree = watchSubtree;
    if (wasRunning)
        Start();
}

void CDirectoryWatcher::SetWindow(platform::MessagePoster* target) {
    const bool wasRunning = IsRunning();
    Stop();
    m_target = target;
    if (wasRunning)
        Start();
}

void CDirectoryWatcher::Enable(bool on) {
    if (on)
        Start();
    else
        Stop();
}

bool CDirectoryWatcher::Start() {
    Stop();
    // Without a stop event a worker could never be told to end, and Stop would
    // wait for it for ever.
    if (!m_stopEvent.IsValid())
        return false;
    m_stopEvent.Reset();
    auto worker = std::make_unique<Worker>();
    Worker* const started = worker.get();
    try {
        worker->thread = std::thread([this, started] {
            WatchThreadProc(this);
            started->ended.store(true, std::memory_order_release);
        });
    } catch (const std::system_error&) {
        return false;
    }
    m_worker = std::move(worker);
    return true;
}

void CDirectoryWatcher::Stop() {
    if (!m_worker)
        return;
    m_stopEvent.Signal();
    m_worker->thread.join();
    m_worker.reset();
}

bool CDirectoryWatcher::IsRunning() const {
    return m_worker && !m_worker->ended.load(std::memory_order_acquire);
}

std::uint32_t CDirectoryWatcher::GetMessageId() {
    std::uint32_t id = m_messageId.load(std::memory_order_relaxed);
    if (id == 0) {
        id = platform::RegisterWindowMessage(kMessageName);
        m_messageId.store(id, std::memory_order_relaxed);
    }
    return id;
}

unsigned CDirectoryWatcher::WatchThreadProc(CDirectoryWatcher* watcher) {
    if (watcher == nullptr)
        return 0;
    WriterTracker& writers = watcher->m_writers;
    ChangeNotification notification;
    if (!notification.Open(watcher->m_directory, InotifyMaskForFilter(watcher->m_filter),
                           watcher->m_watchSubtree, &writers))
        return 0;
    // From here until the worker ends, on every way out, its directory is watched.
    writers.Begin(watcher->m_directory);
    struct EndWatching {
        WriterTracker& writers;
        ~EndWatching() { writers.End(); }
    } endWatching{writers};
    platform::MessagePoster* const target = watcher->m_target;
    const std::uint32_t messageId = watcher->GetMessageId();
    const int stopFd = watcher->m_stopEvent.Fd();
    for (;;) {
        const Wake wake = WaitForChangeOrStop(notification.Fd(), stopFd);
        if (wake.failed)
            break;
        // A change pending together with the stop is still reported, once;
        // then the stop wins, so a steady stream of changes cannot hold it off.
        if (wake.change) {
            const ChangeNotification::RearmResult result = notification.Rearm();
            if (result.changed && target != nullptr)
                target->PostMessage(messageId, 0, 0); // a failed post only delays the rescan
            if (!result.armed)
                break;
        }
        if (wake.stop)
            break;
    }
    return 0;
}

} // namespace watcher
