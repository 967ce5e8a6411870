#include "external/CFileFindS.h"

#include "platform/Path.h"
#include "platform/Wildcard.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace external {

namespace {

constexpr unsigned kStatxMask = STATX_TYPE | STATX_MTIME | STATX_CTIME | STATX_BTIME;

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
    entry.created = (stx.stx_mask & STATX_BTIME) ? stx.stx_btime.tv_sec : stx.stx_ctime.tv_sec;
    return true;
}
} // namespace

int CFileFindS::FindFile(const std::string& name, int /*unused*/) {
    Close();
    const auto [dir, last] = platform::SplitPath(name);
    if (last.empty() || last == "." || last == "..")
        return 0;
    std::string root = platform::AbsolutePath(dir.empty() ? std::string(".") : dir);
    if (root.back() != '/')
        root.push_back('/');

    std::vector<Entry> found;
    if (!platform::HasWildcards(last)) {
        Entry entry;
        entry.name = last;
        if (Describe(AT_FDCWD, name.c_str(), entry))
            found.push_back(std::move(entry));
    } else {
        const int fd = open(dir.empty() ? "." : dir.c_str(),
                            O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0)
            return 0;
        DIR* d = fdopendir(fd);
        if (d == nullptr) {
            close(fd);
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
            Entry entry;
            entry.name = entryName;
            if (Describe(dirfd(d), de->d_name, entry))
                found.push_back(std::move(entry));
        }
        closedir(d);
        std::sort(found.begin(), found.end(),
                  [](const Entry& a, const Entry& b) { return a.name < b.name; });
    }
    SetMatches(std::move(root), std::move(found));
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
    m_entries.clear();
    m_next = 0;
}

const CFileFindS::Entry* CFileFindS::Current() const {
    return m_next == 0 || m_next > m_entries.size() ? nullptr : &m_entries[m_next - 1];
}

std::string CFileFindS::GetFileName() const {
    const Entry* e = Current();
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
    const Entry* e = Current();
    return e ? m_root + e->name : std::string();
}

std::int64_t CFileFindS::GetCreationTime() const {
    const Entry* e = Current();
    return e ? e->created : 0;
}

std::int64_t CFileFindS::GetLastWriteTime() const {
    const Entry* e = Current();
    return e ? e->lastWrite : 0;
}

bool CFileFindS::IsDirectory() const {
    const Entry* e = Current();
    return e && e->directory;
}

} // namespace external
