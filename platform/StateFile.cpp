#include "platform/StateFile.h"

#include "platform/DurableWrite.h"
#include "platform/Path.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace platform {

namespace {

// How many numbered ".damaged" names are tried before setting aside gives up.
constexpr int kSetAsideNames = 1000;
constexpr std::size_t kReadBlock = std::size_t{16} * 1024;
constexpr const char* kVendor = "Orbinel";

constexpr std::string_view kTemporaryMark = ".tmp-";

// "<name>.tmp-<pid>-<n>", with the name cut short so that the whole fits in
// one directory entry.
std::string TemporaryName(const std::string& name, long pid, unsigned counter) {
    const std::string suffix =
        std::string(kTemporaryMark) + std::to_string(pid) + "-" + std::to_string(counter);
    return name.substr(0, NAME_MAX - suffix.size()) + suffix;
}

bool AllDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// True when `entry` is what TemporaryName gives for `name` with some digits as
// the process id and the count: the suffix starts at the last mark (digits
// hold none), and what comes before it is the name cut short for that suffix.
bool IsTemporaryName(const std::string& name, std::string_view entry) {
    const std::size_t mark = entry.rfind(kTemporaryMark);
    if (mark == std::string_view::npos)
        return false;
    const std::string_view numbers = entry.substr(mark + kTemporaryMark.size());
    const std::size_t dash = numbers.find('-');
    if (dash == std::string_view::npos || !AllDigits(numbers.substr(0, dash)) ||
        !AllDigits(numbers.substr(dash + 1)))
        return false;
    const std::size_t suffixSize = entry.size() - mark;
    return suffixSize <= NAME_MAX &&
           entry.substr(0, mark) == std::string_view(name).substr(0, NAME_MAX - suffixSize);
}

bool IsAbsolute(const char* path) {
    return path != nullptr && path[0] == '/';
}

// The home directory the user database gives the real user; empty when it
// gives none or a relative one.
std::string UserDatabaseHome() {
    const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    int rc;
    while ((rc = getpwuid_r(getuid(), &entry, buf.data(), buf.size(), &found)) == ERANGE &&
           buf.size() < (1u << 20))
        buf.resize(buf.size() * 2);
    if (rc != 0 || found == nullptr || !IsAbsolute(entry.pw_dir))
        return {};
    return entry.pw_dir;
}

} // namespace

StateFile::ReadResult StateFile::Read(std::string& content) {
    content.clear();

    // What is at the path is judged before anything opens it, so that a FIFO
    // or a device is never opened at all.
    struct stat st {};
    if (m_ops.Lstat(m_path.c_str(), &st) != 0)
        return errno == ENOENT ? ReadResult::Missing : ReadResult::Failed;
    if (!S_ISREG(st.st_mode) || static_cast<std::size_t>(st.st_size) > m_limit)
        return ReadResult::Unusable;

    // Something swapped in after the look above is caught here: a link by
    // O_NOFOLLOW, anything else by the check of what was opened. O_NONBLOCK
    // keeps a FIFO that slipped in from blocking the open.
    FileHandle file(m_ops,
                    m_ops.Open(m_path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file.IsOpen()) {
        if (errno == ENOENT)
            return ReadResult::Missing;
        return errno == ELOOP ? ReadResult::Unusable : ReadResult::Failed;
    }
    if (m_ops.Fstat(file.Get(), &st) != 0)
        return ReadResult::Failed;
    if (!S_ISREG(st.st_mode) || static_cast<std::size_t>(st.st_size) > m_limit)
        return ReadResult::Unusable;

    // At most one byte beyond the limit is read: enough to tell that the file
    // grew past it since the check of its size.
    std::string text;
    text.reserve(static_cast<std::size_t>(st.st_size));
    char buf[kReadBlock];
    for (;;) {
        const std::size_t want = std::min(sizeof buf, m_limit + 1 - text.size());
        const ssize_t got = m_ops.Read(file.Get(), buf, want);
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return ReadResult::Failed;
        }
        text.append(buf, static_cast<std::size_t>(got));
        if (text.size() > m_limit)
            return ReadResult::Unusable;
    }
    content = std::move(text);
    return ReadResult::Read;
}

bool StateFile::Write(const std::string& content) {
    if (content.size() > m_limit) {
        errno = EFBIG;
        return false;
    }
    const SplitParts parts = SplitPath(m_path);
    std::string tempPath;
    FileHandle temp(m_ops, CreateExclusive(
                               m_ops, parts.dir,
                               [&] { return TemporaryName(parts.name, getpid(), ++m_tempCounter); },
                               m_mode, tempPath));
    if (!temp.IsOpen())
        return false;
    // The umask must not take away the access a shared record needs.
    if (m_mode != 0600)
        m_ops.Fchmod(temp.Get(), m_mode);
    bool written =
        WriteAll(m_ops, temp.Get(), content.data(), content.size()) && m_ops.Fsync(temp.Get()) == 0;
    // A close error can be the first report of a failed write-back.
    written = temp.Close() == 0 && written;
    // The rename replaces whatever has the name, a link itself included; the
    // link's target is never touched.
    if (!written || m_ops.Rename(tempPath.c_str(), m_path.c_str()) != 0) {
        const int error = errno;
        m_ops.Unlink(tempPath.c_str());
        errno = error;
        return false;
    }
    return SyncDirectory(m_ops, parts.dir);
}

bool StateFile::SetAside() {
    struct stat st {};
    if (m_ops.Lstat(m_path.c_str(), &st) != 0)
        return false;
    const std::string base = m_path + ".damaged";
    for (int n = 0; n < kSetAsideNames; ++n) {
        const std::string name = n == 0 ? base : base + "." + std::to_string(n);
        if (m_ops.Lstat(name.c_str(), &st) == 0)
            continue;
        if (errno != ENOENT || m_ops.Rename(m_path.c_str(), name.c_str()) != 0)
            return false;
        // The rename is done whether or not its flush succeeds; the flush only
        // makes it outlast a power loss sooner.
        SyncDirectory(m_ops, SplitPath(m_path).dir);
        return true;
    }
    errno = EEXIST;
    return false;
}

int StateFile::RemoveTemporaries() {
    const SplitParts parts = SplitPath(m_path);
    const int fd = m_ops.Open(parts.dir.empty() ? "." : parts.dir.c_str(),
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 0;
    // A directory that cannot be read, or not to its end, has no more to sweep
    // than what was read of it.
    std::vector<std::string> leftovers;
    m_ops.ReadDirectory(fd, [&](const char* entry) {
        if (IsTemporaryName(parts.name, entry))
            leftovers.emplace_back(entry);
    });
    // Only the caller writes the state file, so no write of another process
    // can be under way: a regular file of such a name is a killed write's.
    // Whether the removals outlast a power loss matters not: a leftover that
    // comes back is removed by the next sweep.
    int removed = 0;
    for (const std::string& name : leftovers) {
        const std::string path = MakePath(parts.dir, name);
        struct stat st {};
        if (m_ops.Lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            m_ops.Unlink(path.c_str()) == 0)
            ++removed;
    }
    return removed;
}

bool StateFile::MakeParentDirectories() {
    const std::string dir = SplitPath(m_path).dir;
    if (dir.empty())
        return true;
    // Each prefix that ends before a "/" is one level; the directory part ends
    // in one, so the last level is the file's own directory.
    for (std::size_t slash = dir.find('/'); slash != std::string::npos;
         slash = dir.find('/', slash + 1)) {
        if (slash == 0)
            continue;
        const std::string level = dir.substr(0, slash);
        if (m_ops.Mkdir(level.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    // An existing entry of the name need not be a directory; opening it as one
    // (without needing the right to list it) tells.
    FileHandle handle(m_ops, m_ops.Open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    return handle.IsOpen();
}

std::string RunRecordPath(const std::string& appName) {
    const std::string file = appName + ".runs";
    const char* stateHome = std::getenv("XDG_STATE_HOME");
    if (IsAbsolute(stateHome))
        return MakePath(MakePath(stateHome, kVendor), file);
    const char* home = std::getenv("HOME");
    const std::string homeDir = IsAbsolute(home) ? std::string(home) : UserDatabaseHome();
    if (homeDir.empty())
        return {};
    return MakePath(MakePath(MakePath(homeDir, ".local/state"), kVendor), file);
}

} // namespace platform
