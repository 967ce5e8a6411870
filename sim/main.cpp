// korvane-sim: the simulated instrument suite, and its client commands.

#include "platform/FileDescriptor.h"
#include "sim/CallLog.h"
#include "sim/SimClient.h"
#include "sim/SimOptions.h"
#include "sim/SimServer.h"
#include "sim/SimSuite.h"
#include "sim/SocketOwnership.h"
#include "sim/SocketPath.h"

#include <signal.h>
#include <sys/signalfd.h>

#include <cstdio>
#include <ctime>
#include <iostream>

namespace {

constexpr std::chrono::seconds kClientTimeout{2};

double WallSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::optional<int> Ask(const std::string& socket, sim::Verb verb, int value = 0) {
    sim::Request request;
    request.verb = verb;
    request.value = value;
    return sim::AskSuite(socket, request, sim::Deadline::In(kClientTimeout));
}

int NotRunning(const std::string& socket) {
    std::cout << "korvane-sim is not running (socket " << socket << ")\n";
    return 1;
}

int RunClient(const sim::SimOptions& options, const std::string& socket) {
    switch (options.command) {
    case sim::Command::Status: {
        const auto count = Ask(socket, sim::Verb::Count);
        if (!count)
            return NotRunning(socket);
        std::cout << "korvane-sim is running with " << *count << " items in its queue (socket "
                  << socket << ")\n";
        return 0;
    }
    case sim::Command::AddForeign: {
        const auto count = Ask(socket, sim::Verb::Foreign, options.foreignItems);
        if (!count)
            return NotRunning(socket);
        std::cout << "added " << options.foreignItems << " foreign items; " << *count
                  << " items in the queue\n";
        return 0;
    }
    case sim::Command::Quit:
        if (!Ask(socket, sim::Verb::Quit))
            return NotRunning(socket);
        std::cout << "korvane-sim is stopping\n";
        return 0;
    default:
        return 2;
    }
}

// SIGTERM, SIGINT and SIGHUP end the loop cleanly through a descriptor; a
// signal ignored by whoever started us stays ignored.
int StopSignalFd() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&set, sig);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0)
        return -1;
    return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

int Serve(const sim::SimOptions& options, const std::string& socket) {
    signal(SIGPIPE, SIG_IGN);
    const platform::FileDescriptor stop(StopSignalFd());
    std::string error;
    sim::CallLog log;
    if (!stop.IsValid()) {
        std::cerr << "korvane-sim: cannot watch for signals\n";
        return 1;
    }
    if (!options.logPath.empty() && !log.Open(options.logPath, &error)) {
        std::cerr << "korvane-sim: " << error << "\n";
        return 1;
    }
    sim::SocketOwnership ownership(socket);
    if (!ownership.Take(&error)) {
        std::cerr << "korvane-sim: " << error << "\n";
        return 1;
    }
    sim::SuiteOptions suiteOptions;
    suiteOptions.itemTime = options.itemTime;
    suiteOptions.writeResults = !options.noResults;
    suiteOptions.refuseAll = options.refuseAll;
    sim::SimSuite suite(suiteOptions, log, WallSeconds);
    sim::SimServer server(suite, ownership.ListenFd(), options.stall);
    std::cout << "korvane-sim: serving " << socket << ", "
              << std::chrono::duration<double>(options.itemTime).count() << " s per item"
              << std::endl;
    server.Run(stop.Get());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    const auto options = sim::ParseOptions(args, &error);
    if (!options) {
        std::cerr << "korvane-sim: " << error << "\n" << sim::UsageText();
        return 2;
    }
    if (options->command == sim::Command::Help) {
        std::cout << sim::UsageText();
        return 0;
    }
    const std::string socket = sim::DefaultSocketPath(options->socketPath);
    if (options->command == sim::Command::Serve)
        return Serve(*options, socket);
    return RunClient(*options, socket);
}
