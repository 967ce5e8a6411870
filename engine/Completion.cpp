#include "engine/CBatchQueue.h"
#include "engine/ViewerCommand.h"
#include "platform/DurableMove.h"
#include "platform/Path.h"
#include "platform/ProfileReader.h"
#include "platform/SemaphoreFile.h"

namespace engine {

namespace {

constexpr std::size_t kSchemeBufferSize = 260;

// A finder pattern that matches at least every name that begins with the title
// and a ".": a '*' or '?' in the title becomes '?', which matches it too.
std::string CompanionPattern(const std::string& queueDir, std::string title) {
    for (char& c : title)
        if (c == '*' || c == '?')
            c = '?';
    return platform::MakePath(queueDir, title, "*");
}

bool BelongsToBatch(const std::string& name, const std::string& title) {
    return name.size() > title.size() && name.compare(0, title.size(), title) == 0 &&
           name[title.size()] == '.';
}

} // namespace

bool CBatchQueue::CompleteBatch(const CBatch& batch) {
    // The viewer's results do not matter: the batch is filed as processed.
    if (m_settings.PrintReport != 0)
        LaunchViewer(batch, true);
    if (m_settings.CreateSummary != 0)
        LaunchViewer(batch, false);
    FileBatch(m_current, true);
    return true;
}

void CBatchQueue::FileBatch(const CBatch& batch, bool processed) {
    platform::FileOps& files = *m_services.files;
    const std::string& dest = processed ? m_settings.ProcessedDir : m_settings.FailedDir;
    platform::MakeDirectory(files, dest); // usually there already

    // The files are looked for in the queue directory as it is set now. A title
    // is matched literally: a wildcard in it must not take another batch's files.
    const auto finder = m_services.finders();
    if (!finder || !finder->FindFile(CompanionPattern(m_settings.QueueDir, batch.title), 0))
        return;
    platform::DurableMove move(files);
    for (int more = 1; more;) {
        more = finder->FindNextFileA();
        if (finder->IsDirectory())
            continue;
        const std::string name = finder->GetFileName();
        if (!BelongsToBatch(name, batch.title))
            continue;
        // A file that cannot be moved, or that another process is still writing,
        // stays in the queue directory and comes round again.
        move(finder->GetFilePath(), platform::MakePath(dest, name));
    }
}

bool CBatchQueue::LaunchViewer(const CBatch& batch, bool print) {
    const std::string base = ResultFileBase(batch.path);
    if (base.empty())
        return false;
    std::string extension;
    if (!GetResultExtension(m_settings.BrowserFile, extension))
        return false;
    const std::string resultPath = base + "." + extension;
    if (!FinderFindsFile(resultPath))
        return false;
    std::string scheme;
    if (!GetReportScheme(batch, scheme))
        scheme.clear();

    const std::string& viewer = m_settings.BrowserFile;
    const platform::ProcessRequest request{
        viewer, ViewerArguments(viewer, resultPath, print, scheme), ViewerWorkingDirectory(viewer)};
    return m_services.launcher->RunAndWait(request, ViewerWait(m_settings.ExternalTimeout));
}

bool CBatchQueue::GetResultExtension(const std::string& viewerPath, std::string& extension) const {
    if (viewerPath.empty()) {
        extension.clear();
        return false;
    }
    extension = viewerPath.find("Quorpix.exe") != std::string::npos ? "fpt" : "rpt";
    return true;
}

bool CBatchQueue::GetReportScheme(const CBatch& batch, std::string& scheme) {
    scheme = platform::ReadProfileString(*m_services.files, batch.path, "Batch", "ReportScheme", "",
                                         kSchemeBufferSize);
    if (scheme.empty())
        scheme = m_settings.SchemeName;
    return !scheme.empty();
}

} // namespace engine
