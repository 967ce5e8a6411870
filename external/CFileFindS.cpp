#include "external/CFileFindS.h"

#include "platform/KeptStorage.h"
#include "platform/Path.h"
#include "platform/Wildcard.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <utility>

namespace external {

namespace {

const unsigned kStatxMask =
    STATX_TYPE | STATX_MTIME | STATX_CTIME | STATX_BTIME | platform::IdentityStatxMask();

// Fills the entry from statx, without following a link; false when the entry
// must look absent.
bool Describe(int dirFd, const char* name, CFileFindS::Entry& entry) {
    // Not cleared first: a successful call writes the whole structure, and
    // nothing of it is read after a failed one.
    struct statx stx; // NOLINT(cppcoreguidelines-pro-type-member-init)
    if (statx(dirFd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, kStatxMask, &stx) != 0)
        return false;
    const bool isDir = S_ISDIR(stx.stx_mode);
    if (!isDir && !S_ISREG(stx.stx_mode))
        return false; // links, FIFOs, sockets and devices are refused
    entry.directory = isDir;
    entry.lastWrite = stx.stx_mtime.tv_sec;
    const statx_timestamp& created = (stx.stx_mask & STATX_BTIME) ? stx.stx_btime : stx.stx_ctime;
    entry.created = created.tv_sec;
    entry.createdNanoseconds = created.tv_nsec;
    entry.identity = platform::IdentityOf(stx);
    return true;
}

// The absolute path of a directory with every link, "." and ".." resolved by
// the kernel; false when some component is missing, not searchable, or a loop.
bool ResolveDirectory(const std::string& dir, std::string& resolved) {
    char* real = realpath(dir.c_str(), nullptr);
    if (real == nullptr)
        return false;
    resolved = real;
    std::free(real);
    return true;
}

// A name's first eight bytes as a number that orders like the bytes, zeros
// after a shorter name (names hold no zero byte, so a shorter name that is a
// prefix of a longer one still comes first).
std::uint64_t NamePrefix(std::string_view name) {
    std::uint64_t prefix = 0;
    for (std::size_t i = 0; i < 8; ++i)
        prefix = (prefix << 8) | (i < name.size() ? static_cast<unsigned char>(name[i]) : 0u);
    return prefix;
}

// The listed names' indices in byte order of the names. Sorting small keys,
// which mostly differ in their first eight bytes, is several times cheaper
// than comparing whole names when a directory holds tens of thousands.
void SortByName(const std::string& names, const std::vector<std::size_t>& ends,
                std::vector<std::size_t>& order) {
    struct Key {
        std::uint64_t prefix;
        std::string_view name;
        std::size_t index;
    };
    std::vector<Key> keys;
    keys.reserve(ends.size());
    const std::string_view all(names);
    for (std::size_t i = 0, begin = 0; i < ends.size(); begin = ends[i], ++i) {
        const std::string_view name = all.substr(begin, ends[i] - begin);
        keys.push_back({NamePrefix(name), name, i});
    }
    // Names in one directory are unique, so the order is total.
    std::sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) {
        return a.prefix != b.prefix ? a.prefix < b.prefix : a.name < b.name;
    });
    order.resize(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i)
        order[i] = keys[i].index;
}

} // namespace

CFileFindS::~CFileFindS() {
    CloseDirectory();
}

void CFileFindS::CloseDirectory() {
    if (m_dirFd >= 0)
        close(m_dirFd);
    m_dirFd = -1;
}

int CFileFindS::FindFile(const std::string& name, int /*unused*/) {
    // The search before ends here; its storage serves this one.
    CloseDirectory();
    m_root.clear();
    m_given.clear();
    m_next = 0;
    m_hasAhead = false;
    m_hasCurrent = false;
    const auto [dir, last] = platform::SplitPath(name);
    if (last.empty() || last == "." || last == "..")
        return NoMatches();
    // The directory as the kernel resolves it, links and ".." alike, so that
    // the paths handed out name the very files that were listed and described;
    // a directory that cannot be resolved holds no match.
    std::string root;
    if (!ResolveDirectory(dir.empty() ? std::string(".") : dir, root))
        return NoMatches();
    if (root.back() != '/')
        root.push_back('/');

    if (!platform::HasWildcards(last)) {
        // Searching the directory is enough to describe one of its entries.
        const int fd = open(root.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            return NoMatches();
        Ahead().name.assign(last);
        m_hasAhead = Describe(fd, last.c_str(), Ahead());
        close(fd);
        m_root = std::move(root);
        return m_hasAhead ? 1 : 0;
    }

    // The listing reads through a descriptor of its own; this one stays open
    // for describing the names until the walk is over.
    const int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return NoMatches();
    const int listFd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    DIR* d = listFd >= 0 ? fdopendir(listFd) : nullptr;
    if (d == nullptr) {
        if (listFd >= 0)
            close(listFd);
        close(fd);
        return NoMatches();
    }
    m_dirFd = fd;
    // While every name is the one the search before listed in its place, that
    // search's name order still holds and is not sorted again: a directory
    // read again unchanged gives its names in the same order.
    const std::size_t listedBefore = m_nameEnds.size();
    bool namesAsBefore = m_orderByName && m_order.size() == listedBefore;
    if (!namesAsBefore) {
        m_names.clear();
        m_nameEnds.clear();
    }
    std::size_t listed = 0;
    std::size_t end = 0; // of the names listed so far in m_names
    while (const dirent* de = readdir(d)) {
        const std::string_view entryName(de->d_name);
        if (entryName == "." || entryName == "..")
            continue;
        // The directory says what most entries are; those it marks as links or
        // special files are refused without a stat.
        if (de->d_type != DT_UNKNOWN && de->d_type != DT_REG && de->d_type != DT_DIR)
            continue;
        if (!platform::WildcardMatch(last, entryName))
            continue;
        if (namesAsBefore) {
            if (listed < listedBefore &&
                std::string_view(m_names).substr(end, m_nameEnds[listed] - end) == entryName) {
                end = m_nameEnds[listed++];
                continue;
            }
            namesAsBefore = false;
            m_names.resize(end);
            m_nameEnds.resize(listed);
        }
        m_names.append(entryName);
        m_nameEnds.push_back(m_names.size());
        end = m_names.size();
        ++listed;
    }
    closedir(d);
    if (namesAsBefore && listed != listedBefore) {
        namesAsBefore = false;
        m_names.resize(end);
        m_nameEnds.resize(listed);
    }
    if (!namesAsBefore) {
        platform::GiveBackExcess(m_names);
        platform::GiveBackExcess(m_nameEnds);
        SortByName(m_names, m_nameEnds, m_order);
        platform::GiveBackExcess(m_order);
    }
    m_orderByName = true;
    m_root = std::move(root);
    m_hasAhead = DescribeAhead();
    if (!m_hasAhead)
        CloseDirectory();
    return m_hasAhead ? 1 : 0;
}

bool CFileFindS::DescribeAhead() {
    if (m_dirFd < 0) {
        // Matches a derived finder set are yielded as they are.
        if (m_next >= m_given.size())
            return false;
        Ahead() = m_given[m_next++];
        return true;
    }
    // Names whose entry has gone or turned into a link since the listing
    // are passed over, as if they had never been listed.
    while (m_next < m_order.size()) {
        // Name order visits the listing out of place, and each statx between
        // two names pushes the listing out of the cache: where the names a
        // few steps ahead lie is fetched early, and those names a step later.
        constexpr std::size_t kAhead = 8;
        if (m_next + 2 * kAhead < m_order.size()) {
            __builtin_prefetch(&m_nameEnds[m_order[m_next + 2 * kAhead]]);
            const std::size_t soon = m_order[m_next + kAhead];
            __builtin_prefetch(m_names.data() + (soon == 0 ? 0 : m_nameEnds[soon - 1]));
        }
        const std::size_t i = m_order[m_next++];
        const std::size_t begin = i == 0 ? 0 : m_nameEnds[i - 1];
        Entry& ahead = Ahead();
        ahead.name.assign(m_names, begin, m_nameEnds[i] - begin);
        if (Describe(m_dirFd, ahead.name.c_str(), ahead))
            return true;
    }
    return false;
}

int CFileFindS::NoMatches() {
    CloseDirectory();
    m_names.clear();
    m_nameEnds.clear();
    m_order.clear();
    m_orderByName = false;
    m_given.clear();
    m_hasAhead = false;
    return 0;
}

void CFileFindS::SetMatches(std::string root, std::vector<Entry> entries) {
    CloseDirectory();
    m_root = std::move(root);
    m_given = std::move(entries);
    m_next = 0;
    m_hasCurrent = false;
    m_hasAhead = DescribeAhead();
}

int CFileFindS::FindNextFileA() {
    if (!m_hasAhead)
        return 0; // the last match stays current
    m_current = 1 - m_current;
    m_hasCurrent = true;
    m_hasAhead = DescribeAhead();
    if (!m_hasAhead)
        CloseDirectory();
    return m_hasAhead ? 1 : 0;
}

void CFileFindS::Close() {
    CloseDirectory();
    m_root.clear();
    // A large search's storage goes with it.
    m_names = {};
    m_nameEnds = {};
    m_order = {};
    m_orderByName = false;
    m_given = {};
    m_next = 0;
    m_hasAhead = false;
    m_hasCurrent = false;
}

std::string CFileFindS::GetFileName() const {
    const Entry* e = CurrentEntry();
    return e ? e->name : std::string();
}

std::string CFileFindS::GetFileTitle() const {
    std::string name = GetFileName();
    const auto dot = name.rfind('.');
    if (dot != std::string::npos)
        name.resize(dot);
    return name;
}

std::string CFileFindS::GetFilePath() const {
    const Entry* e = CurrentEntry();
    return e ? m_root + e->name : std::string();
}

std::int64_t CFileFindS::GetCreationTime() const {
    const Entry* e = CurrentEntry();
    return e ? e->created : 0;
}

std::uint32_t CFileFindS::GetCreationNanoseconds() const {
    const Entry* e = CurrentEntry();
    return e ? e->createdNanoseconds : 0;
}

std::int64_t CFileFindS::GetLastWriteTime() const {
    const Entry* e = CurrentEntry();
    return e ? e->lastWrite : 0;
}

bool CFileFindS::IsDirectory() const {
    const Entry* e = CurrentEntry();
    return e && e->directory;
}

platform::FileIdentity CFileFindS::GetFileIdentity() const {
    const Entry* e = CurrentEntry();
    return e ? e->identity : platform::FileIdentity{};
}

} // namespace external
