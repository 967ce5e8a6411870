#include "platform/ExecutablePath.h"

#include <unistd.h>

#include <array>
#include <climits>

namespace platform {

std::string ExecutablePath() {
    std::array<char, PATH_MAX> buffer{};
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    // readlink fills the whole buffer when the path is longer: treat that as unknown.
    if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size())
        return {};
    return std::string(buffer.data(), static_cast<std::size_t>(n));
}

} // namespace platform
