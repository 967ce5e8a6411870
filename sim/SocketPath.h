#pragma once

#include <functional>
#include <string>

#include <sys/types.h>

namespace sim {

// Environment lookup, replaceable in tests; null or empty means unset.
using EnvLookup = std::function<const char*(const char*)>;

// Where the suite's socket lives: the explicit path when one is given, else
// $KORVANE_SIM_SOCKET, else $XDG_RUNTIME_DIR/korvane-sim.sock, else
// /tmp/korvane-sim-<uid>.sock. Daemon, client commands and queue library all
// follow this rule, so they meet without configuration.
std::string ResolveSocketPath(const std::string& explicitPath, const EnvLookup& env, uid_t uid);

// The same rule with the process environment and real user id.
std::string DefaultSocketPath(const std::string& explicitPath = {});

} // namespace sim
