#include "engine/BatchFiles.h"
#include "engine/CBatchQueue.h"
#include "engine/ViewerCommand.h"
#include "engine/WriterCheck.h"
#include "platform/DurableMove.h"
#include "platform/DurableWrite.h"
#include "platform/Path.h"
#include "platform/ProfileReader.h"
#include "platform/RegularFile.h"
#include "platform/SemaphoreFile.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace engine {

namespace {

constexpr std::size_t kSchemeBufferSize = 260;

// True when another process on this machine is still writing one of the
// files. A file that cannot be opened tells nothing and does not hold the
// others back.
bool AnyBeingWritten(platform::FileOps& ops, const std::vector<const QueueFile*>& files,
                     const platform::WriterView* writers, const std::string& queueDir) {
    for (const QueueFile* file : files) {
        platform::FileHandle handle(ops, platform::OpenRegularFile(ops, file->path));
        if (handle.IsOpen() && StillBeingWritten(ops, handle.Get(), writers, queueDir, file->name))
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
    const RunEntry* found = EntryOf(m_current);
    const std::optional<RunEntry> entry =
        found != nullptr ? std::optional<RunEntry>(*found) : std::nullopt;
    const RunStage reached = entry ? entry->stage : RunStage::Accepted;
    // Once this process is to stop, no viewer starts, and none while its stage
    // cannot be written: the batch waits at its stage, taken up again on a
    // later tick or at the next start with the run still to come, never with
    // one that has been started already.
    const auto noteAndLaunch = [&](RunStage stage, bool print) {
        if (reached >= stage)
            return true;
        if (m_services.launcher->StopRequested())
            return false;
        if (entry) {
            m_record.SetStage(*entry, stage);
            if (!SaveRecord()) {
                m_record.SetStage(*entry, reached);
                return false;
            }
        }
        LaunchViewer(batch, print);
        return true;
    };
    bool viewersDone = m_settings.PrintReport == 0 || noteAndLaunch(RunStage::Printing, true);
    viewersDone = viewersDone &&
                  (m_settings.CreateSummary == 0 || noteAndLaunch(RunStage::Summarising, false));
    // A batch the record does not know could not be taken up again: it is
    // filed now, without the viewer runs left.
    if (viewersDone || !entry)
        FileAndForget(m_current, true);
    return true;
}

void CBatchQueue::FileBatch(const CBatch& batch, bool processed) {
    FileBatchFiles(batch, processed,
                   QueueFiles::For(m_services.finders, m_settings.QueueDir, batch, m_ownNames));
}

int CBatchQueue::FileBatchFiles(const CBatch& batch, bool processed, const QueueFiles& files) {
    platform::DurableMove move(*m_services.files);
    const std::string& dest = FilingDestination(processed);
    if (const int error = MoveBatchFiles(batch, files.Of(batch), dest, move); error != 0)
        return error;
    // Renames and removals are on disk before the record forgets the batch:
    // after a power cut the batch must not be back in the queue unrecorded.
    return FlushFiling({dest});
}

int CBatchQueue::FlushFiling(const std::vector<std::string>& dests) {
    platform::FileOps& ops = *m_services.files;
    // Each destination's own name is flushed as well, through "..", before the
    // queue directory: a destination made a moment ago (by FilingDestination
    // or anyone else) is not on disk until its parent is, and a power cut
    // would take the filed files with it once their removal from the queue
    // directory is on disk.
    for (const std::string& dest : dests)
        if (!platform::SyncDirectory(ops, dest) ||
            !platform::SyncDirectory(ops, platform::MakePath(dest, "..")))
            return errno != 0 ? errno : EIO;
    if (!platform::SyncDirectory(ops, m_settings.QueueDir))
        return errno != 0 ? errno : EIO;
    return 0;
}

int CBatchQueue::MoveBatchFiles(const CBatch& batch, const std::vector<const QueueFile*>& files,
                                const std::string& dest, platform::DurableMove& move,
                                std::vector<const QueueFile*>* moved) {
    // A file under the batch file's name that is not the file that ran is a
    // new batch dropped under the old name: it stays, to run in its turn.
    std::vector<const QueueFile*> ours;
    ours.reserve(files.size());
    for (const QueueFile* file : files) {
        if (batch.identity.Known() && file->name == BatchFileName(batch)) {
            const Recorded recorded = IsRecordedFile(batch.identity, file->path);
            if (recorded == Recorded::Unknown)
                return errno != 0 ? errno : EIO; // tried again on a later tick
            if (recorded == Recorded::No)
                continue;
        }
        ours.push_back(file);
    }
    // The batch is filed whole: while one of its files is still being written
    // (a viewer past its time-out, a late companion), none of them moves.
    if (AnyBeingWritten(*m_services.files, ours, m_services.writers, m_settings.QueueDir))
        return EBUSY;
    // A path longer than the system takes would stop one file midway: found
    // before any file moves, so that the batch is never split over it.
    for (const QueueFile* file : ours)
        if (file->path.size() >= PATH_MAX || dest.size() + 1 + file->name.size() >= PATH_MAX)
            return ENAMETOOLONG;
    int cause = 0;
    for (const QueueFile* file : ours) {
        // A file that cannot be moved, or that another process is still
        // writing, stays in the queue directory and comes round again.
        errno = 0;
        const platform::MoveResult result = move(file->path, platform::MakePath(dest, file->name));
        if (result == platform::MoveResult::Moved) {
            if (moved != nullptr)
                moved->push_back(file);
        } else if (cause == 0) {
            // For the log: the cause of the first file that stayed.
            cause = result == platform::MoveResult::SourceBusy ? EBUSY : (errno != 0 ? errno : EIO);
        }
    }
    return cause;
}

void CBatchQueue::FileAndForget(const CBatch& batch, bool processed) {
    // The destination is on disk before the first file moves: a stop midway
    // must not leave the rest behind once the batch file itself has gone.
    NoteDestination(batch, processed);
    if (!SaveRecord())
        return;
    const int error =
        FileBatchFiles(batch, processed,
                       QueueFiles::For(m_services.finders, m_settings.QueueDir, batch, m_ownNames));
    if (error != 0) {
        if (!RedirectUnfileable(batch, processed, error))
            m_events.FilingLeftFiles(batch, error);
        return;
    }
    // "Nothing left" counts only when the directory could be read.
    if (!QueueDirectoryPresent())
        return;
    ReportFiled(batch, processed);
    if (const RunEntry* entry = EntryOf(batch))
        m_record.Erase(*entry);
    m_filedThisTick.push_back(batch.path);
    SaveRecord();
}

bool CBatchQueue::RedirectUnfileable(const CBatch& batch, bool processed, int error) {
    if (error != ENAMETOOLONG && error != EILSEQ && error != EINVAL)
        return false;
    const RunEntry* entry = m_record.Exact(BatchFileName(batch), batch.identity);
    if (entry == nullptr)
        entry = EntryOf(batch);
    if (processed && entry != nullptr) {
        m_record.SetStage(*entry, RunStage::Failed);
        if (SaveRecord())
            m_events.NoteFailure(batch.path, EngineEvent::Reason::Unfileable, error);
        return true;
    }
    if (m_givenUp.insert(platform::MakePath(m_settings.QueueDir, BatchFileName(batch))).second)
        m_events.Report(EngineEvent::OfBatch(EngineEvent::Kind::FilingGivenUp, batch, error));
    return true;
}

void CBatchQueue::NoteDestination(const CBatch& batch, bool processed) {
    const RunStage stage = processed ? RunStage::Processed : RunStage::Failed;
    if (const RunEntry* entry = EntryOf(batch)) {
        if (entry->InFlight())
            m_record.SetStage(*entry, stage);
    } else {
        RunEntry fresh{batch.identity, BatchFileName(batch), batch.title, stage};
        fresh.identity.device = 0;
        m_record.Put(fresh);
    }
}

void CBatchQueue::RetryPendingFilings() {
    std::vector<RunEntry> pending;
    for (const RunEntry& entry : m_record.Entries())
        if (entry.AwaitsFiling() &&
            m_givenUp.count(platform::MakePath(m_settings.QueueDir, entry.name)) == 0)
            pending.push_back(entry);
    if (pending.empty())
        return;
    // One look at the queue directory for all of them: a record with
    // thousands of unfiled batches must not hold the tick.
    QueueFiles files(m_services.finders, platform::MakePath(m_settings.QueueDir, "*"), m_ownNames);
    platform::DurableMove move(*m_services.files);
    std::vector<std::pair<CBatch, bool>> whole;
    std::vector<std::string> dests;
    for (const bool processed : {true, false})
        if (std::any_of(pending.begin(), pending.end(),
                        [processed](const RunEntry& e) { return e.ToProcessed() == processed; }))
            dests.push_back(FilingDestination(processed));
    for (const RunEntry& entry : pending) {
        CBatch batch;
        batch.title = entry.title;
        batch.path = platform::MakePath(m_settings.QueueDir, entry.name);
        batch.identity = entry.identity;
        const bool processed = entry.ToProcessed();
        std::vector<const QueueFile*> moved;
        const int error = MoveBatchFiles(batch, files.Of(batch),
                                         processed ? m_settings.ProcessedDir : m_settings.FailedDir,
                                         move, &moved);
        for (const QueueFile* file : moved)
            files.Take(file);
        if (error == 0)
            whole.emplace_back(std::move(batch), processed);
        else if (!RedirectUnfileable(batch, processed, error))
            m_events.FilingLeftFiles(batch, error);
    }
    // The moves are on disk before the record forgets a batch, and "nothing
    // left" counts only when the directory could be read.
    if (whole.empty() || FlushFiling(dests) != 0 || !QueueDirectoryPresent())
        return;
    for (const auto& [batch, processed] : whole) {
        ReportFiled(batch, processed);
        if (const RunEntry* entry = m_record.Exact(BatchFileName(batch), batch.identity))
            m_record.Erase(*entry);
        m_filedThisTick.push_back(batch.path);
    }
    SaveRecord();
}

void CBatchQueue::FileEveryWaitingBatch() {
    // The same as filing each batch of the list in turn, with one look at the
    // queue directory instead of one per batch: thousands of waiting batches
    // must not keep the window's thread busy for minutes.
    QueueFiles files(m_services.finders, platform::MakePath(m_settings.QueueDir, "*"), m_ownNames);
    // The batches in flight go to Failed, and that is on disk before any file
    // of theirs moves. Batches filed earlier in this tick are done.
    std::vector<const CBatch*> batches;
    for (const CBatch& batch : m_list) {
        if (FiledThisTick(batch))
            continue;
        batches.push_back(&batch);
        // Every batch's destination is on disk before its files move, so that
        // a stop midway finishes the move rather than running what is left.
        if (const RunEntry* entry = EntryOf(batch); entry == nullptr || entry->InFlight())
            NoteDestination(batch, false);
    }
    if (!SaveRecord())
        return;
    platform::DurableMove move(*m_services.files);
    std::vector<std::pair<const CBatch*, bool>> outcomes;
    std::vector<std::string> dests;
    for (const CBatch* batch : batches) {
        // A batch that ran keeps the destination chosen when it ended.
        const RunEntry* entry = EntryOf(*batch);
        const bool processed = entry != nullptr && entry->ToProcessed();
        const std::string& dest = processed ? m_settings.ProcessedDir : m_settings.FailedDir;
        if (std::find(dests.begin(), dests.end(), dest) == dests.end())
            dests.push_back(dest);
        std::vector<const QueueFile*> moved;
        const int error =
            MoveBatchFiles(*batch, files.Of(*batch), FilingDestination(processed), move, &moved);
        // A file left behind stays for a later batch whose title it also matches.
        for (const QueueFile* file : moved)
            files.Take(file);
        if (error != 0)
            m_events.FilingLeftFiles(*batch, error);
        outcomes.emplace_back(batch, error == 0);
    }
    // Only batches the record knows are remembered: one that never ran and
    // could not be filed is filed again on the next tick of the abort. Every
    // move is on disk before the record forgets a batch.
    const bool flushed = FlushFiling(dests) == 0;
    const bool present = QueueDirectoryPresent();
    for (const auto& [batch, whole] : outcomes) {
        const RunEntry* entry = EntryOf(*batch);
        if (!whole || !present || !flushed) {
            if (entry != nullptr && !entry->ToProcessed())
                m_events.NoteFailureUnlessKnown(batch->path, EngineEvent::Reason::Aborted);
            continue;
        }
        ReportFiled(*batch, entry != nullptr && entry->ToProcessed(), EngineEvent::Reason::Aborted);
        if (entry != nullptr)
            m_record.Erase(*entry);
    }
    SaveRecord();
}

const std::string& CBatchQueue::FilingDestination(bool processed) {
    const std::string& dest = processed ? m_settings.ProcessedDir : m_settings.FailedDir;
    platform::MakeDirectory(*m_services.files, dest); // usually there already
    return dest;
}

void CBatchQueue::SweepInterruptedCopies(const std::string& dest) {
    // A directory that cannot be read now is tried again on a later tick; a
    // stop request ends the sweep at once.
    if (dest.empty() || m_sweptDestinations.count(dest) != 0 ||
        m_services.launcher->StopRequested())
        return;
    auto [sweep, fresh] = m_sweeps.try_emplace(dest);
    if (fresh) {
        struct stat st {};
        if (m_services.files->Lstat(dest.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            m_sweeps.erase(sweep);
            return;
        }
        sweep->second = std::make_unique<platform::InterruptedCopySweep>(*m_services.files, dest);
    }
    // However many names the destination holds, a tick reads a part of them.
    if (sweep->second->Step(kSweepNamesPerTick) == platform::InterruptedCopySweep::Progress::Done) {
        m_sweeps.erase(sweep);
        m_sweptDestinations.insert(dest);
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
