#pragma once

#include "external/QueueLibrary.h"

#include <string>

namespace external {

// Binds the queue library to libKV_VB32.so at run time. The library is looked
// for beside the running executable first, then on the library search path.
// When it or any of its four functions is missing, every call answers as if the
// suite were not running: 0 from each function, so batches simply wait.
class QueueLibraryBinding final : public QueueLibrary {
public:
    static constexpr const char* kLibraryName = "libKV_VB32.so";

    // Loads from the default places.
    QueueLibraryBinding();
    // Loads exactly the given file (tests, or a library installed elsewhere).
    explicit QueueLibraryBinding(const std::string& libraryPath);
    ~QueueLibraryBinding() override;
    QueueLibraryBinding(const QueueLibraryBinding&) = delete;
    QueueLibraryBinding& operator=(const QueueLibraryBinding&) = delete;

    // True when the library was loaded and all four functions were found.
    bool IsBound() const { return m_bound; }

    int IsKorvaneRunning() override;
    int GetNumberOfQueueItems() override;
    int QueueControl(int code) override;
    int QueueSampleBatch(const std::string& path, int a, int b, int c, int flags) override;

private:
    void Bind(void* handle);

    void* m_handle = nullptr;
    bool m_bound = false;
    int (*m_isRunning)() = nullptr;
    int (*m_itemCount)() = nullptr;
    int (*m_control)(int) = nullptr;
    int (*m_submit)(const char*, int, int, int, int) = nullptr;
};

// The directory of the running executable, ending in "/"; empty when unknown.
std::string ExecutableDirectory();

} // namespace external
