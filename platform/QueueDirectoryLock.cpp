#include "platform/QueueDirectoryLock.h"

#include "platform/Path.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

namespace platform {

namespace {

constexpr const char* kLockName = "lock";
constexpr const char* kLockMagic = "tesmaro-lock";
constexpr std::size_t kLockTextLimit = 512;

// Who holds a lock, as its file says.
struct Holder {
    std::string host;
    std::string boot;
    long pid = 0;
    unsigned long long start = 0;
    std::uint64_t token = 0;
    std::uint64_t beat = 0;
    // How long its holder may stay silent beyond the usual (a long viewer wait).
    std::int64_t quiet = 0;
};

std::string ReadSmallFile(const char* path) {
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    return text;
}

std::string HostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "-";
    std::string host(name);
    for (char& c : host)
        if (c == ' ' || c == '\n')
            c = '_';
    return host;
}

std::string BootId() {
    const std::string id = ReadSmallFile("/proc/sys/kernel/random/boot_id");
    return id.empty() || id.find(' ') != std::string::npos ? "-" : id;
}

// The start time of a process in clock ticks after boot, from /proc; 0 when unknown.
unsigned long long ProcessStart(long pid) {
    const std::string stat = ReadSmallFile(("/proc/" + std::to_string(pid) + "/stat").c_str());
    // The command name may hold blanks and parentheses: fields count from the last ')'.
    const auto close = stat.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i)
        if (i == 22)
            return std::strtoull(field.c_str(), nullptr, 10);
    return 0;
}

// True while the process that wrote the lock on this machine still runs:
// the id exists and, where /proc tells, it started when the holder did.
bool ProcessAlive(const Holder& holder) {
    if (holder.pid <= 0 || holder.pid > INT_MAX)
        return false;
    if (kill(static_cast<pid_t>(holder.pid), 0) != 0 && errno != EPERM)
        return false;
    const unsigned long long start = ProcessStart(holder.pid);
    return start == 0 || holder.start == 0 || start == holder.start;
}

bool ParseHolder(const std::string& text, Holder& holder) {
    std::istringstream in(text);
    std::string magic;
    int version = 0;
    if (!(in >> magic >> version >> holder.host >> holder.boot >> holder.pid >> holder.start >>
          holder.token) ||
        magic != kLockMagic || version != 1)
        return false;
    // Written by every version that beats; a day at most, whatever it says.
    if (in >> holder.beat >> holder.quiet)
        holder.quiet = std::clamp<std::int64_t>(holder.quiet, 0, std::int64_t{24} * 3600);
    else
        holder.quiet = 0;
    return true;
}

std::int64_t SteadyNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

QueueDirectoryLock::QueueDirectoryLock(FileOps& ops, std::function<std::int64_t()> steadySeconds)
    : m_ops(ops), m_steady(steadySeconds ? std::move(steadySeconds) : SteadyNow) {
    std::random_device random;
    m_token = (static_cast<std::uint64_t>(random()) << 32) ^ random();
}

QueueDirectoryLock::~QueueDirectoryLock() {
    Release();
}

QueueDirectoryLock::State QueueDirectoryLock::Hold(const std::string& dir) {
    m_error = 0;
    // O_NONBLOCK: a FIFO planted under the name is refused as not a directory
    // and never waited on.
    struct stat st {};
    const int fresh = m_ops.Open(dir.empty() ? "." : dir.c_str(),
                                 O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    const bool opened = fresh >= 0 && m_ops.Fstat(fresh, &st) == 0;
    if (fresh >= 0)
        m_ops.Close(fresh);
    if (!opened) {
        // Another Tesmaro may take over the directory that was ours meanwhile.
        Release();
        return m_state = State::Unavailable;
    }
    if (!m_aimed || st.st_dev != m_dirDevice || st.st_ino != m_dirInode) {
        Release();
        m_aimed = true;
        m_dir = dir;
        m_dirDevice = st.st_dev;
        m_dirInode = st.st_ino;
        m_folder = MakePath(dir, kQueueFolderName);
        m_lockPath = MakePath(m_folder, kLockName);
        m_seenText.clear();
        if (!OpenFolder(st))
            return m_state = State::Unwritable;
        return m_state = TryTake();
    }
    if (m_fd >= 0) {
        if (StillOurs()) {
            Beat();
            return m_state = State::Held;
        }
        // Our lock file was removed or replaced: someone else may hold it now.
        m_ops.Close(m_fd);
        m_fd = -1;
    }
    if (!OpenFolder(st))
        return m_state = State::Unwritable;
    return m_state = TryTake();
}

void QueueDirectoryLock::Release() {
    if (m_fd >= 0) {
        if (StillOurs())
            m_ops.Unlink(m_lockPath.c_str());
        // Closing the only descriptor of the lock file drops its kernel lock.
        m_ops.Close(m_fd);
        m_fd = -1;
    }
    m_aimed = false;
    m_state = State::Unavailable;
}

bool QueueDirectoryLock::OpenFolder(const struct stat& queue) {
    struct stat st {};
    const int fd = OpenOwnFolder(m_ops, m_folder, queue, st);
    if (fd < 0) {
        m_error = errno;
        return false;
    }
    m_ops.Close(fd);
    m_fileMode = 0600 | (st.st_mode & 0060);
    return true;
}

QueueDirectoryLock::State QueueDirectoryLock::TryTake() {
    // Read-write where we may: network file systems grant an exclusive kernel
    // lock only on a file open for writing.
    int fd = m_ops.Open(m_lockPath.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && (errno == EACCES || errno == EROFS))
        fd = m_ops.Open(m_lockPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return CreateOwn();
        m_error = errno;
        // A link under the lock's name, or a lock file we may not read.
        return State::HeldByOther;
    }
    const State judged = JudgeOther(fd);
    m_ops.Close(fd);
    return judged;
}

std::string QueueDirectoryLock::OwnText() const {
    static const std::string host = HostName();
    static const std::string boot = BootId();
    static const unsigned long long start = ProcessStart(getpid());
    return std::string(kLockMagic) + " 1 " + host + " " + boot + " " + std::to_string(getpid()) +
           " " + std::to_string(start) + " " + std::to_string(m_token) + " " +
           std::to_string(m_beat) + " " + std::to_string(m_longestSilence) + "\n";
}

QueueDirectoryLock::State QueueDirectoryLock::CreateOwn() {
    const int fd = m_ops.Open(m_lockPath.c_str(),
                              O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, m_fileMode);
    if (fd < 0) {
        m_error = errno;
        // Made by someone else just now: judged on the next Hold.
        return errno == EEXIST ? State::HeldElsewhere : State::Unwritable;
    }
    m_ops.Fchmod(fd, m_fileMode);
    // Where the file system has kernel locks, a holder that dies lets go at once.
    m_ops.Flock(fd, LOCK_EX | LOCK_NB);
    const std::string text = OwnText();
    struct stat st {};
    // On disk before it counts, so that a lock file left by a power cut names
    // its holder and is taken over at once after the reboot.
    if (m_ops.Write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        m_ops.Fsync(fd) != 0 || m_ops.Fstat(fd, &st) != 0) {
        m_error = errno != 0 ? errno : EIO;
        m_ops.Unlink(m_lockPath.c_str());
        m_ops.Close(fd);
        return State::Unwritable;
    }
    return Own(fd, st.st_ino);
}

QueueDirectoryLock::State QueueDirectoryLock::JudgeOther(int fd) {
    struct stat st {};
    if (m_ops.Fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        m_error = EINVAL;
        return State::HeldByOther;
    }
    std::string text(kLockTextLimit, '\0');
    const ssize_t got = m_ops.Read(fd, text.data(), text.size());
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    Holder holder;
    const bool tesmaro = ParseHolder(text, holder);
    const State held = tesmaro ? State::HeldElsewhere : State::HeldByOther;

    // On this mount the kernel lock tells whether its holder lives. Once got,
    // it is kept until the caller closes the descriptor, after any takeover,
    // and the file must still be the one under the lock's name: of several
    // Tesmaros that judge one lock stale at once, only one takes it over.
    // Otherwise a Tesmaro that judged the old file could rename aside the
    // fresh lock of one that had just taken it over, and while it put that
    // back a third found the name free and made its own: two holders at once.
    bool kernelFree = false;
    if (m_ops.Flock(fd, LOCK_EX | LOCK_NB) == 0) {
        struct stat named {};
        if (m_ops.Lstat(m_lockPath.c_str(), &named) != 0 || named.st_dev != st.st_dev ||
            named.st_ino != st.st_ino)
            return held; // replaced meanwhile: judged anew on the next Hold
        kernelFree = true;
    } else if (errno == EWOULDBLOCK) {
        return held;
    }
    if (tesmaro && holder.host == HostName() && holder.boot == BootId() && holder.boot != "-") {
        // Held on this machine: our own process holds its kernel lock while it
        // holds, and another process is looked up.
        if (holder.pid == getpid()) {
            // Our own token: this object let go of it (the directory was away
            // for a moment), whatever the kernel lock says where it cannot be had.
            if (!kernelFree && holder.token != m_token)
                return State::HeldElsewhere;
            // Taken again through a descriptor of its own, whose kernel lock
            // this one's would refuse.
            m_ops.Flock(fd, LOCK_UN);
            return TakeOverOwn();
        }
        return ProcessAlive(holder) ? State::HeldElsewhere : TakeOverStale(text);
    }
    if (tesmaro && holder.host == HostName() && holder.boot != BootId())
        return TakeOverStale(text); // left before the last reboot
    // Another host, or a file that is no lock of ours: alive while it changes.
    const std::int64_t now = m_steady();
    if (text != m_seenText || m_seenSince > now) {
        m_seenText = text;
        m_seenSince = now;
        return held;
    }
    if (now - m_seenSince < kStaleSeconds + (tesmaro ? holder.quiet : 0))
        return held;
    return TakeOverStale(text);
}

QueueDirectoryLock::State QueueDirectoryLock::TakeOverStale(const std::string& judged) {
    // Renamed aside first: of several that judged it stale, one rename wins,
    // and a fresh lock made meanwhile by another is put back untouched.
    const std::string aside =
        m_lockPath + ".stale-" + std::to_string(getpid()) + "-" + std::to_string(++m_counter);
    if (m_ops.Rename(m_lockPath.c_str(), aside.c_str()) != 0)
        return State::HeldElsewhere;
    std::string text(kLockTextLimit, '\0');
    const int fd = m_ops.Open(aside.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const ssize_t got = fd >= 0 ? m_ops.Read(fd, text.data(), text.size()) : -1;
    if (fd >= 0)
        m_ops.Close(fd);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    if (got < 0 || text != judged) {
        m_ops.Rename(aside.c_str(), m_lockPath.c_str());
        return State::HeldElsewhere;
    }
    m_ops.Unlink(aside.c_str());
    m_seenText.clear();
    return CreateOwn();
}

QueueDirectoryLock::State QueueDirectoryLock::TakeOverOwn() {
    // A lock this process made and let go of (its holder lost sight of it for
    // a moment): taken again in place. Two holders in this process exclude
    // each other through the kernel lock, whatever the file system.
    const int fd = m_ops.Open(m_lockPath.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd < 0)
        return State::HeldElsewhere;
    const std::string text = OwnText();
    const bool kernelLockRefused = m_ops.Flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    if (kernelLockRefused || m_ops.Fstat(fd, &st) != 0 || m_ops.Lseek(fd, 0, SEEK_SET) != 0 ||
        m_ops.Write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        m_ops.Ftruncate(fd, static_cast<off_t>(text.size())) != 0) {
        m_ops.Close(fd);
        return State::HeldElsewhere;
    }
    return Own(fd, st.st_ino);
}

QueueDirectoryLock::State QueueDirectoryLock::Own(int fd, ino_t inode) {
    m_fd = fd;
    m_lockInode = inode;
    m_lastBeat = m_steady();
    ++m_generation;
    return State::Held;
}

bool QueueDirectoryLock::StillHeld() {
    return m_state == State::Held && m_fd >= 0 && StillOurs();
}

bool QueueDirectoryLock::StillOurs() {
    struct stat st {};
    return m_ops.Lstat(m_lockPath.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           st.st_ino == m_lockInode;
}

void QueueDirectoryLock::Beat() {
    const std::int64_t now = m_steady();
    if (now - m_lastBeat < kHeartbeatSeconds && now >= m_lastBeat)
        return;
    m_lastBeat = now;
    ++m_beat;
    const std::string text = OwnText();
    // Seen by other hosts; it need not survive a power cut.
    if (m_ops.Lseek(m_fd, 0, SEEK_SET) == 0 &&
        m_ops.Write(m_fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()))
        m_ops.Ftruncate(m_fd, static_cast<off_t>(text.size()));
}

int OpenOwnFolder(FileOps& ops, const std::string& folder, const struct stat& parent,
                  struct stat& st) {
    // The parent's group may share the folder; others never.
    const mode_t mode = 0700 | (parent.st_mode & 0070);
    const bool made = ops.Mkdir(folder.c_str(), mode) == 0;
    if (!made && errno != EEXIST)
        return -1;
    // Never a link planted under the folder's name.
    const int fd = ops.Open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOTDIR)
            errno = ELOOP;
        return -1;
    }
    if (ops.Fstat(fd, &st) != 0) {
        const int error = errno;
        ops.Close(fd);
        errno = error;
        return -1;
    }
    if (made) {
        // Files made in the folder inherit its group where the group may write.
        if (st.st_gid != parent.st_gid)
            ops.Fchown(fd, static_cast<uid_t>(-1), parent.st_gid);
        const mode_t wanted = mode | ((parent.st_mode & 0020) != 0 ? S_ISGID : 0);
        if (ops.Fchmod(fd, wanted) == 0)
            st.st_mode = (st.st_mode & ~07777) | wanted;
    }
    return fd;
}

} // namespace platform
