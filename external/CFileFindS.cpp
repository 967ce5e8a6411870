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
    struct statx stx {};
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

// Rearranges items so that item i becomes the one that was at order[i],
// following each cycle of the permutation with swaps.
template <typename T> void ApplyOrder(std::vector<T>& items, std::vector<std::size_t> order) {
    for (std::size_t start = 0; start < order.size(); ++start) {
        std::size_t at = start;
        while (order[at] != start) {
            const std::size_t from = order[at];
            std::swap(items[at], items[from]);
            order[at] = at;
            at = from;
        }
        order[at] = at;
    }
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

// Puts the entries in byte order of their names. Sorting small keys, which
// mostly differ in their first eight bytes, and then moving each entry into
// place is several times cheaper than sorting the entries themselves when a
// directory holds tens of thousands of matches, and needs no second copy.
void SortByName(std::vector<CFileFindS::Entry>& entries) {
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
    std::vector<std::size_t> order;
    order.reserve(keys.size());
    for (const Key& key : keys)
        order.push_back(key.index);
    keys = {}; // freed before the entries move under its views
    ApplyOrder(entries, std::move(order));
}

} // namespace

int CFileFindS::FindFile(const std::string& name, int /*unused*/) {
    // The matches of the search before are dropped, but their storage (and
    // their names' buffers) is reused below.
    m_root.clear();
    m_next = 0;
    const auto [dir, last] = platform::SplitPath(name);
    if (last.empty() || last == "." || last == "..") {
        m_entries.clear();
        return 0;
    }
    // The directory as the kernel resolves it, links and ".." alike, so that
    // the paths handed out name the very files that were listed and described;
    // a directory that cannot be resolved holds no match.
    std::string root;
    if (!ResolveDirectory(dir.empty() ? std::string(".") : dir, root)) {
        m_entries.clear();
        return 0;
    }

    std::vector<Entry>& found = m_entries;
    std::size_t used = 0;
    // The next slot to describe an entry in: one left from the search before
    // when there is one, so that its name's buffer is written over.
    const auto slot = [&found, &used]() -> Entry& {
        if (used == found.size())
            found.emplace_back();
        return found[used];
    };
    if (!platform::HasWildcards(last)) {
        // Searching the directory is enough to describe one of its entries.
        const int fd = open(root.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            m_entries.clear();
            return 0;
        }
        Entry& entry = slot();
        entry.name.assign(last);
        if (Describe(fd, last.c_str(), entry))
            ++used;
        close(fd);
    } else {
        const int fd =
            open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            m_entries.clear();
            return 0;
        }
        DIR* d = fdopendir(fd);
        if (d == nullptr) {
            close(fd);
            m_entries.clear();
            return 0;
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
            Entry& entry = slot();
            entry.name.assign(entryName);
            if (Describe(dirfd(d), de->d_name, entry))
                ++used;
        }
        closedir(d);
    }
    found.resize(used);
    // Storage far beyond what the directory now needs goes back.
    if (found.capacity() > 4 * found.size() + 64)
        found.shrink_to_fit();
    SortByName(found);
    if (root.back() != '/')
        root.push_back('/');
    m_root = std::move(root);
    return m_entries.empty() ? 0 : 1;
}

void CFileFindS::SetMatches(std::string root, std::vector<Entry> entries) {
    m_root = std::move(root);
    m_entries = std::move(entries);
    m_next = 0;
}

int CFileFindS::FindNextFileA() {
    if (m_next >= m_entries.size())
        return 0;
    ++m_next;
    return m_next < m_entries.size() ? 1 : 0;
}

void CFileFindS::Close() {
    m_root.clear();
    m_entries = {}; // a large search's storage goes with it
    m_next = 0;
}

std::size_t CFileFindS::GetMatchCount() const {
    return m_entries.size();
}

const CFileFindS::Entry* CFileFindS::CurrentEntry() const {
    return m_next == 0 || m_next > m_entries.size() ? nullptr : &m_entries[m_next - 1];
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
