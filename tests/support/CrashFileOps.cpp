#include "support/CrashFileOps.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace testsupport {

namespace {

constexpr std::size_t kNameMax = 255;
constexpr long kNanosecondsPerSecond = 1'000'000'000;

int Fail(int error) {
    errno = error;
    return -1;
}

std::vector<std::string_view> Components(std::string_view path) {
    std::vector<std::string_view> parts;
    std::size_t at = 0;
    while (at < path.size()) {
        const std::size_t slash = std::min(path.find('/', at), path.size());
        if (slash > at)
            parts.push_back(path.substr(at, slash - at));
        at = slash + 1;
    }
    return parts;
}

bool IsDots(std::string_view name) {
    return name.empty() || name == "." || name == "..";
}

struct statx_timestamp Stamp(const timespec& time) {
    struct statx_timestamp out {};
    out.tv_sec = time.tv_sec;
    out.tv_nsec = static_cast<std::uint32_t>(time.tv_nsec);
    return out;
}

} // namespace

CrashFileOps::CrashFileOps() {
    const Key root = m_nextKey++;
    Node node;
    node.directory = true;
    node.inode = m_nextInode++;
    node.mode = 0755;
    node.atime = node.mtime = node.ctime = node.btime = Now();
    node.parent = root;
    m_live.emplace(root, node);
    m_durable.emplace(root, node);
    m_devices.push_back(makedev(8, 1));
    m_roots.push_back(root);
}

// -- Helpers.

bool CrashFileOps::AddFileSystem(const std::string& mountPoint) {
    std::lock_guard lock(m_mutex);
    const std::string_view path(mountPoint);
    const std::size_t slash = path.rfind('/');
    const std::string name(slash == std::string_view::npos ? path : path.substr(slash + 1));
    const Key dir = EnsureDirectories(path.substr(0, slash == std::string_view::npos ? 0 : slash),
                                      Durability::Committed);
    if (dir == 0 || IsDots(name) || Live(dir).entries.count(name) != 0)
        return false;
    const Key root = Create(dir, name, true, 0755);
    Live(root).fileSystem = m_devices.size();
    m_devices.push_back(makedev(8, static_cast<unsigned>(m_devices.size() + 1)));
    m_roots.push_back(root);
    MakeEntryDurable(dir, name);
    return true;
}

bool CrashFileOps::SetDevice(const std::string& mountPoint, dev_t device) {
    std::lock_guard lock(m_mutex);
    const Walk walk = Resolve(m_roots[0], mountPoint);
    const auto root = std::find(m_roots.begin(), m_roots.end(), walk.node);
    if (walk.error != 0 || root == m_roots.end())
        return false;
    m_devices[static_cast<std::size_t>(root - m_roots.begin())] = device;
    return true;
}

void CrashFileOps::RenumberInodes() {
    std::lock_guard lock(m_mutex);
    // One new number per file, the same in both states.
    std::map<Key, std::uint64_t> renumbered;
    for (auto* nodes : {&m_live, &m_durable})
        for (auto& [key, node] : *nodes) {
            const auto [it, added] = renumbered.try_emplace(key, m_nextInode);
            if (added)
                ++m_nextInode;
            node.inode = it->second;
        }
}

void CrashFileOps::SetTime(std::int64_t seconds) {
    std::lock_guard lock(m_mutex);
    m_seconds = seconds;
}

void CrashFileOps::SetBirthTimes(bool recorded) {
    std::lock_guard lock(m_mutex);
    m_birthTimes = recorded;
}

bool CrashFileOps::WriteFile(const std::string& path, std::string_view content,
                             Durability durability) {
    std::lock_guard lock(m_mutex);
    const std::string_view whole(path);
    const std::size_t slash = whole.rfind('/');
    const std::string name(slash == std::string_view::npos ? whole : whole.substr(slash + 1));
    const Key dir =
        EnsureDirectories(whole.substr(0, slash == std::string_view::npos ? 0 : slash), durability);
    if (dir == 0 || IsDots(name))
        return false;
    const auto found = Live(dir).entries.find(name);
    const Key file =
        found != Live(dir).entries.end() ? found->second : Create(dir, name, false, 0644);
    if (Live(file).directory)
        return false;
    Live(file).data = content;
    Touch(file, true);
    if (durability == Durability::Committed) {
        MakeEntryDurable(dir, name);
        Sync(file);
    }
    return true;
}

bool CrashFileOps::MakeDirectories(const std::string& path, Durability durability) {
    std::lock_guard lock(m_mutex);
    return EnsureDirectories(path, durability) != 0;
}

std::optional<std::string> CrashFileOps::ReadFile(const std::string& path) const {
    std::lock_guard lock(m_mutex);
    const Walk walk = Resolve(m_roots[0], path);
    if (walk.error != 0 || walk.node == 0 || Live(walk.node).directory)
        return std::nullopt;
    return Live(walk.node).data;
}

bool CrashFileOps::Exists(const std::string& path) const {
    std::lock_guard lock(m_mutex);
    const Walk walk = Resolve(m_roots[0], path);
    return walk.error == 0 && walk.node != 0;
}

std::vector<std::string> CrashFileOps::List(const std::string& dir) const {
    std::lock_guard lock(m_mutex);
    const Walk walk = Resolve(m_roots[0], dir);
    std::vector<std::string> names;
    if (walk.error == 0 && walk.node != 0)
        for (const auto& entry : Live(walk.node).entries)
            names.push_back(entry.first);
    return names;
}

std::optional<std::string> CrashFileOps::Canonical(const std::string& path) const {
    std::lock_guard lock(m_mutex);
    const Walk walk = Resolve(m_roots[0], path);
    if (walk.error != 0 || walk.node == 0)
        return std::nullopt;
    // Without links, dropping the component before each ".." is exact once
    // the kernel-style walk has found every component.
    std::vector<std::string_view> kept;
    for (const std::string_view part : Components(path)) {
        if (part == ".." && !kept.empty())
            kept.pop_back();
        else if (part != "." && part != "..")
            kept.push_back(part);
    }
    std::string resolved;
    for (const std::string_view part : kept)
        resolved.append("/").append(part);
    return resolved.empty() ? "/" : resolved;
}

bool CrashFileOps::Describe(const std::string& path, struct statx& out) const {
    std::lock_guard lock(m_mutex);
    const Walk walk = Resolve(m_roots[0], path);
    if (walk.error != 0 || walk.node == 0) {
        errno = walk.error != 0 ? walk.error : ENOENT;
        return false;
    }
    FillStatx(Live(walk.node), out);
    return true;
}

// -- Power.

void CrashFileOps::Commit() {
    std::lock_guard lock(m_mutex);
    m_durable = m_live;
}

void CrashFileOps::Crash() {
    std::lock_guard lock(m_mutex);
    // What a durable name leads to survives, found breadth first from "/" in
    // name order; link counts and ".." are made again from the names found.
    std::map<Key, Node> kept;
    std::vector<Key> dirs{m_roots[0]};
    kept.emplace(m_roots[0], m_durable.find(m_roots[0])->second);
    for (std::size_t i = 0; i < dirs.size(); ++i) {
        const auto entries = kept.find(dirs[i])->second.entries;
        for (const auto& entry : entries) {
            const Key child = entry.second;
            const auto durable = m_durable.find(child);
            if (durable == m_durable.end())
                continue;
            const auto [it, added] = kept.try_emplace(child, durable->second);
            if (added) {
                it->second.links = 0;
                it->second.parent = dirs[i];
                if (it->second.directory)
                    dirs.push_back(child);
            }
            ++it->second.links;
        }
    }
    m_live = kept;
    m_durable = std::move(kept);
    m_descriptors.clear();
    m_cutAt.reset();
}

void CrashFileOps::CutAfter(std::uint64_t calls) {
    std::lock_guard lock(m_mutex);
    m_cutAt = m_calls + calls;
}

bool CrashFileOps::PoweredOff() const {
    std::lock_guard lock(m_mutex);
    return m_cutAt && m_calls >= *m_cutAt;
}

std::uint64_t CrashFileOps::Calls() const {
    std::lock_guard lock(m_mutex);
    return m_calls;
}

// -- Inner workings.

bool CrashFileOps::Tick() {
    ++m_calls;
    if (m_cutAt && m_calls > *m_cutAt) {
        errno = EIO;
        return false;
    }
    return true;
}

timespec CrashFileOps::Now() {
    timespec now{};
    now.tv_sec = m_seconds;
    now.tv_nsec = static_cast<long>(m_stamps++ % kNanosecondsPerSecond);
    return now;
}

CrashFileOps::Walk CrashFileOps::Resolve(Key start, std::string_view path) const {
    Walk walk;
    if (path.empty()) {
        walk.error = ENOENT;
        return walk;
    }
    Key at = path.front() == '/' ? m_roots[0] : start;
    const std::vector<std::string_view> parts = Components(path);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const Node& dir = Live(at);
        if (!dir.directory) {
            walk.error = ENOTDIR;
            return walk;
        }
        if (parts[i].size() > kNameMax) {
            walk.error = ENAMETOOLONG;
            return walk;
        }
        Key next = 0;
        if (parts[i] == ".")
            next = at;
        else if (parts[i] == "..")
            next = dir.parent;
        else if (const auto found = dir.entries.find(std::string(parts[i]));
                 found != dir.entries.end())
            next = found->second;
        if (i + 1 == parts.size()) {
            walk.parent = at;
            walk.name = parts[i];
            walk.node = next;
        } else if (next == 0) {
            walk.error = ENOENT;
            return walk;
        }
        at = next;
    }
    if (parts.empty())
        walk.node = at;
    // A trailing "/" asks for a directory.
    if (walk.node != 0 && path.back() == '/' && !Live(walk.node).directory)
        walk.error = ENOTDIR;
    return walk;
}

CrashFileOps::Key CrashFileOps::Create(Key dir, const std::string& name, bool directory,
                                       mode_t mode) {
    const Key key = m_nextKey++;
    Node node;
    node.directory = directory;
    node.fileSystem = Live(dir).fileSystem;
    node.inode = m_nextInode++;
    node.mode = mode & 07777;
    node.uid = geteuid();
    node.gid = getegid();
    node.links = 1;
    node.atime = node.mtime = node.ctime = node.btime = Now();
    node.parent = dir;
    m_live.emplace(key, node);
    Live(dir).entries[name] = key;
    Touch(dir, true);
    return key;
}

void CrashFileOps::Touch(Key key, bool content) {
    Node& node = Live(key);
    node.ctime = Now();
    if (content)
        node.mtime = node.ctime;
}

CrashFileOps::Descriptor* CrashFileOps::Find(int fd, bool openFile) {
    const auto found = m_descriptors.find(fd);
    if (found == m_descriptors.end() || (openFile && (found->second.flags & O_PATH) != 0)) {
        errno = EBADF;
        return nullptr;
    }
    return &found->second;
}

int CrashFileOps::NewDescriptor(Key node, int flags) {
    const int fd = m_nextDescriptor++;
    m_descriptors.emplace(fd, Descriptor{node, flags, 0, F_UNLCK, {}});
    return fd;
}

void CrashFileOps::Sync(Key key) {
    const Node& node = Live(key);
    m_durable[key] = node;
    // Files that a durable entry now leads to and that were never synced are
    // durable empty.
    for (const auto& entry : node.entries)
        if (m_durable.count(entry.second) == 0) {
            Node empty = Live(entry.second);
            empty.data.clear();
            empty.entries.clear();
            m_durable.emplace(entry.second, std::move(empty));
        }
}

void CrashFileOps::MakeEntryDurable(Key dir, const std::string& name) {
    const Key child = Live(dir).entries.find(name)->second;
    for (const Key key : {dir, child})
        if (m_durable.count(key) == 0) {
            Node empty = Live(key);
            empty.data.clear();
            empty.entries.clear();
            m_durable.emplace(key, std::move(empty));
        }
    m_durable.find(dir)->second.entries[name] = child;
}

CrashFileOps::Key CrashFileOps::EnsureDirectories(std::string_view path, Durability durability) {
    Key at = m_roots[0];
    for (const std::string_view part : Components(path)) {
        if (part == "." || part == "..") {
            at = part == "." ? at : Live(at).parent;
            continue;
        }
        const std::string name(part);
        const auto found = Live(at).entries.find(name);
        const Key next =
            found != Live(at).entries.end() ? found->second : Create(at, name, true, 0755);
        if (!Live(next).directory)
            return 0;
        if (durability == Durability::Committed)
            MakeEntryDurable(at, name);
        at = next;
    }
    return at;
}

std::uint64_t CrashFileOps::LinkCount(const Node& node) const {
    if (!node.directory)
        return node.links;
    // Its name, its ".", and the ".." of each subdirectory.
    std::uint64_t links = 2;
    for (const auto& entry : node.entries)
        links += Live(entry.second).directory ? 1 : 0;
    return links;
}

void CrashFileOps::FillStat(const Node& node, struct stat& st) const {
    st = {};
    st.st_dev = m_devices[node.fileSystem];
    st.st_ino = node.inode;
    st.st_mode = (node.directory ? S_IFDIR : S_IFREG) | node.mode;
    st.st_nlink = LinkCount(node);
    st.st_uid = node.uid;
    st.st_gid = node.gid;
    st.st_size = node.directory ? 4096 : static_cast<off_t>(node.data.size());
    st.st_blksize = 4096;
    st.st_blocks = (st.st_size + 511) / 512;
    st.st_atim = node.atime;
    st.st_mtim = node.mtime;
    st.st_ctim = node.ctime;
}

void CrashFileOps::FillStatx(const Node& node, struct statx& out) const {
    struct stat st {};
    FillStat(node, st);
    out = {};
    out.stx_mask = STATX_BASIC_STATS | (m_birthTimes ? STATX_BTIME : 0u);
    out.stx_blksize = static_cast<std::uint32_t>(st.st_blksize);
    out.stx_nlink = static_cast<std::uint32_t>(st.st_nlink);
    out.stx_uid = st.st_uid;
    out.stx_gid = st.st_gid;
    out.stx_mode = static_cast<std::uint16_t>(st.st_mode);
    out.stx_ino = st.st_ino;
    out.stx_size = static_cast<std::uint64_t>(st.st_size);
    out.stx_blocks = static_cast<std::uint64_t>(st.st_blocks);
    out.stx_atime = Stamp(node.atime);
    if (m_birthTimes)
        out.stx_btime = Stamp(node.btime);
    out.stx_ctime = Stamp(node.ctime);
    out.stx_mtime = Stamp(node.mtime);
    out.stx_dev_major = major(st.st_dev);
    out.stx_dev_minor = minor(st.st_dev);
}

// -- The calls.

int CrashFileOps::Open(const char* path, int flags, mode_t mode) {
    std::lock_guard lock(m_mutex);
    if (!Tick())
        return -1;
    if ((flags & O_TMPFILE) == O_TMPFILE)
        return Fail(EOPNOTSUPP);
    const int access = flags & O_ACCMODE;
    if (access == O_ACCMODE)
        return Fail(EINVAL);
    Walk walk = Resolve(m_roots[0], path);
    if (walk.error != 0)
        return Fail(walk.error);
    if ((flags & O_PATH) != 0) {
        if (walk.node == 0)
            return Fail(ENOENT);
        if ((flags & O_DIRECTORY) != 0 && !Live(walk.node).directory)
            return Fail(ENOTDIR);
        return NewDescriptor(walk.node, O_PATH);
    }
    if (walk.node == 0) {
        if ((flags & O_CREAT) == 0)
            return Fail(ENOENT);
        if (std::string_view(path).back() == '/')
            return Fail(EISDIR);
        if ((flags & O_DIRECTORY) != 0)
            return Fail(EINVAL);
        return NewDescriptor(Create(walk.parent, walk.name, false, mode), flags);
    }
    if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL))
        return Fail(EEXIST);
    Node& node = Live(walk.node);
    if (node.directory) {
        if (access != O_RDONLY || (flags & (O_CREAT | O_TRUNC)) != 0)
            return Fail(EISDIR);
    } else {
        if ((flags & O_DIRECTORY) != 0)
            return Fail(ENOTDIR);
        if ((flags & O_TRUNC) != 0) {
            node.data.clear();
            Touch(walk.node, true);
        }
    }
    return NewDescriptor(walk.node, flags);
}

ssize_t CrashFileOps::Read(int fd, void* buf, size_t count) {
    std::lock_guard lock(m_mutex);
    if (!Tick())
        return -1;
    Descriptor* d = Find(fd, true);
    if (d == nullptr || (d->flags & O_ACCMODE) == O_WRONLY)
        return Fail(EBADF);
    const Node& node = Live(d->node);
    if (node.directory)
        return Fail(EISDIR);
    const auto at = static_cast<std::size_t>(d->offset);
    const std::size_t got = at >= node.data.size() ? 0 : std::min(count, node.data.size() - at);
    if (got > 0)
        std::memcpy(buf, node.data.data() + at, got);
    d->offset += static_cast<off_t>(got);
    return static_cast<ssize_t>(got);
}

ssize_t CrashFileOps::Write(int fd, const void* buf, size_t count) {
    std::lock_guard lock(m_mutex);
    if (!Tick())
        return -1;
    Descriptor* d = Find(fd, true);
    if (d == nullptr || (d->flags & O_ACCMODE) == O_RDONLY)
        return Fail(EBADF);
    if (count == 0)
        return 0;
    Node& node = Live(d->node);
    if ((d->flags & O_APPEND) != 0)
        d->offset = static_cast<off_t>(node.data.size());
    const auto at = static_cast<std::size_t>(d->offset);
    if (node.data.size() < at + count)
        node.data.resize(at + count, '\0');
    std::memcpy(node.data.data() + at, buf, count);
    d->offset += static_cast<off_t>(count);
    Touch(d->node, true);
    return static_cast<ssize_t>(count);
}

int CrashFileOps::Fsync(int fd) {
    std::lock_guard lock(m_mutex);
    if (!Tick())
        return -1;
    const Descriptor* d = Find(fd, true);
    if (d == nullptr)
        return -1;
    Sync(d->node);
    return 0;
}

int CrashFileOps::Close(int fd) {
    std::lock_guard lock(m_mutex);
    if (!Tick())
        return -1;
    if (m_descriptors.erase(fd) == 0)
        return Fail(EBADF);
    return 0;
}

int CrashFileOps::Fstat(int fd, struct stat* st) {
    std::lock_guard lock(m_mutex);
    if (!Tick())
        return -1;
    const Descriptor* d = Find(fd, false);
    if (d == nullptr)
        return -1;
    FillStat(Live(d->node), *st);
    return 0;
}

int CrashFileOps::Lstat(const char* path, struct stat* st) {
    std::lock_guard lock(m_mutex);
    if (!Tick())
        return -1;
    const Walk walk = Resolve(m_roots[0], path);
    if (walk.error != 0 || walk.node == 0)
        return Fail(walk.error != 0 ? walk.error : ENOENT);
    FillStat(Live(walk.node), *st);
    return 0;
}

int CrashFileOps::Rename(const char* from, const char* to) {
    std::lock_guard lock(m_mutex);
    if (!Tick())
        return -1;
    // In the kernel's order: both directories, then their devices, then the
    // names.
    const Walk source = Resolve(m_roots[0], from);
    const Walk target = Resolve(m_roots[0], to);
    if (source.error != 0 || target.error != 0)
        return Fail(source.error != 0 ? source.error : target.error);
    if (IsDots(source.name) || IsDots(target.name))
        return Fail(EBUSY);
    if (Live(source.parent).fileSystem != Live(target.parent).fileSystem)
        return Fail(EXDEV);
    if (source.node == 0)
        return Fail(ENOENT);
    const Node& moved = Live(source.node);
    const Node& dir = Live(target.parent);
    if (moved.fileSystem != dir.fileSystem ||
        (target.node != 0 && Live(target.node).fileSystem != dir.fileSystem))
        return Fail(EBUSY); // a file system's root
    if (target.node == source.node)
        return 0; // two names of one file: nothing to do
    if (target.node != 0) {
        const Node& replaced = Live(target.node);
        if (moved.directory && !replaced.directory)
            return Fail(ENOTDIR);
        if (!moved.directory && replaced.directory)
            return Fail(EISDIR);
        if (replaced.directory && !replaced.entries.empty())
            return Fail(ENOTEMPTY);
    }
    if (moved.directory)
        for (Key up = target.parent;; up = Live(up).parent) {
            if (up == source.node)
                return Fail(EINVAL); // into itself
            if (up == Live(up).parent)
                break;
        }
    Live(source.parent).entries.erase(source.name);
    if (target.node != 0)
        --Live(target.node).links;
    Live(target.parent).entries[target.name] = source.node;
    Live(source.node).parent = target.parent;
    Touch(source.node, false);
    Touch(source.parent, true);
    Touch(target.parent, true);
    return 0;
}

int CrashFileOps::Unlink(const char* path) {
    std::lock_guard lock(m_mutex);
    if (!Tick())
        return -1;
    const Walk walk = Resolve(m_roots[0], path);
    if (walk.error != 0)
        return Fail(walk.error);
    if (IsDots(walk.name))
        return Fail(EISDIR);
    if (walk.node == 0)
        return Fail(ENOENT);
    if (Live(walk.node).directory)
        return Fail(EISDIR);
    Live(walk.parent).entries.erase(walk.name);
    --Live(walk.node).links;
    Touch(walk.node, false);
    Touch(walk.parent, true);
    return 0;
}

int CrashFileOps::Mkdir(const char* path, mode_t mode) {
    std::lock_guard lock(m_mutex);
    if (!Tick())
        return -1;
    const Walk walk = Resolve(m_roots[0], path);
    if (walk.error == ENOTDIR && walk.node != 0)
        return Fail(EEXIST); // "file/": the name is taken
    if (walk.error != 0)
        return Fail(walk.error);
    if (IsDots(walk.name) || walk.node != 0)
        return Fail(EEXIST);
    Create(walk.parent, walk.name, true, mode);
    return 0;
}

int CrashFileOps::SetLease(int fd, int type) {
    std::lock_guard lock(m_mutex);
    if (!Tick())
        return -1;
    Descriptor* d = Find(fd, true);
    if (d == nullptr)
        return -1;
    if (type != F_RDLCK && type != F_WRLCK && type != F_UNLCK)
        return Fail(EINVAL);
    d->lease = type;
    return 0;
}

int CrashFileOps::GetLease(int fd) {
    std::lock_guard lock(m_mutex);
    if (!Tick())
        return -1;
    const Descriptor* d = Find(fd, true);
    return d == nullptr ? -1 : d->lease;
}

off_t CrashFileOps::Lseek(int fd, off_t offset, int whence) {
    std::lock_guard lock(m_mutex);
    if (!Tick())
        return -1;
    Descriptor* d = Find(fd, true);
    if (d == nullptr)
        return -1;
    off_t base = 0;
    if (whence == SEEK_CUR)
        base = d->offset;
    else if (whence == SEEK_END)
        base = static_cast<off_t>(Live(d->node).data.size());
    else if (whence != SEEK_SET)
        return Fail(EINVAL); // SEEK_DATA and SEEK_HOLE among them
    if (base + offset < 0)
        return Fail(EINVAL);
    d->offset = base + offset;
    return d->offset;
}

int CrashFileOps::Ftruncate(int fd, off_t length) {
    std::lock_guard lock(m_mutex);
    if (!Tick())
        return -1;
    const Descriptor* d = Find(fd, true);
    if (d == nullptr)
        return -1;
    Node& node = Live(d->node);
    if (length < 0 || node.directory || (d->flags & O_ACCMODE) == O_RDONLY)
        return Fail(EINVAL);
    node.data.resize(static_cast<std::size_t>(length), '\0');
    Touch(d->node, true);
    return 0;
}

int CrashFileOps::Futimens(int fd, const struct timespec times[2]) {
    std::lock_guard lock(m_mutex);
    if (!Tick())
        return -1;
    const Descriptor* d = Find(fd, true);
    if (d == nullptr)
        return -1;
    const timespec now = Now();
    timespec set[2] = {now, now};
    for (int i = 0; times != nullptr && i < 2; ++i) {
        if (times[i].tv_nsec == UTIME_NOW || times[i].tv_nsec == UTIME_OMIT)
            set[i].tv_nsec = times[i].tv_nsec == UTIME_NOW ? now.tv_nsec : UTIME_OMIT;
        else if (times[i].tv_nsec < 0 || times[i].tv_nsec >= kNanosecondsPerSecond)
            return Fail(EINVAL);
        else
            set[i] = times[i];
    }
    if (set[0].tv_nsec == UTIME_OMIT && set[1].tv_nsec == UTIME_OMIT)
        return 0;
    Node& node = Live(d->node);
    node.atime = set[0].tv_nsec == UTIME_OMIT ? node.atime : set[0];
    node.mtime = set[1].tv_nsec == UTIME_OMIT ? node.mtime : set[1];
    node.ctime = now;
    return 0;
}

int CrashFileOps::ReadDirectory(int fd, const std::function<void(const char* name)>& visit) {
    std::vector<std::string> names{".", ".."};
    {
        std::lock_guard lock(m_mutex);
        if (!Tick())
            return -1;
        const auto found = m_descriptors.find(fd);
        if (found == m_descriptors.end())
            return Fail(EBADF);
        const Descriptor d = found->second;
        m_descriptors.erase(found); // taken over, also when the read fails
        if ((d.flags & O_PATH) != 0)
            return Fail(EBADF);
        if (!Live(d.node).directory)
            return Fail(ENOTDIR);
        for (const auto& entry : Live(d.node).entries)
            names.push_back(entry.first);
    }
    for (const std::string& name : names)
        visit(name.c_str());
    return 0;
}

int CrashFileOps::LinkUnnamed(int /*fd*/, const char* /*to*/) {
    std::lock_guard lock(m_mutex);
    if (!Tick())
        return -1;
    return Fail(EOPNOTSUPP);
}

int CrashFileOps::SetAttribute(int fd, const char* /*name*/, const void* /*value*/,
                               size_t /*size*/) {
    std::lock_guard lock(m_mutex);
    if (!Tick())
        return -1;
    return Find(fd, true) == nullptr ? -1 : Fail(ENOTSUP);
}

int CrashFileOps::RemoveAttribute(int fd, const char* /*name*/) {
    std::lock_guard lock(m_mutex);
    if (!Tick())
        return -1;
    return Find(fd, true) == nullptr ? -1 : Fail(ENOTSUP);
}

ssize_t CrashFileOps::GetAttribute(const char* path, const char* /*name*/, void* /*value*/,
                                   size_t /*size*/) {
    std::lock_guard lock(m_mutex);
    if (!Tick())
        return -1;
    const Walk walk = Resolve(m_roots[0], path);
    if (walk.error != 0 || walk.node == 0)
        return Fail(walk.error != 0 ? walk.error : ENOENT);
    return Fail(ENOTSUP);
}

int CrashFileOps::Statx(int dirFd, const char* path, int flags, unsigned /*mask*/,
                        struct statx* out) {
    std::lock_guard lock(m_mutex);
    if (!Tick())
        return -1;
    const std::string_view name = path != nullptr ? path : "";
    Key start = m_roots[0];
    if (dirFd != AT_FDCWD && (name.empty() || name.front() != '/')) {
        const Descriptor* d = Find(dirFd, false);
        if (d == nullptr)
            return -1;
        start = d->node;
    }
    Key node = start;
    if (name.empty()) {
        if ((flags & AT_EMPTY_PATH) == 0)
            return Fail(ENOENT);
    } else {
        if (!Live(start).directory)
            return Fail(ENOTDIR);
        const Walk walk = Resolve(start, name);
        if (walk.error != 0 || walk.node == 0)
            return Fail(walk.error != 0 ? walk.error : ENOENT);
        node = walk.node;
    }
    FillStatx(Live(node), *out);
    return 0;
}

int CrashFileOps::Flock(int fd, int /*operation*/) {
    std::lock_guard lock(m_mutex);
    if (!Tick())
        return -1;
    return Find(fd, true) == nullptr ? -1 : 0;
}

int CrashFileOps::Fchmod(int fd, mode_t mode) {
    std::lock_guard lock(m_mutex);
    if (!Tick())
        return -1;
    const Descriptor* d = Find(fd, true);
    if (d == nullptr)
        return -1;
    Live(d->node).mode = mode & 07777;
    Touch(d->node, false);
    return 0;
}

int CrashFileOps::Fchown(int fd, uid_t owner, gid_t group) {
    std::lock_guard lock(m_mutex);
    if (!Tick())
        return -1;
    const Descriptor* d = Find(fd, true);
    if (d == nullptr)
        return -1;
    Node& node = Live(d->node);
    node.uid = owner == static_cast<uid_t>(-1) ? node.uid : owner;
    node.gid = group == static_cast<gid_t>(-1) ? node.gid : group;
    Touch(d->node, false);
    return 0;
}

ssize_t CrashFileOps::Readlink(const char* path, char* /*buf*/, size_t /*size*/) {
    std::lock_guard lock(m_mutex);
    if (!Tick())
        return -1;
    const Walk walk = Resolve(m_roots[0], path);
    if (walk.error != 0 || walk.node == 0)
        return Fail(walk.error != 0 ? walk.error : ENOENT);
    return Fail(EINVAL);
}

int CrashFileOps::ReadDirectoryPart(int fd, const std::function<void(const char* name)>& visit,
                                    int maxEntries) {
    std::vector<std::string> names;
    {
        std::lock_guard lock(m_mutex);
        if (!Tick())
            return -1;
        Descriptor* d = Find(fd, true);
        if (d == nullptr)
            return -1;
        if (!Live(d->node).directory)
            return Fail(ENOTDIR);
        if (maxEntries <= 0)
            return Fail(EINVAL);
        const auto wanted = static_cast<std::size_t>(maxEntries);
        for (; d->offset < 2 && names.size() < wanted; ++d->offset)
            names.emplace_back(d->offset == 0 ? "." : "..");
        const std::map<std::string, Key>& entries = Live(d->node).entries;
        auto it = d->offset == 2 ? entries.begin() : entries.upper_bound(d->after);
        for (; it != entries.end() && names.size() < wanted; ++it) {
            names.push_back(it->first);
            d->after = it->first;
            d->offset = 3;
        }
    }
    for (const std::string& name : names)
        visit(name.c_str());
    return static_cast<int>(names.size());
}

} // namespace testsupport
