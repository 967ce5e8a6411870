#include "platform/DurableMove.h"

#include "platform/DurableWrite.h"
#include "platform/Path.h"
#include "platform/QueueDirectoryLock.h"
#include "platform/ReadLease.h"
#include "platform/RegularFile.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

namespace {

constexpr std::size_t kCopyBlock = std::size_t{64} * 1024;
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

// Errors of an O_TMPFILE open that mean the file system makes no unnamed files.
bool NoUnnamedFiles(int error) {
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

// A path that names the directory part of a split path itself, whatever links
// lead to it: "." is never a link, so the kernel resolves the whole directory.
std::string DirectoryItself(const std::string& dir) {
    return dir.empty() ? std::string(".") : dir + ".";
}

// True when the file carries our mark with its own name: made by a move of ours.
bool MarkedAsOurs(FileOps& ops, const std::string& path, const std::string& name) {
    char mark[kMaxNameBytes + 1];
    const ssize_t length = ops.GetAttribute(path.c_str(), kCopyOwnerAttribute, mark, sizeof mark);
    return length >= 0 && std::string_view(mark, static_cast<std::size_t>(length)) == name;
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
    Placement placed = Placement::Failed;
    for (const bool unnamed : {true, false}) {
        std::string tempPath;
        FileHandle copy(m_ops, MakeCopy(sourceFd, source, to, unnamed, tempPath));
        if (!copy.IsOpen())
            return MoveResult::Failed;
        placed = tempPath.empty() ? PlaceUnnamed(copy, to) : PlaceNamed(copy, tempPath, to);
        // Unnamed files are made here but cannot be named: copy again under a name.
        if (placed != Placement::Unnameable || m_ops.Lseek(sourceFd, 0, SEEK_SET) != 0)
            break;
    }
    if (placed == Placement::Failed || placed == Placement::Unnameable)
        return MoveResult::Failed;

    // The target is whole from here on; the source goes only when the copy and
    // its name are on disk, nobody has started writing it meanwhile, and its
    // name still names the file that was copied (not a newcomer, and not the
    // copy itself when both names lead to the same directory).
    if (placed == Placement::InPlaceUnsure || !SyncDirectory(m_ops, SplitPath(to).dir) ||
        lease.Broken())
        return MoveResult::CopiedSourceKept;
    struct stat now {};
    if (m_ops.Lstat(from.c_str(), &now) != 0 || !SameFile(now, source))
        return MoveResult::CopiedSourceKept;
    if (m_ops.Unlink(from.c_str()) != 0)
        return MoveResult::CopiedSourceKept;
    return MoveResult::Moved;
}

int DurableMove::MakeCopy(int sourceFd, const struct stat& source, const std::string& to,
                          bool unnamed, std::string& tempPath) {
    const mode_t mode = source.st_mode & 0777;
    int fd = -1;
    if (unnamed) {
        fd = m_ops.Open(DirectoryItself(SplitPath(to).dir).c_str(),
                        O_WRONLY | O_TMPFILE | O_CLOEXEC, mode);
        if (fd < 0 && !NoUnnamedFiles(errno))
            return -1;
    }
    if (fd < 0)
        fd = CreateTemporary(to, mode, tempPath);
    FileHandle copy(m_ops, fd);
    if (!copy.IsOpen())
        return -1;
    bool copied = CopyContents(sourceFd, copy.Get());
    if (copied) {
        // The copy keeps the source's times, as a copy of a finished batch should.
        const timespec times[2] = {source.st_atim, source.st_mtim};
        m_ops.Futimens(copy.Get(), times);
        copied = m_ops.Fsync(copy.Get()) == 0;
    }
    if (!copied) {
        copy.Close();
        if (!tempPath.empty())
            m_ops.Unlink(tempPath.c_str());
        tempPath.clear();
        return -1;
    }
    return copy.Release();
}

DurableMove::Placement DurableMove::PlaceNamed(FileHandle& copy, const std::string& tempPath,
                                               const std::string& to) {
    if (copy.Close() != 0 || m_ops.Rename(tempPath.c_str(), to.c_str()) != 0) {
        m_ops.Unlink(tempPath.c_str());
        return Placement::Failed;
    }
    return Placement::InPlace;
}

DurableMove::Placement DurableMove::PlaceUnnamed(FileHandle& copy, const std::string& to) {
    // A free target's name is given at once; a link never replaces a file, so
    // an existing target is replaced by a rename from a temporary name.
    if (m_ops.LinkUnnamed(copy.Get(), to.c_str()) != 0) {
        if (errno == ENOENT)
            return Placement::Unnameable;
        std::string tempPath;
        bool marked = false;
        if (errno != EEXIST || !LinkTemporary(copy.Get(), to, tempPath, marked))
            return Placement::Failed;
        if (m_ops.Rename(tempPath.c_str(), to.c_str()) != 0) {
            m_ops.Unlink(tempPath.c_str());
            return Placement::Failed;
        }
        // Under the target's name the mark has no use; where it stays, its
        // value (the temporary name) still tells the file from a leftover.
        if (marked)
            m_ops.RemoveAttribute(copy.Get(), kCopyOwnerAttribute);
    }
    return copy.Close() == 0 ? Placement::InPlace : Placement::InPlaceUnsure;
}

std::string DurableMove::OwnFolder(const std::string& dir) {
    // Only a folder on the target's own file system: the copy must be renamed
    // from there onto the target.
    struct stat parent {};
    if (m_ops.Lstat(DirectoryItself(dir).c_str(), &parent) != 0)
        return {};
    std::string folder = MakePath(dir, kQueueFolderName);
    struct stat st {};
    FileHandle opened(m_ops, OpenOwnFolder(m_ops, folder, parent, st));
    if (!opened.IsOpen() || st.st_dev != parent.st_dev)
        return {};
    return folder;
}

int DurableMove::CreateTemporary(const std::string& to, mode_t mode, std::string& tempPath) {
    const SplitParts parts = SplitPath(to);
    const auto nextName = [&] { return TemporaryCopyName(parts.name, getpid(), ++m_tempCounter); };
    // Whatever keeps the copy out of our folder (a folder of another user
    // that we may not write, say), the target's directory may still take it.
    const std::string folder = OwnFolder(parts.dir);
    if (!folder.empty()) {
        const int fd = CreateExclusive(m_ops, folder, nextName, mode, tempPath);
        if (fd >= 0)
            return fd;
    }
    const int fd = CreateExclusive(m_ops, parts.dir, nextName, mode, tempPath);
    if (fd >= 0) {
        // Without extended attributes the copy stays unmarked, and a leftover
        // of it is never swept.
        const std::string name = SplitPath(tempPath).name;
        m_ops.SetAttribute(fd, kCopyOwnerAttribute, name.data(), name.size());
    }
    return fd;
}

bool DurableMove::LinkTemporary(int copyFd, const std::string& to, std::string& tempPath,
                                bool& marked) {
    const SplitParts parts = SplitPath(to);
    const std::string folder = OwnFolder(parts.dir);
    for (const bool beside : {false, true}) {
        if (!beside && folder.empty())
            continue;
        marked = beside;
        for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
            const std::string name = TemporaryCopyName(parts.name, getpid(), ++m_tempCounter);
            tempPath = MakePath(beside ? parts.dir : folder, name);
            if (beside)
                m_ops.SetAttribute(copyFd, kCopyOwnerAttribute, name.data(), name.size());
            if (m_ops.LinkUnnamed(copyFd, tempPath.c_str()) == 0)
                return true;
            if (errno != EEXIST)
                break;
        }
    }
    tempPath.clear();
    return false;
}

bool DurableMove::CopyContents(int sourceFd, int targetFd) {
    // Only the data extents are copied, each to its own place; the holes
    // between them stay holes in the copy, and its length is set at the end.
    off_t at = 0;
    for (;;) {
        const off_t data = m_ops.Lseek(sourceFd, at, SEEK_DATA);
        if (data < 0 && errno == ENXIO)
            break;    // only a hole (or nothing) is left
        if (data < 0) // no hole search here (the position stays): copy the rest as it reads
            return CopyRange(sourceFd, targetFd, at, -1);
        const off_t hole = m_ops.Lseek(sourceFd, data, SEEK_HOLE);
        if (hole < 0 || m_ops.Lseek(sourceFd, data, SEEK_SET) != data ||
            m_ops.Lseek(targetFd, data, SEEK_SET) != data)
            return false;
        at = data;
        if (!CopyRange(sourceFd, targetFd, at, hole))
            return false;
        if (at < hole)
            return true; // the source ended early
    }
    const off_t size = m_ops.Lseek(sourceFd, 0, SEEK_END);
    if (size < 0)
        return false;
    struct stat copied {};
    if (m_ops.Fstat(targetFd, &copied) != 0)
        return false;
    return copied.st_size >= size || m_ops.Ftruncate(targetFd, size) == 0;
}

bool DurableMove::CopyRange(int sourceFd, int targetFd, off_t& at, off_t end) {
    std::vector<char> buf(kCopyBlock);
    while (end < 0 || at < end) {
        const std::size_t want = end < 0 ? buf.size()
                                         : static_cast<std::size_t>(std::min<off_t>(
                                               end - at, static_cast<off_t>(buf.size())));
        const ssize_t got = m_ops.Read(sourceFd, buf.data(), want);
        if (got == 0)
            return true;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (!WriteAll(m_ops, targetFd, buf.data(), static_cast<std::size_t>(got)))
            return false;
        at += got;
    }
    return true;
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

InterruptedCopySweep::InterruptedCopySweep(FileOps& ops, std::string dest)
    : m_ops(ops), m_dest(std::move(dest)) {}

InterruptedCopySweep::~InterruptedCopySweep() {
    if (m_fd >= 0)
        m_ops.Close(m_fd);
}

InterruptedCopySweep::Progress InterruptedCopySweep::Step(int maxEntries) {
    const long self = getpid();
    std::vector<std::string> leftovers;
    const auto judge = [&](const char* entry) {
        long pid = 0;
        if (entry[0] != '.')
            return;
        std::string name = entry;
        if (IsTemporaryCopyName(name, &pid) && (pid == self || !ProcessAlive(pid)))
            leftovers.push_back(std::move(name));
    };
    // Every read counts against the budget, so a step ends however many
    // names the directories hold; where no name is left the next stage starts
    // in the same step.
    for (int budget = std::max(maxEntries, 1); budget > 0 && m_stage != Stage::Done;) {
        if (m_fd < 0 && !OpenStage()) {
            NextStage();
            continue;
        }
        leftovers.clear();
        const int read = m_ops.ReadDirectoryPart(m_fd, judge, budget);
        // Names visited before a failure are judged all the same.
        if (!RemoveLeftovers(leftovers) || read <= 0) {
            NextStage();
            continue;
        }
        budget -= read;
    }
    return m_stage == Stage::Done ? Progress::Done : Progress::Working;
}

bool InterruptedCopySweep::OpenStage() {
    m_dir = m_stage == Stage::Folder ? MakePath(m_dest, kQueueFolderName) : m_dest;
    m_fd = m_ops.Open(m_dir.empty() ? "." : m_dir.c_str(),
                      O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (m_fd < 0 || m_ops.Fstat(m_fd, &st) != 0)
        return false;
    m_device = st.st_dev;
    m_inode = st.st_ino;
    return true;
}

void InterruptedCopySweep::NextStage() {
    if (m_fd >= 0)
        m_ops.Close(m_fd);
    m_fd = -1;
    m_stage = m_stage == Stage::Folder ? Stage::Destination : Stage::Done;
}

bool InterruptedCopySweep::RemoveLeftovers(const std::vector<std::string>& names) {
    if (names.empty())
        return true;
    // Leftovers are removed by path: the directory read must still be the
    // one under its name (not replaced, nor a link planted since).
    struct stat dir {};
    if (m_ops.Lstat(m_dir.empty() ? "." : m_dir.c_str(), &dir) != 0 || dir.st_dev != m_device ||
        dir.st_ino != m_inode)
        return false;
    const bool inFolder = m_stage == Stage::Folder;
    for (const std::string& name : names) {
        const std::string path = MakePath(m_dir, name);
        struct stat st {};
        if (m_ops.Lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            (inFolder || MarkedAsOurs(m_ops, path, name)) && m_ops.Unlink(path.c_str()) == 0)
            ++m_removed;
    }
    return true;
}

int RemoveInterruptedCopies(FileOps& ops, const std::string& dir) {
    constexpr int kPart = 4096;
    InterruptedCopySweep sweep(ops, dir);
    while (sweep.Step(kPart) == InterruptedCopySweep::Progress::Working) {
    }
    return sweep.Removed();
}

} // namespace platform
