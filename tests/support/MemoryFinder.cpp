#include "support/MemoryFinder.h"

#include "platform/FileIdentity.h"
#include "platform/Path.h"
#include "platform/Wildcard.h"

#include <sys/stat.h>

#include <utility>
#include <vector>

namespace testsupport {

namespace {

// Fills the entry as the real finder does; false when the entry is missing.
bool Describe(const CrashFileOps& files, const std::string& path,
              external::CFileFindS::Entry& entry) {
    struct statx stx {};
    if (!files.Describe(path, stx))
        return false;
    entry.directory = S_ISDIR(stx.stx_mode);
    entry.lastWrite = stx.stx_mtime.tv_sec;
    entry.created = (stx.stx_mask & STATX_BTIME) ? stx.stx_btime.tv_sec : stx.stx_ctime.tv_sec;
    entry.identity = platform::IdentityOf(stx);
    return true;
}

} // namespace

int MemoryFinder::FindFile(const std::string& name, int /*unused*/) {
    Close();
    const auto [dir, last] = platform::SplitPath(name);
    if (last.empty() || last == "." || last == ".." || m_files.PoweredOff())
        return 0;
    std::optional<std::string> root = m_files.Canonical(dir.empty() ? "/" : dir);
    struct statx stx {};
    if (!root || !m_files.Describe(*root, stx) || !S_ISDIR(stx.stx_mode))
        return 0;
    if (root->back() != '/')
        root->push_back('/');

    std::vector<Entry> found;
    // List gives the names in byte order already.
    const std::vector<std::string> names =
        platform::HasWildcards(last) ? m_files.List(*root) : std::vector<std::string>{last};
    for (const std::string& entryName : names) {
        Entry entry;
        entry.name = entryName;
        if (platform::WildcardMatch(last, entryName) && Describe(m_files, *root + entryName, entry))
            found.push_back(std::move(entry));
    }
    const bool any = !found.empty();
    SetMatches(std::move(*root), std::move(found));
    return any ? 1 : 0;
}

std::function<std::unique_ptr<external::CFileFindS>()> MemoryFinders(const CrashFileOps& files) {
    return [&files] { return std::make_unique<MemoryFinder>(files); };
}

} // namespace testsupport
