#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace app {

// The help file of the suite, looked for in the program's own directory.
inline constexpr const char* kHelpFileName = "Korvane.chm";

// The help file's path for the given executable path: its directory, then the
// help file's name. Nothing when the path is empty, has no directory, or is too
// long for a path.
std::optional<std::string> HelpFileFor(const std::string& executablePath);

// Opens the help file in a viewer program. The viewer is looked for on the
// first request only; when none is found the failure is remembered and every
// later request does nothing, silently.
class HelpLauncher {
public:
    // Finds a viewer program; nothing when there is none.
    using ViewerLocator = std::function<std::optional<std::string>()>;
    // Starts a program with arguments, without a shell and without waiting.
    using ProgramStarter =
        std::function<bool(const std::string& program, const std::vector<std::string>& args)>;

    HelpLauncher();
    HelpLauncher(ViewerLocator locate, ProgramStarter start);

    // True when a viewer was started on the file.
    bool Open(const std::string& helpFile);

private:
    ViewerLocator m_locate;
    ProgramStarter m_start;
    bool m_looked = false;
    std::optional<std::string> m_viewer;
};

// Looks through the executable search path for a viewer of compiled help
// files, and then for the desktop's generic opener.
std::optional<std::string> FindHelpViewer();

// Starts a program detached from this process: no shell, and the child is
// reaped by the system, never left as a zombie.
bool StartDetached(const std::string& program, const std::vector<std::string>& args);

} // namespace app
