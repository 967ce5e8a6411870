#pragma once

#include "engine/CBatch.h"
#include "engine/CBatchList.h"
#include "engine/EngineServices.h"
#include "engine/EventReporter.h"
#include "engine/RunRecord.h"
#include "platform/DurableMove.h"
#include "platform/QueueDirectoryLock.h"
#include "settings/CBatchParams.h"

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace engine {

// One file of the queue directory, as a search found it.
struct QueueFile {
    std::string name;
    std::string path;
};

// The batch queue engine: the waiting batches, the batch handed to the suite,
// the settings and the submitted flag. One ProcessStep per timer tick runs the
// whole cycle: abort handling, the status file, submission, completion and
// filing.
class CBatchQueue {
public:
    explicit CBatchQueue(EngineServices services);
    ~CBatchQueue();
    CBatchQueue(const CBatchQueue&) = delete;
    CBatchQueue& operator=(const CBatchQueue&) = delete;

    // Rebuilds the list from the queue directory; always non-zero. A missing or
    // empty directory leaves the list empty.
    int Rescan();
    // Appends, for each batch in list order, its title and its creation time in
    // the locale's "%x %X" form. Non-zero.
    int DisplayRows(std::vector<std::string>& names, std::vector<std::string>& times) const;
    // Copies the engine's settings into the caller's record, or back; non-zero.
    int GetSettings(settings::CBatchParams& out) const;
    int SetSettings(const settings::CBatchParams& in);

    // Reads the record of batches handed over before a restart. A batch left
    // in the hand-over call counts as accepted while the suite's queue holds
    // items, and as failed otherwise; it is never handed over again.
    void RestoreRunRecord();

    // Processing cycle.
    // One tick of the processing cycle; non-zero when it ran.
    int ProcessStep();
    // The text of the window's second status line.
    std::string StatusMessage();
    // Non-zero when the suite's queue holds items and the suite runs.
    int IsBusy();
    // Non-zero when the abort file exists (never when AbortFile is empty).
    int IsAbortSet();
    // Stops the suite's queue and files every waiting batch as failed.
    int AbortAll();
    // Makes the status file's presence match whether there is work.
    int UpdateStatusFile();

    // Submission.
    // Hands a settled batch to the suite. Non-zero on acceptance and while the
    // batch has not settled yet; 0 when its file cannot be read or the suite
    // refuses it.
    int SubmitBatch(const CBatch& batch);
    // Sets the quan marker from the batch file's first line; non-zero when the
    // marker is there. Throws FileError when the file cannot be read.
    int DetectQuanMarker(const CBatch& batch);

    // Completion and filing.
    // Runs the result viewer as the settings ask, then files the current batch
    // as processed. Always true.
    bool CompleteBatch(const CBatch& batch);
    // Moves every file of the batch from the queue directory to the Processed
    // (processed true) or the Failed directory.
    void FileBatch(const CBatch& batch, bool processed);
    // Runs the viewer on the batch's result file, to print its report (print
    // true) or to create its summary. True when the viewer was started.
    bool LaunchViewer(const CBatch& batch, bool print);
    // "fpt" when the viewer's path contains "Quorpix.exe", else "rpt"; false
    // (and empty) for an empty path.
    bool GetResultExtension(const std::string& viewerPath, std::string& extension) const;
    // The batch file's own report scheme, else the SchemeName setting; true
    // when the result is not empty.
    bool GetReportScheme(const CBatch& batch, std::string& scheme);

    // The scan pattern: the queue directory, "/" unless it ends in one, the filter.
    std::string ScanPattern() const;

    const CBatchList& List() const { return m_list; }
    const CBatch& CurrentBatch() const { return m_current; }
    const settings::CBatchParams& Settings() const { return m_settings; }
    int Submitted() const { return m_submitted; }
    const RunRecord& Runs() const { return m_record; }
    // False while another Tesmaro works the queue directory.
    bool OwnsQueueDirectory() const;

private:
    // True when the finder finds exactly this path and it is not a directory:
    // a wildcard in its name stands for itself.
    bool FinderFindsFile(const std::string& path) const;
    // Files every batch of the list, in list order, as FileBatch would: those
    // that ran to Processed, all others to Failed.
    void FileEveryWaitingBatch();
    // Moves the batch's files unless one of them is still being written; true
    // when none of them is left in the queue directory.
    bool FileBatchFiles(const CBatch& batch, bool processed);
    bool MoveBatchFiles(const CBatch& batch, const std::vector<const QueueFile*>& files,
                        const std::string& dest, platform::DurableMove& move,
                        std::vector<const QueueFile*>* moved = nullptr);
    // Files a batch that has finished one way or the other; its entry in the
    // record stays until none of its files is left.
    void FileAndForget(const CBatch& batch, bool processed);
    // Records where a batch is to be filed (in memory; Save writes it).
    void NoteDestination(const CBatch& batch, bool processed);
    // Retries the filing of every batch that ran or failed earlier.
    void RetryPendingFilings();
    // The oldest batch of the list that has not been handed over or failed.
    const CBatch* OldestNotRun() const;
    // Takes up again a batch of the record that the suite runs, once its file
    // is listed again (after a restart or a short outage of the directory).
    void AdoptBatchInFlight();
    // Forgets batches in flight whose file has left the queue directory.
    void ForgetBatchesThatLeft();
    bool QueueDirectoryPresent() const;
    bool FiledThisTick(const CBatch& batch) const;
    // The Processed or Failed directory, created when missing (one level).
    const std::string& FilingDestination(bool processed);
    platform::MoveResult MoveToDestination(platform::DurableMove& move, const QueueFile& file,
                                           const std::string& dest);
    // Removes, once per directory and run, the temporary copies that a move
    // killed midway in an earlier run left in a filing destination.
    void SweepInterruptedCopiesOnce(const std::string& dest);

    // Asks the suite whether it runs, for the log as well.
    int SuiteRunning();
    // Tells the log about the queue directory from the lock's state after a Hold.
    void NoteQueueDirectory(platform::QueueDirectoryLock::State lock);
    // Tells the log that a batch was filed whole; `fallback` is the reason
    // for Failed when none is known.
    void ReportFiled(const CBatch& batch, bool processed,
                     EngineEvent::Reason fallback = EngineEvent::Reason::Unknown);

    EngineServices m_services;
    CBatchList m_list;
    CBatch m_current;
    settings::CBatchParams m_settings;
    int m_submitted = 0;

    // Stand-ins for services the caller left out.
    std::unique_ptr<external::QueueLibrary> m_ownLibrary;
    std::unique_ptr<Clock> m_ownClock;
    std::unique_ptr<platform::ProcessLauncher> m_ownLauncher;
    std::set<std::string> m_sweptDestinations;
    std::unique_ptr<MemoryRunRecordStore> m_ownRunStore;
    RunRecord m_record;
    platform::QueueDirectoryLock m_queueLock;
    // False while a stored record exists that could not be read: until it is,
    // nothing is handed over.
    bool m_recordRead = true;
    // Batches whose last file left during this tick: still in the list as it
    // was scanned, but not to be submitted.
    std::vector<platform::FileIdentity> m_filedThisTick;

    EventReporter m_events{m_services.events};
    // Why the last MoveBatchFiles left a file behind (EBUSY while one is being written).
    int m_filingError = 0;
};

// Formats calendar seconds as local date and time with the locale's "%x %X".
std::string FormatLocalTime(std::int64_t seconds);

} // namespace engine
