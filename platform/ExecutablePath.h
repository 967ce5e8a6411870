#pragma once

#include <string>

namespace platform {

// The full path of the running executable, as the kernel records it (with
// " (deleted)" appended when the file was replaced while it runs); empty when
// it cannot be read or is longer than PATH_MAX. Reads into a fixed buffer: a
// path that does not fit is never returned cut short.
std::string ExecutablePath();

} // namespace platform
