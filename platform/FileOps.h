#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <functional>

struct statx;

namespace platform {

// The file-system calls that the engine's file work goes through. Each one
// behaves like the system call of the same name: -1 with errno set on failure.
// Tests derive from SystemFileOps to make single steps fail (ENOSPC, EIO,
// EACCES, EXDEV ...) and check that nothing is lost or left half done.
class FileOps {
public:
    virtual ~FileOps() = default;
    virtual int Open(const char* path, int flags, mode_t mode = 0) = 0;
    virtual ssize_t Read(int fd, void* buf, size_t count) = 0;
    virtual ssize_t Write(int fd, const void* buf, size_t count) = 0;
    virtual int Fsync(int fd) = 0;
    virtual int Close(int fd) = 0;
    virtual int Fstat(int fd, struct stat* st) = 0;
    // Describes the path itself, never the target of a symbolic link.
    virtual int Lstat(const char* path, struct stat* st) = 0;
    virtual int Rename(const char* from, const char* to) = 0;
    virtual int Unlink(const char* path) = 0;
    virtual int Mkdir(const char* path, mode_t mode) = 0;
    // fcntl F_SETLEASE and F_GETLEASE.
    virtual int SetLease(int fd, int type) = 0;
    virtual int GetLease(int fd) = 0;
    // lseek, with SEEK_DATA and SEEK_HOLE where the file system has them.
    virtual off_t Lseek(int fd, off_t offset, int whence) = 0;
    virtual int Ftruncate(int fd, off_t length) = 0;
    // futimens: sets the access and modification times of an open file.
    virtual int Futimens(int fd, const struct timespec times[2]) = 0;
    // Calls `visit` with the name of each entry of the directory open on `fd`
    // ("." and ".." included), as fdopendir, readdir and closedir do together.
    // Takes the descriptor over and closes it, also when it fails; names
    // visited before a failure stay visited.
    virtual int ReadDirectory(int fd, const std::function<void(const char* name)>& visit) = 0;
    // Gives a file opened with O_TMPFILE the name `to`; EEXIST when the name
    // is taken (an existing file is never replaced).
    virtual int LinkUnnamed(int fd, const char* to) = 0;
    // Extended attributes: set and remove through a descriptor, read from a
    // path itself (never through a symbolic link).
    virtual int SetAttribute(int fd, const char* name, const void* value, size_t size) = 0;
    virtual int RemoveAttribute(int fd, const char* name) = 0;
    virtual ssize_t GetAttribute(const char* path, const char* name, void* value, size_t size) = 0;
    // statx relative to `dirFd` (or AT_FDCWD), with the caller's flags and mask.
    virtual int Statx(int dirFd, const char* path, int flags, unsigned mask, struct statx* out) = 0;
    // flock on an open descriptor.
    virtual int Flock(int fd, int operation) = 0;
    // fchmod and fchown on an open descriptor; -1 leaves an id as it is.
    virtual int Fchmod(int fd, mode_t mode) = 0;
    virtual int Fchown(int fd, uid_t owner, gid_t group) = 0;
    // readlink: the target of the symbolic link at `path`, not terminated;
    // the count of bytes placed in `buf`. ENOSYS where a stand-in has no links.
    virtual ssize_t Readlink(const char* path, char* buf, size_t size);
    // Reads on through the directory open on `fd` from where the last call
    // stopped, calling `visit` for at most `maxEntries` names ("." and ".."
    // included), and leaves the descriptor open for the next part. The count
    // of names visited, 0 at the end, -1 on failure. ENOSYS where a stand-in
    // cannot read a directory in parts.
    virtual int ReadDirectoryPart(int fd, const std::function<void(const char* name)>& visit,
                                  int maxEntries);
};

// The real calls. Stateless, so one shared instance serves every caller.
class SystemFileOps : public FileOps {
public:
    int Open(const char* path, int flags, mode_t mode = 0) override;
    ssize_t Read(int fd, void* buf, size_t count) override;
    ssize_t Write(int fd, const void* buf, size_t count) override;
    int Fsync(int fd) override;
    int Close(int fd) override;
    int Fstat(int fd, struct stat* st) override;
    int Lstat(const char* path, struct stat* st) override;
    int Rename(const char* from, const char* to) override;
    int Unlink(const char* path) override;
    int Mkdir(const char* path, mode_t mode) override;
    int SetLease(int fd, int type) override;
    int GetLease(int fd) override;
    off_t Lseek(int fd, off_t offset, int whence) override;
    int Ftruncate(int fd, off_t length) override;
    int Futimens(int fd, const struct timespec times[2]) override;
    int ReadDirectory(int fd, const std::function<void(const char* name)>& visit) override;
    int LinkUnnamed(int fd, const char* to) override;
    int SetAttribute(int fd, const char* name, const void* value, size_t size) override;
    int RemoveAttribute(int fd, const char* name) override;
    ssize_t GetAttribute(const char* path, const char* name, void* value, size_t size) override;
    int Statx(int dirFd, const char* path, int flags, unsigned mask, struct statx* out) override;
    int Flock(int fd, int operation) override;
    int Fchmod(int fd, mode_t mode) override;
    int Fchown(int fd, uid_t owner, gid_t group) override;
    ssize_t Readlink(const char* path, char* buf, size_t size) override;
    int ReadDirectoryPart(int fd, const std::function<void(const char* name)>& visit,
                          int maxEntries) override;
};

// The shared instance of the real calls.
FileOps& DefaultFileOps();

// A descriptor opened through a FileOps, closed through it when the owner goes.
class FileHandle {
public:
    FileHandle(FileOps& ops, int fd) : m_ops(&ops), m_fd(fd) {}
    ~FileHandle() { Close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    int Get() const { return m_fd; }
    bool IsOpen() const { return m_fd >= 0; }
    // Closes now and reports the close's own result (0 or -1 with errno).
    int Close();
    // Gives the descriptor up to the caller, who closes it.
    int Release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    FileOps* m_ops;
    int m_fd;
};

} // namespace platform
