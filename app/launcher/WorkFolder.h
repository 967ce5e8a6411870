#pragma once

#include "platform/FileDescriptor.h"

#include <sys/types.h>

#include <string>

namespace launcher {

// The directory that holds the user's Tesmaro folder, or why there is none.
struct HomeChoice {
    std::string dir;
    std::string error;
};

// HOME when it is an absolute path; when HOME is unset or empty, the account's
// home directory from the user database. A relative HOME is refused rather
// than taken relative to wherever the launcher happens to be started.
HomeChoice ChooseHome(const char* homeVariable, const char* accountHome);

// The per-user folder Tesmaro works in, open as a directory. Created (0700) on
// first use; never the home directory itself, never reached through a symbolic
// link, and only when it belongs to the user who starts Tesmaro.
class WorkFolder {
public:
    static WorkFolder Open(const std::string& home, const std::string& name, uid_t owner);

    WorkFolder(WorkFolder&& other) noexcept = default;
    WorkFolder& operator=(WorkFolder&&) = delete;
    WorkFolder(const WorkFolder&) = delete;

    bool IsOpen() const { return m_fd.IsValid(); }
    int Descriptor() const { return m_fd.Get(); }
    const std::string& Path() const { return m_path; }
    // What went wrong, for the user; empty when the folder is open.
    const std::string& Error() const { return m_error; }

private:
    WorkFolder(int fd, std::string path, std::string error);

    platform::FileDescriptor m_fd;
    std::string m_path;
    std::string m_error;
};

// The program named `name` in the directory of the executable `selfPath`.
std::string ProgramBeside(const std::string& selfPath, const std::string& name);

} // namespace launcher
