#include "watcher/SubtreeWatches.h"

#include "platform/QueueDirectoryLock.h"

#include "platform/FileDescriptor.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <string_view>
#include <utility>
#include <vector>

namespace watcher {

namespace {

// Opens a directory for listing without following a symbolic link and without
// blocking on anything that is not a directory.
DIR* OpenDirectory(const std::string& path, bool followLink) {
    const int flags =
        O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK | (followLink ? 0 : O_NOFOLLOW);
    platform::FileDescriptor fd(open(path.c_str(), flags));
    if (!fd.IsValid())
        return nullptr;
    DIR* dir = fdopendir(fd.Get());
    if (dir != nullptr)
        fd.Release(); // the stream owns it now
    return dir;
}

// Whether an entry is a real directory (a link to one is not).
bool IsDirectory(DIR* dir, const dirent& entry) {
    if (entry.d_type != DT_UNKNOWN)
        return entry.d_type == DT_DIR;
    struct stat st {};
    return fstatat(dirfd(dir), entry.d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

std::string Join(const std::string& dir, std::string_view name) {
    std::string path = dir;
    if (!path.empty() && path.back() != '/')
        path.push_back('/');
    path.append(name);
    return path;
}

} // namespace

SubtreeWatches::SubtreeWatches(int inotifyFd, std::string top, int topWatch, std::uint32_t mask)
    : m_inotifyFd(inotifyFd), m_top(std::move(top)), m_topWatch(topWatch), m_mask(mask) {}

void SubtreeWatches::Resync() {
    std::unordered_map<int, std::string> found;
    std::vector<std::string> pending{m_top};
    while (!pending.empty() && found.size() < kMaxSubdirectories) {
        const std::string dirPath = std::move(pending.back());
        pending.pop_back();
        DIR* dir = OpenDirectory(dirPath, dirPath == m_top);
        if (dir == nullptr)
            continue; // gone meanwhile, or not readable: its subdirectories stay unwatched
        while (const dirent* entry = readdir(dir)) {
            const std::string_view name(entry->d_name);
            // Tesmaro's own folder changes at every step of every batch: its
            // writes must not cost a rescan each.
            if (name == "." || name == ".." ||
                (dirPath == m_top && name == platform::kQueueFolderName) ||
                !IsDirectory(dir, *entry))
                continue;
            const std::string path = Join(dirPath, name);
            const int watch =
                inotify_add_watch(m_inotifyFd, path.c_str(), m_mask | IN_ONLYDIR | IN_DONT_FOLLOW);
            // The same directory reached twice (through a bind mount) yields the same
            // watch: it is walked only once, which also ends any loop.
            if (watch < 0 || watch == m_topWatch || found.count(watch) != 0)
                continue;
            found.emplace(watch, path);
            pending.push_back(path);
            if (found.size() >= kMaxSubdirectories)
                break;
        }
        closedir(dir);
    }
    for (const auto& [watch, path] : m_paths) {
        if (found.count(watch) == 0)
            inotify_rm_watch(m_inotifyFd, watch);
    }
    m_paths = std::move(found);
}

} // namespace watcher
