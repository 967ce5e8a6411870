#include "sim/SocketPath.h"

#include <unistd.h>

#include <cstdlib>

namespace sim {

std::string ResolveSocketPath(const std::string& explicitPath, const EnvLookup& env, uid_t uid) {
    if (!explicitPath.empty())
        return explicitPath;
    const char* own = env("KORVANE_SIM_SOCKET");
    if (own && *own)
        return own;
    const char* runtime = env("XDG_RUNTIME_DIR");
    if (runtime && *runtime) {
        std::string dir = runtime;
        if (dir.back() != '/')
            dir.push_back('/');
        return dir + "korvane-sim.sock";
    }
    return "/tmp/korvane-sim-" + std::to_string(uid) + ".sock";
}

std::string DefaultSocketPath(const std::string& explicitPath) {
    return ResolveSocketPath(
        explicitPath, [](const char* name) { return std::getenv(name); }, getuid());
}

} // namespace sim
