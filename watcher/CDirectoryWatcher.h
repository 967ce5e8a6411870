#pragma once

#include "platform/MessageRegistry.h"
#include "platform/WriterView.h"
#include "watcher/StopEvent.h"
#include "watcher/WriterTracker.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace watcher {

// Watches one directory from a worker thread and posts the registered message
// "KV_Directory_Change" (both parameters 0) to its target whenever something in
// the directory changes. The message carries nothing; the receiver rescans.
//
// Whatever the filter, the worker also follows who is writing the files of the
// directory itself (not of its subdirectories), which Writers tells any thread;
// the events it needs for that are posted about only when the filter counts them.
//
// Every operation but GetMessageId, Writers and WatchThreadProc belongs to the owner's
// thread. The worker reads directory, filter, subtree flag and target only when
// it starts, and they change only while no worker exists, so they need no lock.
class CDirectoryWatcher {
public:
    static constexpr const char* kMessageName = "KV_Directory_Change";
    // Change kinds, as filter bits.
    static constexpr std::uint32_t kFileName = 0x1;   // created, deleted, renamed
    static constexpr std::uint32_t kSize = 0x8;       // size changed
    static constexpr std::uint32_t kLastWrite = 0x10; // last-write time changed

    explicit CDirectoryWatcher(platform::MessagePoster* target);
    virtual ~CDirectoryWatcher();
    CDirectoryWatcher(const CDirectoryWatcher&) = delete;
    CDirectoryWatcher& operator=(const CDirectoryWatcher&) = delete;

    // Stores new values; a running worker is replaced by one on the new values.
    // A null directory changes nothing.
    void SetDirectory(const char* directory, std::uint32_t filter, bool watchSubtree);
    void SetWindow(platform::MessagePoster* target);
    void Enable(bool on);
    // Replaces any worker by a new one; false when no worker could be created.
    bool Start();
    // Ends the worker and waits for it; nothing when there is none.
    void Stop();
    // True while a worker exists that has not ended by itself.
    bool IsRunning() const;
    std::uint32_t GetMessageId();
    // Who is writing the watched directory's files, asked with the directory
    // spelt as given to SetDirectory; Unknown while no worker watches it. Any
    // thread may ask; it lives as long as the watcher.
    const platform::WriterView& Writers() const { return m_writers; }

    // The worker's body: waits for changes until the stop event, posting one
    // message per wake that saw a change. Always returns 0.
    static unsigned WatchThreadProc(CDirectoryWatcher* watcher);

private:
    struct Worker;

    std::string m_directory;
    std::uint32_t m_filter = 0;
    bool m_watchSubtree = false;
    platform::MessagePoster* m_target = nullptr;
    std::atomic<std::uint32_t> m_messageId{0};
    StopEvent m_stopEvent; // manual reset: stays signalled until Start resets it
    std::unique_ptr<Worker> m_worker;
    WriterTracker m_writers; // fed by the worker; locks for itself
};

} // namespace watcher
