#pragma once

#include "external/QueueLibrary.h"

#include <array>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace external {

// How the queue library stands: which file, and whether it was bound.
struct LibraryStatus {
    enum class State {
        Loaded,      // bound: all four functions found
        Missing,     // no file in any of the places
        NotALibrary, // a file the loader refused; `reason` is its message
        Incomplete,  // loaded, but `reason` names a function it lacks
    };
    State state = State::Missing;
    std::string path;   // the file loaded or refused, or the last place looked in
    std::string reason; // empty when loaded

    bool operator==(const LibraryStatus&) const = default;
};

// "loaded", "missing", "not-a-library" or "incomplete".
const char* LibraryStateName(LibraryStatus::State state);

// Where the library is looked for, in order, for an executable in
// `executableDir` (ending in "/"): the administrator's place, which no package
// writes; beside the executable (a build tree; nothing is shipped there); when
// the executable is installed in <prefix>/lib/tesmaro/, the stand-in suite's
// own <prefix>/lib/korvane-sim/; the library search path (the bare name).
std::vector<std::string> DefaultLibraryPlaces(const std::string& executableDir);

// Binds the queue library to libKV_VB32.so at run time. The places are tried
// in order and the first that holds a file decides: a file that does not load
// or lacks a function is reported, never passed over for a later place. An
// entry without a "/" is a name for the library search path. When nothing is
// bound every call answers as if the suite were not running: 0 from each
// function, so batches simply wait.
//
// While unbound, the places are tried again when the suite is asked for, at
// most once a minute, so a library installed later is taken without a
// restart; each change of status goes to the observer. A bound library stays
// in use until the process ends. Not thread-safe: one thread calls it.
class QueueLibraryBinding final : public QueueLibrary {
public:
    static constexpr const char* kLibraryName = "libKV_VB32.so";
    static constexpr const char* kAdministratorPlace = "/usr/local/lib/tesmaro/libKV_VB32.so";
    static constexpr std::chrono::seconds kRetryPeriod{60};
    using Now = std::function<std::chrono::steady_clock::time_point()>;
    using Observer = std::function<void(const LibraryStatus&)>;

    // Loads from the default places.
    QueueLibraryBinding();
    // Loads exactly the given file (or name on the search path).
    explicit QueueLibraryBinding(const std::string& libraryPath);
    // Looks in `places`, in order; `now` times the retries.
    QueueLibraryBinding(std::vector<std::string> places, Now now);
    ~QueueLibraryBinding() override;
    QueueLibraryBinding(const QueueLibraryBinding&) = delete;
    QueueLibraryBinding& operator=(const QueueLibraryBinding&) = delete;

    // True when the library was loaded and all four functions were found.
    bool IsBound() const { return m_handle != nullptr; }
    const LibraryStatus& Status() const { return m_status; }
    // Told every later change of the status.
    void SetObserver(Observer observer) { m_observer = std::move(observer); }

    int IsKorvaneRunning() override;
    int GetNumberOfQueueItems() override;
    int QueueControl(int code) override;
    int QueueSampleBatch(const std::string& path, int a, int b, int c, int flags) override;

private:
    void Load();
    LibraryStatus LoadFrom(const std::string& place);
    // True when bound, after a retry when one is due.
    bool Ready();

    std::vector<std::string> m_places;
    Now m_now;
    Observer m_observer;
    std::chrono::steady_clock::time_point m_lastTry{};
    LibraryStatus m_status;
    // The file that last failed to bind (device, inode, size, change times);
    // all zero when none did.
    using FileIdentity = std::array<long long, 7>;
    FileIdentity m_failedFile{};
    void* m_handle = nullptr;
    int (*m_isRunning)() = nullptr;
    int (*m_itemCount)() = nullptr;
    int (*m_control)(int) = nullptr;
    int (*m_submit)(const char*, int, int, int, int) = nullptr;
};

// The directory of the running executable, ending in "/"; empty when unknown.
std::string ExecutableDirectory();

} // namespace external
