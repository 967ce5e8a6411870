#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace sim {

enum class Command { Serve, Status, AddForeign, Quit, Help };

// The command line of korvane-sim.
struct SimOptions {
    Command command = Command::Serve;
    std::string socketPath; // empty: the default rule
    std::string logPath;
    std::chrono::nanoseconds itemTime = std::chrono::seconds(1);
    std::chrono::nanoseconds stall{0}; // taken over each call before its answer
    bool noResults = false;
    bool refuseAll = false;
    int foreignItems = 0;
};

constexpr double kMaxItemSeconds = 1e6;
constexpr int kMaxForeignItems = 1'000'000;

// Empty, with a reason, when the arguments (without the program name) are wrong.
std::optional<SimOptions> ParseOptions(const std::vector<std::string>& args, std::string* error);

std::string UsageText();

} // namespace sim
