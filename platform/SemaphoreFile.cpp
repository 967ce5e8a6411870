#include "platform/SemaphoreFile.h"

#include <fcntl.h>

#include <cerrno>

namespace platform {

bool CreateSemaphoreFile(FileOps& ops, const std::string& path) {
    // O_EXCL leaves whatever is already there alone, a dangling link included.
    FileHandle file(
        ops, ops.Open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK, 0666));
    if (!file.IsOpen())
        return errno == EEXIST;
    file.Close();
    return true;
}

bool DeleteSemaphoreFile(FileOps& ops, const std::string& path) {
    return ops.Unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool MakeDirectory(FileOps& ops, const std::string& path) {
    return ops.Mkdir(path.c_str(), 0777) == 0;
}

} // namespace platform
