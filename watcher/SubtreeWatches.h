#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

namespace watcher {

// The watches on the subdirectories below a watched directory, at any depth,
// each under the path it was last found at. Symbolic links are never followed,
// and the number of subdirectories watched is capped so that a huge or looping
// tree cannot exhaust the user's inotify watches.
class SubtreeWatches {
public:
    static constexpr std::size_t kMaxSubdirectories = 4096;

    // inotifyFd and topWatch belong to the caller; mask is what each watch asks for.
    SubtreeWatches(int inotifyFd, std::string top, int topWatch, std::uint32_t mask);

    // Walks the tree below the top directory, watches every subdirectory not yet
    // watched, and removes the watches of directories no longer found in it.
    void Resync();
    // Forgets a watch the kernel has dropped.
    void Forget(int watch) { m_paths.erase(watch); }
    std::size_t Count() const { return m_paths.size(); }

private:
    int m_inotifyFd;
    std::string m_top;
    int m_topWatch;
    std::uint32_t m_mask;
    std::unordered_map<int, std::string> m_paths;
};

} // namespace watcher
