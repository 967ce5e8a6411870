#include "platform/DurableMove.h"

#include "platform/Path.h"
#include "platform/ReadLease.h"
#include "platform/RegularFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string_view>
#include <vector>

namespace platform {

namespace {

constexpr std::size_t kCopyBlock = 64 * 1024;
constexpr int kTemporaryAttempts = 100;
constexpr std::string_view kPartMark = ".part-";
// The longest name one directory entry holds.
constexpr std::size_t kMaxNameBytes = NAME_MAX;

bool AllDigits(std::string_view text) {
    return !text.empty() && text.size() <= 18 &&
           text.find_first_not_of("0123456789") == std::string_view::npos;
}

// True while a process with this id exists (also another user's).
bool ProcessAlive(long pid) {
    return pid > 0 && pid <= INT_MAX && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A path that names the directory part of a split path itself, whatever links
// lead to it: "." is never a link, so the kernel resolves the whole directory.
std::string DirectoryItself(const std::string& dir) {
    return dir.empty() ? std::string(".") : dir + ".";
}

} // namespace

MoveResult DurableMove::operator()(const std::string& from, const std::string& to) {
    // What is not a regular file is not ours to move.
    struct stat st {};
    FileHandle source(m_ops, OpenRegularFile(m_ops, from, &st));
    if (!source.IsOpen()) {
        if (errno == EACCES || errno == EPERM)
            return RenameUnreadable(from, to);
        return MoveResult::Failed;
    }

    // Held for the whole move: a writer that comes meanwhile waits for it.
    ReadLease lease(m_ops, source.Get());
    if (lease.WriterActive())
        return MoveResult::SourceBusy;

    MoveResult settled{};
    if (SettledByTarget(from, to, st, settled))
        return settled;
    if (m_ops.Rename(from.c_str(), to.c_str()) == 0)
        return MoveResult::Moved;
    if (errno != EXDEV)
        return MoveResult::Failed;
    return CopyAcross(source.Get(), st, from, to, lease);
}

MoveResult DurableMove::RenameUnreadable(const std::string& from, const std::string& to) {
    // Another user's file that we may not read can still be renamed where the
    // directory lets us. Without a descriptor no lease can be taken, so the
    // move goes on without that guard; it still never takes a link or
    // anything but a regular file.
    struct stat st {};
    if (m_ops.Lstat(from.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return MoveResult::Failed;
    MoveResult settled{};
    if (SettledByTarget(from, to, st, settled))
        return settled;
    // A copy would have to read the file: across file systems it stays.
    if (m_ops.Rename(from.c_str(), to.c_str()) == 0)
        return MoveResult::Moved;
    return MoveResult::Failed;
}

DurableMove::Target DurableMove::ExamineTarget(const std::string& from, const std::string& to,
                                               const struct stat& source) {
    struct stat target {};
    if (m_ops.Lstat(to.c_str(), &target) != 0)
        return errno == ENOENT || errno == ENOTDIR ? Target::Elsewhere : Target::Unknown;
    if (!SameFile(target, source))
        return Target::Elsewhere;
    // A file with one link has no second name: both paths reach one entry.
    if (source.st_nlink < 2)
        return Target::SameEntry;
    // Nor when both paths end in the same name in one directory, reached by two
    // routes (a bind mount, a linked directory): removing the source name
    // would remove the target with it.
    const SplitParts a = SplitPath(from);
    const SplitParts b = SplitPath(to);
    if (a.name != b.name)
        return Target::OtherName;
    struct stat dirA {};
    struct stat dirB {};
    if (m_ops.Lstat(DirectoryItself(a.dir).c_str(), &dirA) != 0 ||
        m_ops.Lstat(DirectoryItself(b.dir).c_str(), &dirB) != 0)
        return Target::Unknown;
    return SameFile(dirA, dirB) ? Target::SameEntry : Target::OtherName;
}

bool DurableMove::SettledByTarget(const std::string& from, const std::string& to,
                                  const struct stat& source, MoveResult& result) {
    // rename(2) between two names of one file does nothing and reports success,
    // which would leave the source name behind for ever: the target already is
    // the file, so it is filed once the source name goes.
    switch (ExamineTarget(from, to, source)) {
    case Target::OtherName:
        result = m_ops.Unlink(from.c_str()) == 0 ? MoveResult::Moved : MoveResult::Failed;
        return true;
    case Target::Unknown:
        result = MoveResult::Failed;
        return true;
    case Target::Elsewhere:
    case Target::SameEntry:
        break;
    }
    return false;
}

MoveResult DurableMove::CopyAcross(int sourceFd, const struct stat& source, const std::string& from,
                                   const std::string& to, const ReadLease& lease) {
    std::string tempPath;
    FileHandle temp(m_ops, CreateTemporary(to, source.st_mode & 0777, tempPath));
    if (!temp.IsOpen())
        return MoveResult::Failed;

    bool copied = CopyContents(sourceFd, temp.Get());
    if (copied) {
        // The copy keeps the source's times, as a copy of a finished batch should.
        const timespec times[2] = {source.st_atim, source.st_mtim};
        futimens(temp.Get(), times);
        copied = m_ops.Fsync(temp.Get()) == 0;
    }
    copied = temp.Close() == 0 && copied;
    if (!copied || m_ops.Rename(tempPath.c_str(), to.c_str()) != 0) {
        m_ops.Unlink(tempPath.c_str());
        return MoveResult::Failed;
    }

    // The target is whole from here on; the source goes only when the rename is
    // on disk, nobody has started writing it meanwhile, and its name still
    // names the file that was copied (not a newcomer, and not the copy itself
    // when both names lead to the same directory).
    if (!SyncDirectoryOf(to) || lease.Broken())
        return MoveResult::CopiedSourceKept;
    struct stat now {};
    if (m_ops.Lstat(from.c_str(), &now) != 0 || !SameFile(now, source))
        return MoveResult::CopiedSourceKept;
    if (m_ops.Unlink(from.c_str()) != 0)
        return MoveResult::CopiedSourceKept;
    return MoveResult::Moved;
}

int DurableMove::CreateTemporary(const std::string& to, mode_t mode, std::string& tempPath) {
    const SplitParts parts = SplitPath(to);
    for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
        tempPath = MakePath(parts.dir, TemporaryCopyName(parts.name, getpid(), ++m_tempCounter));
        const int fd = m_ops.Open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

bool DurableMove::CopyContents(int sourceFd, int targetFd) {
    std::vector<char> buf(kCopyBlock);
    for (;;) {
        const ssize_t got = m_ops.Read(sourceFd, buf.data(), buf.size());
        if (got == 0)
            return true;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = m_ops.Write(targetFd, buf.data() + done, got - done);
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0)
                return false;
            done += put;
        }
    }
}

bool DurableMove::SyncDirectoryOf(const std::string& path) {
    std::string dir = SplitPath(path).dir;
    if (dir.empty())
        dir = ".";
    FileHandle handle(m_ops, m_ops.Open(dir.c_str(), O_RDONLY | O_DIRECTORY));
    if (!handle.IsOpen())
        return false;
    const bool synced = m_ops.Fsync(handle.Get()) == 0;
    return handle.Close() == 0 && synced;
}

std::string TemporaryCopyName(const std::string& targetName, long pid, unsigned counter) {
    const std::string suffix =
        std::string(kPartMark) + std::to_string(pid) + "-" + std::to_string(counter);
    // A target name near the limit would otherwise give a temporary name that
    // no directory can hold, and the move could never succeed.
    const std::size_t room = kMaxNameBytes - 1 - suffix.size();
    return "." + targetName.substr(0, room) + suffix;
}

bool IsTemporaryCopyName(const std::string& name, long* pid) {
    if (name.size() < 2 || name[0] != '.')
        return false;
    const auto mark = name.rfind(kPartMark);
    if (mark == std::string::npos || mark < 1)
        return false;
    const std::string_view rest = std::string_view(name).substr(mark + kPartMark.size());
    const auto dash = rest.find('-');
    if (dash == std::string_view::npos || !AllDigits(rest.substr(0, dash)) ||
        !AllDigits(rest.substr(dash + 1)))
        return false;
    if (pid != nullptr)
        *pid = std::stol(std::string(rest.substr(0, dash)));
    return true;
}

int RemoveInterruptedCopies(FileOps& ops, const std::string& dir) {
    const int fd =
        ops.Open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return 0;
    DIR* stream = fdopendir(fd);
    if (stream == nullptr) {
        ops.Close(fd);
        return 0;
    }
    std::vector<std::string> leftovers;
    while (const dirent* entry = readdir(stream)) {
        long pid = 0;
        const std::string name = entry->d_name;
        if (IsTemporaryCopyName(name, &pid) && (pid == getpid() || !ProcessAlive(pid)))
            leftovers.push_back(name);
    }
    closedir(stream);
    int removed = 0;
    for (const std::string& name : leftovers) {
        const std::string path = MakePath(dir, name);
        struct stat st {};
        if (ops.Lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ops.Unlink(path.c_str()) == 0)
            ++removed;
    }
    return removed;
}

} // namespace platform
