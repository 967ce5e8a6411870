#pragma once

#include "platform/MessageRegistry.h"

#include <cstdint>
#include <memory>
#include <string>

namespace watcher {

// Watches one directory from a worker thread and posts the registered message
// "KV_Directory_Change" (both parameters 0) to its target whenever something in
// the directory changes. The message carries nothing; the receiver rescans.
class CDirectoryWatcher {
public:
    static constexpr const char* kMessageName = "KV_Directory_Change";
    // Change kinds, as filter bits.
    static constexpr std::uint32_t kFileName = 0x1;  // created, deleted, renamed
    static constexpr std::uint32_t kSize = 0x8;      // size changed
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
    bool Start();
    void Stop();
    bool IsRunning() const;
    std::uint32_t GetMessageId();

    static unsigned WatchThreadProc(CDirectoryWatcher* watcher);

private:
    struct Worker;

    std::string m_directory;
    std::uint32_t m_filter = 0;
    bool m_watchSubtree = false;
    platform::MessagePoster* m_target = nullptr;
    std::uint32_t m_messageId = 0;
    int m_stopEvent = -1; // eventfd, stays signalled until reset
    std::unique_ptr<Worker> m_worker;
};

} // namespace watcher
