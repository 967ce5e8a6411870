#include "engine/CBatchQueue.h"
#include "engine/ViewerCommand.h"
#include "platform/DurableMove.h"
#include "platform/Path.h"
#include "platform/ProfileReader.h"
#include "platform/ReadLease.h"
#include "platform/RegularFile.h"
#include "platform/SemaphoreFile.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace engine {

namespace {

constexpr std::size_t kSchemeBufferSize = 260;

std::string BatchFileName(const CBatch& batch) {
    return platform::SplitPath(batch.path).name;
}

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

// The batch's files: its own file, also without an extension, and every name
// that is its title and a "." and more. An empty title takes nothing else, so
// a batch named ".olb" never takes the directory's other dotfiles.
bool BelongsToBatch(const std::string& name, const CBatch& batch) {
    const std::string& title = batch.title;
    if (name == BatchFileName(batch))
        return true;
    return !title.empty() && name.size() > title.size() &&
           name.compare(0, title.size(), title) == 0 && name[title.size()] == '.';
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

// True when another process has one of the files open for writing. A file
// that cannot be opened tells nothing and does not hold the others back.
bool AnyBeingWritten(platform::FileOps& ops, const std::vector<const QueueFile*>& files) {
    for (const QueueFile* file : files) {
        platform::FileHandle handle(ops, platform::OpenRegularFile(ops, file->path));
        if (handle.IsOpen() && platform::ReadLease(ops, handle.Get()).WriterActive())
            return true;
    }
    return false;
}

} // namespace

bool CBatchQueue::CompleteBatch(const CBatch& batch) {
    m_events.Report(EngineEvent::Completed(batch));
    // Each viewer run is noted before it starts, so that no viewer ever runs
    // twice for one batch, whenever this process ends. Its result does not
    // matter: the batch is filed as processed.
    const RunEntry* entry = m_record.Find(m_current.identity, m_current.path);
    const RunStage reached = entry != nullptr ? entry->stage : RunStage::Accepted;
    // Once this process is to stop, no viewer starts: a batch with a viewer
    // run still to come is left to its record, which takes it up at the next
    // start with that run, never with one that has been started already.
    const bool recorded = entry != nullptr;
    const auto noteAndLaunch = [&](RunStage stage, bool print) {
        if (reached >= stage)
            return true;
        if (m_services.launcher->StopRequested())
            return false;
        m_record.SetStage(m_current.identity, m_current.path, stage);
        if (!recorded || m_record.Save())
            LaunchViewer(batch, print);
        return true;
    };
    bool viewersDone = m_settings.PrintReport == 0 || noteAndLaunch(RunStage::Printing, true);
    viewersDone = viewersDone &&
                  (m_settings.CreateSummary == 0 || noteAndLaunch(RunStage::Summarising, false));
    // A batch the record does not know could not be taken up again: it is
    // filed now, without the viewer runs left.
    if (viewersDone || !recorded)
        FileAndForget(m_current, true);
    return true;
}

void CBatchQueue::FileBatch(const CBatch& batch, bool processed) {
    FileBatchFiles(batch, processed);
}

bool CBatchQueue::FileBatchFiles(const CBatch& batch, bool processed) {
    const std::string& dest = FilingDestination(processed);
    // The files are looked for in the queue directory as it is set now. A title
    // is matched literally: a wildcard in it must not take another batch's files.
    const std::vector<QueueFile> found =
        FindQueueFiles(m_services.finders, BatchFilesPattern(m_settings.QueueDir, batch));
    std::vector<const QueueFile*> files;
    for (const QueueFile& file : found)
        if (BelongsToBatch(file.name, batch))
            files.push_back(&file);
    platform::DurableMove move(*m_services.files);
    return MoveBatchFiles(batch, files, dest, move);
}

bool CBatchQueue::MoveBatchFiles(const CBatch& batch, const std::vector<const QueueFile*>& files,
                                 const std::string& dest, platform::DurableMove& move,
                                 std::vector<const QueueFile*>* moved) {
    // A file under the batch file's name that is not the file that ran is a
    // new batch dropped under the old name: it stays, to run in its turn.
    std::vector<const QueueFile*> ours;
    ours.reserve(files.size());
    for (const QueueFile* file : files) {
        platform::FileIdentity now;
        if (batch.identity.Known() && file->name == BatchFileName(batch) &&
            platform::IdentifyAt(AT_FDCWD, file->path.c_str(), now) && !(now == batch.identity))
            continue;
        ours.push_back(file);
    }
    // The batch is filed whole: while one of its files is still being written
    // (a viewer past its time-out, a late companion), none of them moves.
    if (AnyBeingWritten(*m_services.files, ours)) {
        m_filingError = EBUSY;
        return false;
    }
    bool all = true;
    for (const QueueFile* file : ours) {
        errno = 0;
        const platform::MoveResult result = MoveToDestination(move, *file, dest);
        if (result == platform::MoveResult::Moved) {
            if (moved != nullptr)
                moved->push_back(file);
        } else {
            // For the log: the cause of the first file that stayed.
            if (all) {
                const int cause = result == platform::MoveResult::SourceBusy ? EBUSY : errno;
                m_filingError = cause != 0 ? cause : EIO;
            }
            all = false;
        }
    }
    return all;
}

void CBatchQueue::FileAndForget(const CBatch& batch, bool processed) {
    // The destination is on disk before the first file moves: a stop midway
    // must not leave the rest behind once the batch file itself has gone.
    NoteDestination(batch, processed);
    m_record.Save();
    // "Nothing left" counts only when the directory could be read.
    const bool whole = FileBatchFiles(batch, processed);
    if (!whole)
        m_events.FilingLeftFiles(batch, m_filingError);
    if (whole && QueueDirectoryPresent()) {
        ReportFiled(batch, processed);
        m_record.Erase(batch.identity, batch.path);
        if (batch.identity.Known())
            m_filedThisTick.push_back(batch.identity);
        m_record.Save();
    }
}

void CBatchQueue::NoteDestination(const CBatch& batch, bool processed) {
    const RunStage stage = processed ? RunStage::Processed : RunStage::Failed;
    if (const RunEntry* entry = m_record.Find(batch.identity, batch.path)) {
        if (entry->InFlight())
            m_record.SetStage(batch.identity, batch.path, stage);
    } else {
        m_record.Put({batch.identity, batch.path, batch.title, stage});
    }
}

void CBatchQueue::RetryPendingFilings() {
    for (const RunEntry& entry : std::vector<RunEntry>(m_record.Entries())) {
        if (!entry.AwaitsFiling())
            continue;
        CBatch batch;
        batch.title = entry.title;
        batch.path = entry.path;
        batch.identity = entry.identity;
        FileAndForget(batch, entry.ToProcessed());
    }
}

void CBatchQueue::FileEveryWaitingBatch() {
    // The same as filing each batch of the list in turn, with one look at the
    // queue directory instead of one per batch: thousands of waiting batches
    // must not keep the window's thread busy for minutes.
    const std::vector<QueueFile> files =
        FindQueueFiles(m_services.finders, platform::MakePath(m_settings.QueueDir, "*"));
    // Every title a file may belong to: its name up to each of its dots, so
    // that B.a.olb is found for B and for B.a, in the finder's order; and
    // every name, for a batch file without an extension.
    std::unordered_map<std::string_view, std::vector<std::size_t>> byTitle;
    std::unordered_map<std::string_view, std::size_t> byName;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string_view name = files[i].name;
        byName.emplace(name, i);
        for (auto dot = name.find('.'); dot != std::string_view::npos;
             dot = name.find('.', dot + 1))
            if (dot > 0)
                byTitle[name.substr(0, dot)].push_back(i);
    }
    // The batches in flight go to Failed, and that is on disk before any file
    // of theirs moves.
    for (const CBatch& batch : m_list)
        if (const RunEntry* entry = m_record.Find(batch.identity, batch.path);
            entry != nullptr && entry->InFlight())
            NoteDestination(batch, false);
    m_record.Save();
    platform::DurableMove move(*m_services.files);
    std::vector<bool> gone(files.size(), false);
    std::vector<std::pair<const CBatch*, bool>> outcomes;
    for (const CBatch& batch : m_list) {
        std::vector<const QueueFile*> mine;
        if (const auto found = byTitle.find(batch.title);
            !batch.title.empty() && found != byTitle.end())
            for (const std::size_t i : found->second)
                if (!gone[i])
                    mine.push_back(&files[i]);
        if (const auto own = byName.find(BatchFileName(batch));
            own != byName.end() && !gone[own->second] &&
            std::find(mine.begin(), mine.end(), &files[own->second]) == mine.end())
            mine.push_back(&files[own->second]);
        // A batch that ran keeps the destination chosen when it ended.
        const RunEntry* entry = m_record.Find(batch.identity, batch.path);
        const bool processed = entry != nullptr && entry->ToProcessed();
        std::vector<const QueueFile*> moved;
        const bool whole = MoveBatchFiles(batch, mine, FilingDestination(processed), move, &moved);
        // A file left behind stays for a later batch whose title it also matches.
        for (const QueueFile* file : moved)
            gone[static_cast<std::size_t>(file - files.data())] = true;
        if (!whole)
            m_events.FilingLeftFiles(batch, m_filingError);
        outcomes.emplace_back(&batch, whole);
    }
    // Only batches the record knows are remembered: one that never ran and
    // could not be filed is filed again on the next tick of the abort.
    const bool present = QueueDirectoryPresent();
    for (const auto& [batch, whole] : outcomes) {
        const RunEntry* entry = m_record.Find(batch->identity, batch->path);
        if (!whole || !present) {
            if (entry != nullptr && !entry->ToProcessed())
                m_events.NoteFailureUnlessKnown(batch->path, EngineEvent::Reason::Aborted);
            continue;
        }
        ReportFiled(*batch, entry != nullptr && entry->ToProcessed(), EngineEvent::Reason::Aborted);
        if (entry != nullptr)
            m_record.Erase(batch->identity, batch->path);
    }
    m_record.Save();
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
    const std::chrono::milliseconds wait = ViewerWait(m_settings.ExternalTimeout);
    m_events.Report(EngineEvent::ViewerStarted(batch, request.arguments));
    const platform::RunOutcome outcome = m_services.launcher->RunAndWait(request, wait);
    m_events.Report(EngineEvent::ViewerEnded(batch, outcome, wait));
    return outcome.Started();
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
