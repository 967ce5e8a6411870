#include "engine/CBatchQueue.h"
#include "engine/ViewerCommand.h"
#include "platform/DurableMove.h"
#include "platform/Path.h"
#include "platform/ProfileReader.h"
#include "platform/SemaphoreFile.h"

#include <string_view>
#include <unordered_map>
#include <vector>

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

// The files, not directories, that a finder search yields, in its order.
std::vector<QueueFile> FindQueueFiles(const FinderFactory& finders, const std::string& pattern) {
    std::vector<QueueFile> files;
    const auto finder = finders();
    if (!finder || !finder->FindFile(pattern, 0))
        return files;
    for (int more = 1; more;) {
        more = finder->FindNextFileA();
        if (!finder->IsDirectory())
            files.push_back({finder->GetFileName(), finder->GetFilePath()});
    }
    return files;
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
    const std::string& dest = FilingDestination(processed);
    // The files are looked for in the queue directory as it is set now. A title
    // is matched literally: a wildcard in it must not take another batch's files.
    platform::DurableMove move(*m_services.files);
    for (const QueueFile& file :
         FindQueueFiles(m_services.finders, CompanionPattern(m_settings.QueueDir, batch.title)))
        if (BelongsToBatch(file.name, batch.title))
            MoveToDestination(move, file, dest);
}

void CBatchQueue::FileEveryWaitingBatch(bool processed) {
    // The same as filing each batch of the list in turn, with one look at the
    // queue directory instead of one per batch: thousands of waiting batches
    // must not keep the window's thread busy for minutes.
    const std::string& dest = FilingDestination(processed);
    const std::vector<QueueFile> files =
        FindQueueFiles(m_services.finders, platform::MakePath(m_settings.QueueDir, "*"));
    // Every title a file may belong to: its name up to each of its dots, so
    // that B.a.olb is found for B and for B.a, in the finder's order.
    std::unordered_map<std::string_view, std::vector<std::size_t>> byTitle;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string_view name = files[i].name;
        for (auto dot = name.find('.'); dot != std::string_view::npos;
             dot = name.find('.', dot + 1))
            byTitle[name.substr(0, dot)].push_back(i);
    }
    platform::DurableMove move(*m_services.files);
    std::vector<bool> gone(files.size(), false);
    for (const CBatch& batch : m_list) {
        const auto found = byTitle.find(batch.title);
        if (found == byTitle.end())
            continue;
        // A file left behind stays for a later batch whose title it also matches.
        for (const std::size_t i : found->second)
            if (!gone[i])
                gone[i] = MoveToDestination(move, files[i], dest) == platform::MoveResult::Moved;
    }
}

const std::string& CBatchQueue::FilingDestination(bool processed) {
    const std::string& dest = processed ? m_settings.ProcessedDir : m_settings.FailedDir;
    platform::MakeDirectory(*m_services.files, dest); // usually there already
    return dest;
}

void CBatchQueue::SweepInterruptedCopiesOnce(const std::string& dest) {
    // A directory that cannot be read now is tried again on a later tick.
    if (dest.empty() || m_sweptDestinations.count(dest) != 0)
        return;
    struct stat st {};
    if (m_services.files->Lstat(dest.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return;
    platform::RemoveInterruptedCopies(*m_services.files, dest);
    m_sweptDestinations.insert(dest);
}

platform::MoveResult CBatchQueue::MoveToDestination(platform::DurableMove& move,
                                                    const QueueFile& file,
                                                    const std::string& dest) {
    // A file that cannot be moved, or that another process is still writing,
    // stays in the queue directory and comes round again.
    return move(file.path, platform::MakePath(dest, file.name));
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
