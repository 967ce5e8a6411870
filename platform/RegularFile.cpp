#include "platform/RegularFile.h"

#include "platform/ReadLease.h"

#include <fcntl.h>

#include <cerrno>

namespace platform {

namespace {

// Closes the descriptor and reports the given error, whatever the close did.
int FailWith(FileHandle& file, int error) {
    file.Close();
    errno = error;
    return -1;
}

} // namespace

int OpenRegularFile(FileOps& ops, const std::string& path, struct stat* st) {
    struct stat before {};
    if (ops.Lstat(path.c_str(), &before) != 0)
        return -1;
    if (S_ISLNK(before.st_mode)) {
        errno = ELOOP;
        return -1;
    }
    if (!S_ISREG(before.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    FileHandle file(ops, ops.Open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
    if (!file.IsOpen())
        return -1;
    struct stat opened {};
    if (ops.Fstat(file.Get(), &opened) != 0)
        return FailWith(file, errno);
    if (!S_ISREG(opened.st_mode) || opened.st_dev != before.st_dev ||
        opened.st_ino != before.st_ino)
        return FailWith(file, EINVAL);
    if (st != nullptr)
        *st = opened;
    return file.Release();
}

int OpenUnshared(FileOps& ops, const std::string& path) {
    FileHandle file(ops, OpenRegularFile(ops, path));
    if (!file.IsOpen())
        return -1;
    bool writerActive = false;
    {
        ReadLease lease(ops, file.Get());
        writerActive = lease.WriterActive();
    }
    if (writerActive)
        return FailWith(file, EBUSY);
    return file.Release();
}

} // namespace platform
