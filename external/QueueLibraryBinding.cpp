#include "external/QueueLibraryBinding.h"

#include "platform/ExecutablePath.h"
#include "platform/Path.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <string_view>
#include <sys/stat.h>

namespace external {

std::string ExecutableDirectory() {
    return platform::SplitPath(platform::ExecutablePath()).dir;
}

const char* LibraryStateName(LibraryStatus::State state) {
    switch (state) {
    case LibraryStatus::State::Loaded:
        return "loaded";
    case LibraryStatus::State::Missing:
        return "missing";
    case LibraryStatus::State::NotALibrary:
        return "not-a-library";
    case LibraryStatus::State::Incomplete:
        return "incomplete";
    }
    return "unknown";
}

std::vector<std::string> DefaultLibraryPlaces(const std::string& executableDir) {
    using Binding = QueueLibraryBinding;
    std::vector<std::string> places{Binding::kAdministratorPlace};
    if (!executableDir.empty()) {
        places.push_back(executableDir + Binding::kLibraryName);
        // Installed, the executable lies in <prefix>/lib/tesmaro/ and the
        // stand-in's library in <prefix>/lib/korvane-sim/. Only then: a folder
        // beside some other executable's may belong to anyone.
        static constexpr std::string_view kPrivate = "/lib/tesmaro/";
        if (executableDir.ends_with(kPrivate))
            places.push_back(executableDir.substr(0, executableDir.size() - kPrivate.size()) +
                             "/lib/korvane-sim/" + Binding::kLibraryName);
    }
    places.emplace_back(Binding::kLibraryName);
    std::vector<std::string> unique;
    for (std::string& place : places)
        if (std::find(unique.begin(), unique.end(), place) == unique.end())
            unique.push_back(std::move(place));
    return unique;
}

QueueLibraryBinding::QueueLibraryBinding()
    : QueueLibraryBinding(DefaultLibraryPlaces(ExecutableDirectory()),
                          [] { return std::chrono::steady_clock::now(); }) {}

QueueLibraryBinding::QueueLibraryBinding(const std::string& libraryPath)
    : QueueLibraryBinding(std::vector<std::string>{libraryPath},
                          [] { return std::chrono::steady_clock::now(); }) {}

QueueLibraryBinding::QueueLibraryBinding(std::vector<std::string> places, Now now)
    : m_places(std::move(places)), m_now(std::move(now)) {
    Load();
}

QueueLibraryBinding::~QueueLibraryBinding() {
    if (m_handle != nullptr)
        dlclose(m_handle);
}

void QueueLibraryBinding::Load() {
    m_lastTry = m_now();
    LibraryStatus status;
    for (const std::string& place : m_places) {
        status = LoadFrom(place);
        if (status.state != LibraryStatus::State::Missing)
            break;
    }
    m_status = std::move(status);
}

template <typename Fn> static Fn Resolve(void* handle, const char* name) {
    return reinterpret_cast<Fn>(dlsym(handle, name));
}

static std::string LoaderMessage() {
    const char* message = dlerror();
    return message != nullptr ? message : "";
}

LibraryStatus QueueLibraryBinding::LoadFrom(const std::string& place) {
    using State = LibraryStatus::State;
    const bool named = place.find('/') == std::string::npos;
    struct stat info {};
    const bool seen = !named && stat(place.c_str(), &info) == 0;
    if (!named && !seen && (errno == ENOENT || errno == ENOTDIR))
        return {State::Missing, place, std::strerror(errno)};
    // The same file that failed last time fails again: it is not loaded (and
    // its initialisers not run) once a minute for nothing.
    using Part = FileIdentity::value_type;
    const FileIdentity identity{static_cast<Part>(info.st_dev),
                                static_cast<Part>(info.st_ino),
                                static_cast<Part>(info.st_size),
                                info.st_mtim.tv_sec,
                                info.st_mtim.tv_nsec,
                                info.st_ctim.tv_sec,
                                info.st_ctim.tv_nsec};
    if (seen && place == m_status.path && identity == m_failedFile)
        return m_status;
    m_failedFile = seen ? identity : FileIdentity{};
    void* handle = dlopen(place.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::string message = LoaderMessage();
        // The loader's own words for a name it found nowhere on its path (a
        // dependency it lacks names that dependency instead).
        const bool nowhere =
            named && message.starts_with(place + ":") && message.ends_with(std::strerror(ENOENT));
        return {nowhere ? State::Missing : State::NotALibrary, place, std::move(message)};
    }
    const auto isRunning = Resolve<decltype(m_isRunning)>(handle, "IsKorvaneRunning");
    const auto itemCount = Resolve<decltype(m_itemCount)>(handle, "GetNumberOfQueueItems");
    const auto control = Resolve<decltype(m_control)>(handle, "QueueControl");
    const auto submit = Resolve<decltype(m_submit)>(handle, "QueueSampleBatch");
    const char* lacking = !isRunning   ? "IsKorvaneRunning"
                          : !itemCount ? "GetNumberOfQueueItems"
                          : !control   ? "QueueControl"
                          : !submit    ? "QueueSampleBatch"
                                       : nullptr;
    if (lacking != nullptr) {
        dlclose(handle);
        return {State::Incomplete, place, std::string("no function ") + lacking};
    }
    m_failedFile = {};
    m_handle = handle;
    m_isRunning = isRunning;
    m_itemCount = itemCount;
    m_control = control;
    m_submit = submit;
    return {State::Loaded, place, {}};
}

bool QueueLibraryBinding::Ready() {
    if (m_handle != nullptr)
        return true;
    if (m_now() - m_lastTry < kRetryPeriod)
        return false;
    const LibraryStatus before = m_status;
    Load();
    if (m_status != before && m_observer)
        m_observer(m_status);
    return m_handle != nullptr;
}

int QueueLibraryBinding::IsKorvaneRunning() {
    return Ready() ? m_isRunning() : 0;
}

int QueueLibraryBinding::GetNumberOfQueueItems() {
    return Ready() ? m_itemCount() : 0;
}

int QueueLibraryBinding::QueueControl(int code) {
    return Ready() ? m_control(code) : 0;
}

int QueueLibraryBinding::QueueSampleBatch(const std::string& path, int a, int b, int c, int flags) {
    return Ready() ? m_submit(path.c_str(), a, b, c, flags) : 0;
}

} // namespace external
