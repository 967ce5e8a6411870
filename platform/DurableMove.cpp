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

} // namespace

MoveResult DurableMove::operator()(const std::string& from, const std::string& to) {
    // What is not a regular file is not ours to move.
    struct stat st {};
    FileHandle source(m_ops, OpenRegularFile(m_ops, from, &st));
    if (!source.IsOpen())
        return MoveResult::Failed;

    // Held for the whole move: a writer that comes meanwhile waits for it.
    ReadLease lease(m_ops, source.Get());
    if (lease.WriterActive())
        return MoveResult::SourceBusy;

    if (m_ops.Rename(from.c_str(), to.c_str()) == 0)
        return MoveResult::Moved;
    if (errno != EXDEV)
        return MoveResult::Failed;
    return CopyAcross(source.Get(), st, from, to, lease);
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
