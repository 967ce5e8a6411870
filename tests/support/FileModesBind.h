#pragma once

#include <cstdint>

namespace testsupport {

// While it lives, file permission bits bind the calling thread even when the
// tests run as the superuser: the thread's effective capabilities to override
// them are lowered, and raised again at the end. Threads started meanwhile
// inherit the lowered set. Without such capabilities it does nothing.
class FileModesBind {
public:
    FileModesBind();
    ~FileModesBind();
    FileModesBind(const FileModesBind&) = delete;
    FileModesBind& operator=(const FileModesBind&) = delete;

private:
    bool m_lowered = false;
    std::uint32_t m_effective[2] = {0, 0};
};

// True when a file with no permission bits cannot be opened by this thread:
// what a test of an inaccessible file must see before it goes on.
bool ModesBindHere(const char* scratchDir);

} // namespace testsupport
