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
    const std::string own = BatchFileName(batch);
    if (name == own)
        return true;
    if (title.empty() || name.size() <= title.size() || name.compare(0, title.size(), title) != 0 ||
        name[title.size()] != '.')
        return false;
    // The batch file's extension, with its dot, ends the name of another batch.
    const auto ownDot = own.rfind('.');
    if (ownDot == std::string::npos)
        return true;
    const std::string_view extension = std::string_view(own).substr(ownDot);
    const auto dot = name.rfind('.');
    return dot == title.size() || std::string_view(name).substr(dot) != extension;
}

QueueFiles::QueueFiles(const FinderFactory& finders, const std::string& pattern,
                       const std::vector<std::string>& ownNames) {
    const auto finder = finders();
    if (finder && finder->FindFile(pattern, 0)) {
        for (int more = 1; more;) {
            more = finder->FindNextFileA();
            if (!finder->IsDirectory() && std::find(ownNames.begin(), ownNames.end(),
                                                    finder->GetFileName()) == ownNames.end())
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
                           const CBatch& batch, const std::vector<std::string>& ownNames) {
    // A title is matched literally: a wildcard in it must not take another
    // batch's files.
    return QueueFiles(finders, BatchFilesPattern(queueDir, batch), ownNames);
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
