#include "engine/CBatchQueue.h"

#include <ctime>

namespace engine {

std::int64_t SystemClock::Now() { return static_cast<std::int64_t>(std::time(nullptr)); }

FinderFactory DefaultFinderFactory() {
    return [] { return std::make_unique<external::CFileFindS>(); };
}

CBatchQueue::CBatchQueue(EngineServices services) : m_services(std::move(services)) {}

std::string CBatchQueue::ScanPattern() const {
    std::string pattern = m_settings.QueueDir;
    if (pattern.empty() || pattern.back() != '/')
        pattern.push_back('/');
    return pattern + m_settings.Filters;
}

int CBatchQueue::Rescan() {
    m_list.RemoveAll();
    const auto finder = m_services.finders();
    if (!finder || !finder->FindFile(ScanPattern(), 0))
        return 1;
    std::vector<CBatch> found;
    int more = 1;
    while (more) {
        more = finder->FindNextFileA();
        if (finder->IsDirectory())
            continue;
        found.push_back(CBatch{finder->GetFileTitle(), finder->GetFilePath(),
                               finder->GetCreationTime(), finder->GetLastWriteTime()});
    }
    m_list.Assign(std::move(found));
    return 1;
}

std::string FormatLocalTime(std::int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr)
        return {};
    char buf[128];
    const std::size_t n = std::strftime(buf, sizeof buf, "%x %X", &local);
    return std::string(buf, n);
}

int CBatchQueue::DisplayRows(std::vector<std::string>& names,
                             std::vector<std::string>& times) const {
    names.reserve(names.size() + m_list.GetCount());
    times.reserve(times.size() + m_list.GetCount());
    for (const CBatch& batch : m_list) {
        names.push_back(batch.title);
        times.push_back(FormatLocalTime(batch.created));
    }
    return 1;
}

int CBatchQueue::GetSettings(settings::CBatchParams& out) const {
    out = m_settings;
    return 1;
}

int CBatchQueue::SetSettings(const settings::CBatchParams& in) {
    m_settings = in;
    return 1;
}

} // namespace engine
