#pragma once

#include "platform/FileOps.h"

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct statx;

namespace testsupport {

// An in-memory file system for crash-consistency tests, in the manner of the
// tools from the literature (ALICE, CrashMonkey) that cut the power after each
// file-system call of a program and then check what the program makes of what
// is left on the disk.
//
// It keeps two states. The volatile view is what the calls see. The durable
// state is what a power loss leaves, and it only ever changes at an Fsync:
//  - Fsync of a regular file makes its content and attributes durable. A file
//    that was never synced is durable empty, once a name of it is.
//  - Fsync of a directory makes its entries (name -> file) durable, all of
//    them as they are now: new names, removed names, replaced names. A file or
//    directory that first becomes durable this way is durable empty.
//  - So a new file needs the Fsync of its directory, an Unlink the Fsync of its
//    directory, a Mkdir the Fsync of the parent.
//  - A Rename changes two directories, and each becomes durable at its own
//    Fsync, independently. Flushing only the destination leaves the file under
//    both names after a crash (one file, two links); flushing only the source
//    leaves it under neither: the worst a file system that orders nothing
//    between directories can do. The journalling file systems commonly in use
//    write a rename as one unit and never lose both names, so a program that
//    survives this model survives them; a program that flushes the source
//    before the destination is caught.
// Crash() then replaces the volatile view by the durable state. Files no
// durable name leads to are gone.
//
// Limits: an Fsync is atomic (a cut never tears one, and no write ever reaches
// the disk without one); there are no permissions, symbolic links, hard links
// made by a caller, holes or access times; paths that do not start with "/"
// are taken from "/". Directories renamed into each other's old places may
// form a loop in the durable state, which real file systems rule out; after a
// crash a directory durable under two names keeps the first one found, in
// name order from "/", for "..".
//
// The cut: every FileOps call below counts as one call, whether it succeeds or
// fails, before the cut and after it: Open, Read, Write, Fsync, Close, Fstat,
// Lstat, Rename, Unlink, Mkdir, SetLease, GetLease, Lseek, Ftruncate,
// Futimens, ReadDirectory and ReadDirectoryPart (one call however many
// names it visits), LinkUnnamed, SetAttribute, RemoveAttribute,
// GetAttribute, Statx, Flock, Fchmod, Fchown and Readlink. The helpers
// (scenario set-up and inspection) and the MemoryFinder do not count and
// ignore the cut.
//
// Every call and helper may be used from several threads at once.
class CrashFileOps final : public platform::FileOps {
public:
    // Whether a helper's change is made durable at once.
    enum class Durability { Committed, Volatile };

    // An empty root "/" on one file system, durable.
    CrashFileOps();

    // -- Scenario set-up and inspection; not calls, so never counted or cut.

    // Makes `mountPoint` (missing parents made, committed) the durable, empty
    // root of a separate file system with a device of its own. False when the
    // name is taken.
    bool AddFileSystem(const std::string& mountPoint);
    // Gives the file system whose root is `mountPoint` ("/" for the first) a
    // new device number, as a remount may. False when no file system is rooted
    // there.
    bool SetDevice(const std::string& mountPoint, dev_t device);
    // Gives every file and directory, in both states, a new inode number that
    // no file had before, as a remount of a file system in user space does.
    // Open descriptors stay usable.
    void RenumberInodes();
    // Sets the clock's seconds. Each time stamp also takes the next value of a
    // nanosecond counter, so no two stamps are equal.
    void SetTime(std::int64_t seconds);
    // False models a file system without birth times: Statx leaves STATX_BTIME
    // out of stx_mask and stx_btime zero.
    void SetBirthTimes(bool recorded);

    // Writes a regular file, replacing its content; missing parent directories
    // are made. Committed makes the file's content and every name leading to
    // it durable, and nothing else. False when a component is not a directory
    // or the path names a directory.
    bool WriteFile(const std::string& path, std::string_view content,
                   Durability durability = Durability::Committed);
    // Makes a directory and its missing parents (mode 0755); Committed makes
    // every name on the way durable. False when a component is not a directory.
    bool MakeDirectories(const std::string& path, Durability durability = Durability::Committed);
    // The volatile content of a regular file; nullopt when there is none.
    std::optional<std::string> ReadFile(const std::string& path) const;
    bool Exists(const std::string& path) const;
    // The names in a directory in byte order, without "." and ".."; empty when
    // it is not one.
    std::vector<std::string> List(const std::string& dir) const;
    // The absolute path of an existing entry with "." and ".." resolved (what
    // realpath gives where there are no links); nullopt when it does not exist.
    std::optional<std::string> Canonical(const std::string& path) const;
    // What Statx of the path reports; false (errno set) when it cannot.
    bool Describe(const std::string& path, struct statx& out) const;

    // -- Power.

    // Makes the whole volatile view durable now.
    void Commit();
    // Power loss and reboot: the volatile view becomes the durable state, every
    // open descriptor becomes invalid (EBADF; numbers are never reused), and a
    // cut ends.
    void Crash();
    // The power goes off after the `calls`-th call counted from now (0: now):
    // every later call fails with EIO and changes nothing, until Crash().
    void CutAfter(std::uint64_t calls);
    // True once the cut is reached, until Crash().
    bool PoweredOff() const;
    // The calls made since construction.
    std::uint64_t Calls() const;

    // -- The FileOps calls.

    // Flags: O_RDONLY, O_WRONLY, O_RDWR, O_CREAT, O_EXCL, O_TRUNC, O_APPEND,
    // O_DIRECTORY and O_PATH (a handle that allows only Fstat, Statx, Close
    // and use as a directory for Statx; other calls give EBADF, as on Linux).
    // O_NOFOLLOW, O_NONBLOCK and O_CLOEXEC change nothing. O_TMPFILE fails with
    // EOPNOTSUPP, as on a file system without unnamed files.
    int Open(const char* path, int flags, mode_t mode = 0) override;
    ssize_t Read(int fd, void* buf, size_t count) override;
    ssize_t Write(int fd, const void* buf, size_t count) override;
    int Fsync(int fd) override;
    int Close(int fd) override;
    int Fstat(int fd, struct stat* st) override;
    int Lstat(const char* path, struct stat* st) override;
    // EXDEV between file systems, EBUSY for a file system's root.
    int Rename(const char* from, const char* to) override;
    int Unlink(const char* path) override;
    int Mkdir(const char* path, mode_t mode) override;
    // Always granted, and never broken: there is no other process to open the
    // file. GetLease gives the type last set on the descriptor, F_UNLCK when
    // none was.
    int SetLease(int fd, int type) override;
    int GetLease(int fd) override;
    // SEEK_SET, SEEK_CUR and SEEK_END; SEEK_DATA and SEEK_HOLE give EINVAL.
    off_t Lseek(int fd, off_t offset, int whence) override;
    int Ftruncate(int fd, off_t length) override;
    int Futimens(int fd, const struct timespec times[2]) override;
    // ".", ".." and then the names in byte order, read when the call is made,
    // so that `visit` may itself make calls.
    int ReadDirectory(int fd, const std::function<void(const char* name)>& visit) override;
    // EOPNOTSUPP: there are no unnamed files.
    int LinkUnnamed(int fd, const char* to) override;
    // ENOTSUP once the descriptor or path is found: no extended attributes.
    int SetAttribute(int fd, const char* name, const void* value, size_t size) override;
    int RemoveAttribute(int fd, const char* name) override;
    ssize_t GetAttribute(const char* path, const char* name, void* value, size_t size) override;
    // AT_FDCWD is "/"; AT_EMPTY_PATH with "" describes `dirFd` itself. The
    // mask asked for is ignored: STATX_BASIC_STATS always, STATX_BTIME too
    // unless birth times are off.
    int Statx(int dirFd, const char* path, int flags, unsigned mask, struct statx* out) override;
    // Always granted.
    int Flock(int fd, int operation) override;
    int Fchmod(int fd, mode_t mode) override;
    int Fchown(int fd, uid_t owner, gid_t group) override;
    // EINVAL for whatever exists: there are no symbolic links.
    ssize_t Readlink(const char* path, char* buf, size_t size) override;
    // ".", ".." and then the names in byte order, each part going on after
    // the last name the one before visited, so that names removed or added
    // meanwhile never make another name missed or repeated. Read when the
    // call is made, so that `visit` may itself make calls.
    int ReadDirectoryPart(int fd, const std::function<void(const char* name)>& visit,
                          int maxEntries) override;

private:
    using Key = std::uint64_t; // which file, stable across renumbering

    struct Node {
        bool directory = false;
        std::size_t fileSystem = 0;
        std::uint64_t inode = 0;
        mode_t mode = 0; // permission bits
        uid_t uid = 0;
        gid_t gid = 0;
        std::uint64_t links = 0; // names leading to it
        timespec atime{}, mtime{}, ctime{}, btime{};
        std::string data;
        std::map<std::string, Key> entries;
        Key parent = 0; // directories: the one ".." leads to
    };
    struct Descriptor {
        Key node;
        int flags;
        // A directory read in parts: 1 or 2 once "." or ".." is visited, 3
        // once `after`, the last name visited, is.
        off_t offset;
        int lease;
        std::string after;
    };
    // Where a path leads: the directory holding its last component and the
    // entry itself (0 when missing).
    struct Walk {
        int error = 0;
        Key parent = 0;
        std::string name;
        Key node = 0;
    };

    // Counts a call; false, with errno EIO, once the power is off.
    bool Tick();
    // The clock's time, with the next nanosecond stamp.
    timespec Now();
    Walk Resolve(Key start, std::string_view path) const;
    const Node& Live(Key key) const { return m_live.find(key)->second; }
    Node& Live(Key key) { return m_live.find(key)->second; }
    Key Create(Key dir, const std::string& name, bool directory, mode_t mode);
    void Touch(Key key, bool content);
    Descriptor* Find(int fd, bool openFile);
    int NewDescriptor(Key node, int flags);
    void Sync(Key key);
    void MakeEntryDurable(Key dir, const std::string& name);
    Key EnsureDirectories(std::string_view path, Durability durability);
    std::uint64_t LinkCount(const Node& node) const;
    void FillStat(const Node& node, struct stat& st) const;
    void FillStatx(const Node& node, struct statx& out) const;

    mutable std::mutex m_mutex;
    std::map<Key, Node> m_live;
    std::map<Key, Node> m_durable;
    std::map<int, Descriptor> m_descriptors;
    std::vector<dev_t> m_devices; // by file system
    std::vector<Key> m_roots;     // by file system
    Key m_nextKey = 1;
    std::uint64_t m_nextInode = 2;
    int m_nextDescriptor = 1000;
    std::int64_t m_seconds = 1'700'000'000;
    std::uint64_t m_stamps = 0;
    bool m_birthTimes = true;
    std::uint64_t m_calls = 0;
    std::optional<std::uint64_t> m_cutAt;
};

} // namespace testsupport
