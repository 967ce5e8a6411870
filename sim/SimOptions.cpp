#include "sim/SimOptions.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace sim {
namespace {

std::optional<std::chrono::nanoseconds> ParseSeconds(const std::string& text) {
    if (text.empty())
        return std::nullopt;
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(seconds) || seconds < 0 ||
        seconds > kMaxItemSeconds)
        return std::nullopt;
    return std::chrono::nanoseconds(std::llround(seconds * 1e9));
}

std::optional<int> ParseCount(const std::string& text) {
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < 1 || value > kMaxForeignItems)
        return std::nullopt;
    return value;
}

} // namespace

std::optional<SimOptions> ParseOptions(const std::vector<std::string>& args, std::string* error) {
    SimOptions options;
    bool commandSeen = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::optional<std::string> inlineValue;
        if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
            inlineValue = arg.substr(arg.find('=') + 1);
            arg = arg.substr(0, arg.find('='));
        }
        const auto value = [&]() -> std::optional<std::string> {
            if (inlineValue)
                return inlineValue;
            if (i + 1 < args.size())
                return args[++i];
            return std::nullopt;
        };
        const auto flag = [&](bool& target) {
            target = true;
            return !inlineValue;
        };
        bool ok = true;
        if (arg == "--socket" || arg == "--log") {
            const auto v = value();
            ok = v && !v->empty();
            if (ok)
                (arg == "--socket" ? options.socketPath : options.logPath) = *v;
        } else if (arg == "--item-seconds" || arg == "--stall-seconds") {
            const auto v = value();
            const auto time = v ? ParseSeconds(*v) : std::nullopt;
            ok = time.has_value();
            if (ok)
                (arg == "--item-seconds" ? options.itemTime : options.stall) = *time;
        } else if (arg == "--no-results") {
            ok = flag(options.noResults);
        } else if (arg == "--refuse-all") {
            ok = flag(options.refuseAll);
        } else if (arg == "--help" || arg == "-h") {
            options.command = Command::Help;
            return options;
        } else if (!commandSeen && (arg == "status" || arg == "quit")) {
            options.command = arg == "status" ? Command::Status : Command::Quit;
            commandSeen = true;
        } else if (!commandSeen && arg == "add-foreign") {
            const auto count = i + 1 < args.size() ? ParseCount(args[++i]) : std::nullopt;
            ok = count.has_value();
            if (ok)
                options.foreignItems = *count;
            options.command = Command::AddForeign;
            commandSeen = true;
        } else {
            *error = "unexpected argument: " + args[i];
            return std::nullopt;
        }
        if (!ok) {
            *error = "missing or invalid value for " + arg;
            return std::nullopt;
        }
    }
    return options;
}

std::string UsageText() {
    return "Usage: korvane-sim [--socket PATH] [--log FILE] [--item-seconds S] [--no-results]\n"
           "                   [--refuse-all] [--stall-seconds S]\n"
           "       korvane-sim [--socket PATH] status | add-foreign N | quit\n"
           "\n"
           "Without a command, runs the simulated instrument suite in the foreground until\n"
           "SIGTERM or SIGINT. The socket defaults to $KORVANE_SIM_SOCKET, else\n"
           "$XDG_RUNTIME_DIR/korvane-sim.sock, else /tmp/korvane-sim-<uid>.sock.\n"
           "  --log FILE         append one JSON line per call and finished batch\n"
           "  --item-seconds S   time each queue item takes (default 1; 0 and fractions allowed)\n"
           "  --no-results       write no result files\n"
           "  --refuse-all       refuse every batch\n"
           "  --stall-seconds S  take S seconds over each call before answering it, as a\n"
           "                     busy suite may (default 0)\n"
           "  status             tell whether the suite runs, and its item count\n"
           "  add-foreign N      add N items nobody submitted (1 to 1000000)\n"
           "  quit               stop the suite\n";
}

} // namespace sim
