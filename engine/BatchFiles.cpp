#include "engine/BatchFiles.h"

#include "platform/Path.h"

#include <algorithm>

namespace engine {

namespace {

// A finder pattern that matches at least every file of the batch: its title
// and anything after it, or, for an empty title, its own name alone. A '*' or
// '?' in it becomes '?', which matches it too.
std::string BatchFilesPattern(const std::string& queueDir, const CBatch& batch) {
    std::string stem = batch.title.empty() ? BatchFileName(batch) : batch.title + "*";
    for (std::size_t i = 0; i + (batch.title.empty() ? 0 : 1) < stem.size(); ++i)
        if (stem[i] == '*' || stem[i] == '?')
            stem[i] = '?';
    return platform::MakePath(queueDir, stem);
}

} // namespace

std::string BatchFileName(const CBatch& batch) {
    return platform::SplitPath(batch.path).name;
}

bool BelongsToBatch(const std::string& name, const CBatch& batch) {
    const std::string& title = batch.title;
    if (name == BatchFileName(batch))
        return true;
    return !title.empty() && name.size() > title.size() &&
           name.compare(0, title.size(), title) == 0 && name[title.size()] == '.';
}

QueueFiles::QueueFiles(const FinderFactory& finders, const std::string& pattern) {
    const auto finder = finders();
    if (finder && finder->FindFile(pattern, 0)) {
        for (int more = 1; more;) {
            more = finder->FindNextFileA();
            if (!finder->IsDirectory())
                m_files.push_back({finder->GetFileName(), finder->GetFilePath()});
        }
    }
    m_taken.assign(m_files.size(), false);
    for (std::size_t i = 0; i < m_files.size(); ++i) {
        const std::string_view name = m_files[i].name;
        m_byName.emplace(name, i);
        for (auto dot = name.find('.'); dot != std::string_view::npos;
             dot = name.find('.', dot + 1))
            if (dot > 0)
                m_byTitle[name.substr(0, dot)].push_back(i);
    }
}

QueueFiles QueueFiles::For(const FinderFactory& finders, const std::string& queueDir,
                           const CBatch& batch) {
    // A title is matched literally: a wildcard in it must not take another
    // batch's files.
    return QueueFiles(finders, BatchFilesPattern(queueDir, batch));
}

std::vector<const QueueFile*> QueueFiles::Of(const CBatch& batch) const {
    std::vector<const QueueFile*> mine;
    if (const auto found = m_byTitle.find(batch.title);
        !batch.title.empty() && found != m_byTitle.end())
        for (const std::size_t i : found->second)
            if (!m_taken[i] && BelongsToBatch(m_files[i].name, batch))
                mine.push_back(&m_files[i]);
    if (const auto own = m_byName.find(BatchFileName(batch));
        own != m_byName.end() && !m_taken[own->second] &&
        std::find(mine.begin(), mine.end(), &m_files[own->second]) == mine.end())
        mine.push_back(&m_files[own->second]);
    return mine;
}

void QueueFiles::Take(const QueueFile* file) {
    m_taken[static_cast<std::size_t>(file - m_files.data())] = true;
}

} // namespace engine
