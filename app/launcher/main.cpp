// Starts Tesmaro in the user's own folder, ~/Tesmaro, created on first start,
// so that a start from the menu or by the service manager never works in the
// home directory or wherever the caller happened to be. The arguments are
// passed on; Tesmaro replaces this process, so a service manager sees one
// process and signals reach Tesmaro directly.

#include "app/launcher/WorkFolder.h"
#include "platform/ExecutablePath.h"

#include <pwd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kFolderName = "Tesmaro";
constexpr const char* kProgramName = "Tesmaro";
// Exit statuses the service unit treats as final: restarting would not help.
constexpr int kExitFolderUnusable = 78;
constexpr int kExitProgramMissing = 127;

std::string AccountHome() {
    std::array<char, 16384> buffer{};
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
        !found->pw_dir)
        return {};
    return found->pw_dir;
}

int Refuse(const std::string& why) {
    std::fprintf(stderr, "tesmaro-launcher: %s\n", why.c_str());
    return kExitFolderUnusable;
}

} // namespace

int main(int argc, char** argv) {
    const std::string accountHome = AccountHome();
    const launcher::HomeChoice home = launcher::ChooseHome(
        std::getenv("HOME"), accountHome.empty() ? nullptr : accountHome.c_str());
    if (!home.error.empty())
        return Refuse(home.error);

    const launcher::WorkFolder folder =
        launcher::WorkFolder::Open(home.dir, kFolderName, geteuid());
    if (!folder.IsOpen())
        return Refuse(folder.Error());
    if (fchdir(folder.Descriptor()) != 0)
        return Refuse("cannot enter " + folder.Path() + ": " + std::strerror(errno));
    // Programs Tesmaro starts (the result viewer) see where they are.
    setenv("PWD", folder.Path().c_str(), 1);

    const std::string self = platform::ExecutablePath();
    if (self.empty())
        return Refuse("cannot find its own location");
    const std::string program = launcher::ProgramBeside(self, kProgramName);
    std::vector<char*> args;
    args.push_back(const_cast<char*>(program.c_str()));
    for (int i = 1; i < argc; ++i)
        args.push_back(argv[i]);
    args.push_back(nullptr);
    execv(program.c_str(), args.data());
    std::fprintf(stderr, "tesmaro-launcher: cannot start %s: %s\n", program.c_str(),
                 std::strerror(errno));
    return kExitProgramMissing;
}
