#include "app/launcher/WorkFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace launcher {

namespace {

std::string Join(const std::string& dir, const std::string& name) {
    if (!dir.empty() && dir.back() == '/')
        return dir + name;
    return dir + "/" + name;
}

std::string Because(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

} // namespace

HomeChoice ChooseHome(const char* homeVariable, const char* accountHome) {
    if (homeVariable != nullptr && *homeVariable != '\0') {
        if (*homeVariable != '/')
            return {{}, std::string("HOME is not an absolute path: ") + homeVariable};
        return {homeVariable, {}};
    }
    if (accountHome != nullptr && *accountHome == '/')
        return {accountHome, {}};
    return {{}, "no home directory: HOME is not set and the account has no absolute home"};
}

WorkFolder::WorkFolder(int fd, std::string path, std::string error)
    : m_fd(fd), m_path(std::move(path)), m_error(std::move(error)) {}

WorkFolder WorkFolder::Open(const std::string& home, const std::string& name, uid_t owner) {
    const std::string path = Join(home, name);
    const auto fail = [&path](std::string why) { return WorkFolder(-1, path, std::move(why)); };

    // The home directory itself may be reached through a link (/home on
    // another disk); the folder inside it may not.
    const int homeFd = open(home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (homeFd < 0)
        return fail(Because("cannot open the home directory " + home, errno));
    const platform::FileDescriptor homeCloser(homeFd);

    if (mkdirat(homeFd, name.c_str(), 0700) != 0 && errno != EEXIST)
        return fail(Because("cannot create " + path, errno));
    const int fd = openat(homeFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == ELOOP)
            return fail(path + " is a symbolic link; make it a folder of its own");
        if (error == ENOTDIR)
            return fail(path + " is not a folder");
        return fail(Because("cannot open " + path, error));
    }
    WorkFolder folder(fd, path, {});

    struct stat homeStat {};
    struct stat own {};
    if (fstat(homeFd, &homeStat) != 0 || fstat(fd, &own) != 0)
        return fail(Because("cannot inspect " + path, errno));
    if (own.st_dev == homeStat.st_dev && own.st_ino == homeStat.st_ino)
        return fail(path + " is the home directory itself");
    if (own.st_uid != owner)
        return fail(path + " belongs to another user");
    return folder;
}

std::string ProgramBeside(const std::string& selfPath, const std::string& name) {
    const std::size_t slash = selfPath.rfind('/');
    if (slash == std::string::npos)
        return name;
    return selfPath.substr(0, slash + 1) + name;
}

} // namespace launcher
