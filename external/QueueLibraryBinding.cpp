#include "external/QueueLibraryBinding.h"

#include "platform/ExecutablePath.h"
#include "platform/Path.h"

#include <dlfcn.h>

namespace external {

std::string ExecutableDirectory() {
    return platform::SplitPath(platform::ExecutablePath()).dir;
}

QueueLibraryBinding::QueueLibraryBinding() {
    void* handle = nullptr;
    const std::string dir = ExecutableDirectory();
    if (!dir.empty())
        handle = dlopen(platform::MakePath(dir, kLibraryName).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr)
        handle = dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL);
    Bind(handle);
}

QueueLibraryBinding::QueueLibraryBinding(const std::string& libraryPath) {
    Bind(dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL));
}

QueueLibraryBinding::~QueueLibraryBinding() {
    if (m_handle != nullptr)
        dlclose(m_handle);
}

template <typename Fn> static Fn Resolve(void* handle, const char* name) {
    return reinterpret_cast<Fn>(dlsym(handle, name));
}

void QueueLibraryBinding::Bind(void* handle) {
    m_handle = handle;
    if (handle == nullptr)
        return;
    m_isRunning = Resolve<decltype(m_isRunning)>(handle, "IsKorvaneRunning");
    m_itemCount = Resolve<decltype(m_itemCount)>(handle, "GetNumberOfQueueItems");
    m_control = Resolve<decltype(m_control)>(handle, "QueueControl");
    m_submit = Resolve<decltype(m_submit)>(handle, "QueueSampleBatch");
    m_bound = m_isRunning && m_itemCount && m_control && m_submit;
}

int QueueLibraryBinding::IsKorvaneRunning() {
    return m_bound ? m_isRunning() : 0;
}

int QueueLibraryBinding::GetNumberOfQueueItems() {
    return m_bound ? m_itemCount() : 0;
}

int QueueLibraryBinding::QueueControl(int code) {
    return m_bound ? m_control(code) : 0;
}

int QueueLibraryBinding::QueueSampleBatch(const std::string& path, int a, int b, int c, int flags) {
    return m_bound ? m_submit(path.c_str(), a, b, c, flags) : 0;
}

} // namespace external
