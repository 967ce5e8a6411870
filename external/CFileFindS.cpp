#include "external/CFileFindS.h"

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

// The entries' indices in byte order of their names. Sorting small keys,
// which mostly differ in their first eight bytes, is several times cheaper
// than sorting the entries themselves when a directory holds tens of
// thousands of matches; the entries stay where they are.
void SortByName(const std::vector<CFileFindS::Entry>& entries, std::vector<std::size_t>& order) {
    struct Key {
        std::uint64_t prefix;
        std::string_view name;
        std::size_t index;
    };
    std::vector<Key> keys;
    keys.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i)
        keys.push_back({NamePrefix(entries[i].name), entries[i].name, i});
    // Names in one directory are unique, so the order is total.
    std::sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) {
        return a.prefix != b.prefix ? a.prefix < b.prefix : a.name < b.name;
    });
    order.resize(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i)
        order[i] = keys[i].index;
}

} // namespace

int CFileFindS::FindFile(const std::string& name, int /*unused*/) {
    // The matches of the search before are dropped, but their storage (and
    // their names' buffers) is reused below.
    m_root.clear();
    m_next = 0;
    const auto [dir, last] = platform::SplitPath(name);
    if (last.empty() || last == "." || last == "..")
        return NoMatches();
    // The directory as the kernel resolves it, links and ".." alike, so that
    // the paths handed out name the very files that were listed and described;
    // a directory that cannot be resolved holds no match.
    std::string root;
    if (!ResolveDirectory(dir.empty() ? std::string(".") : dir, root))
        return NoMatches();

    std::vector<Entry>& found = m_entries;
    std::size_t used = 0;
    // While every match has the name the search before found in its place,
    // that search's name order still holds and is not sorted again: a
    // directory read again unchanged yields its entries in the same order.
    const std::size_t matchesBefore = found.size();
    bool namesAsBefore = m_orderByName && m_order.size() == matchesBefore;
    // The next slot to describe an entry in: one left from the search before
    // when there is one, so that its name's buffer is written over.
    const auto describeIn = [&](int dirFd, std::string_view entryName) {
        if (used == found.size()) {
            found.emplace_back();
            namesAsBefore = false;
        }
        Entry& entry = found[used];
        if (entry.name != entryName) {
            entry.name.assign(entryName);
            namesAsBefore = false;
        }
        if (Describe(dirFd, entry.name.c_str(), entry))
            ++used;
        else
            namesAsBefore = false;
    };
    if (!platform::HasWildcards(last)) {
        // Searching the directory is enough to describe one of its entries.
        const int fd = open(root.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            return NoMatches();
        describeIn(fd, last);
        close(fd);
    } else {
        const int fd =
            open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0)
            return NoMatches();
        DIR* d = fdopendir(fd);
        if (d == nullptr) {
            close(fd);
            return NoMatches();
        }
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
            describeIn(dirfd(d), entryName);
        }
        closedir(d);
    }
    namesAsBefore = namesAsBefore && used == matchesBefore;
    found.resize(used);
    // Storage far beyond what the directory now needs goes back.
    if (found.capacity() > 4 * found.size() + 64)
        found.shrink_to_fit();
    if (!namesAsBefore)
        SortByName(found, m_order);
    m_orderByName = true;
    if (root.back() != '/')
        root.push_back('/');
    m_root = std::move(root);
    return m_entries.empty() ? 0 : 1;
}

int CFileFindS::NoMatches() {
    m_entries.clear();
    m_order.clear();
    return 0;
}

void CFileFindS::SetMatches(std::string root, std::vector<Entry> entries) {
    m_root = std::move(root);
    m_entries = std::move(entries);
    // Yielded in the order given.
    m_order.resize(m_entries.size());
    for (std::size_t i = 0; i < m_order.size(); ++i)
        m_order[i] = i;
    m_orderByName = false;
    m_next = 0;
}

int CFileFindS::FindNextFileA() {
    if (m_next >= m_entries.size())
        return 0;
    ++m_next;
    // Name order visits the entries out of the order the directory gave
    // them, so each would be a cache miss in a large directory: the entry a
    // few steps ahead is fetched while this one is used.
    constexpr std::size_t kAhead = 8;
    if (m_next + kAhead <= m_order.size()) {
        const char* ahead = reinterpret_cast<const char*>(&m_entries[m_order[m_next + kAhead - 1]]);
        __builtin_prefetch(ahead);
        __builtin_prefetch(ahead + sizeof(Entry) - 1);
    }
    return m_next < m_entries.size() ? 1 : 0;
}

void CFileFindS::Close() {
    m_root.clear();
    m_entries = {}; // a large search's storage goes with it
    m_order = {};
    m_next = 0;
}

std::size_t CFileFindS::GetMatchCount() const {
    return m_entries.size();
}

const CFileFindS::Entry* CFileFindS::CurrentEntry() const {
    return m_next == 0 || m_next > m_entries.size() ? nullptr : &m_entries[m_order[m_next - 1]];
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
