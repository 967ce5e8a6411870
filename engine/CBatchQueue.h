#pragma once

#include "engine/CBatch.h"
#include "engine/CBatchList.h"
#include "engine/EngineServices.h"
#include "engine/EventReporter.h"
#include "engine/RunRecord.h"
#include "engine/SettleWatch.h"
#include "platform/DurableMove.h"
#include "platform/QueueDirectoryLock.h"
#include "settings/CBatchParams.h"

#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace engine {

struct QueueFile;
class QueueFiles;

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

    // Rebuilds the list from the queue directory, and nothing else; always
    // non-zero. A missing or empty directory leaves the list empty.
    int Rescan();
    // Appends, for each batch in list order, its title and its creation time in
    // the locale's "%x %X" form. Non-zero.
    int DisplayRows(std::vector<std::string>& names, std::vector<std::string>& times) const;
    // Copies the engine's settings into the caller's record, or back; non-zero.
    int GetSettings(settings::CBatchParams& out) const;
    int SetSettings(const settings::CBatchParams& in);

    // Takes the queue directory's lock and reads its record of batches handed
    // over before (by this or any other Tesmaro). A batch left in the hand-over
    // call counts as accepted while the suite's queue holds items, and as
    // failed otherwise; it is never handed over again. Each tick does the same.
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
    // Hands a settled batch to the suite. Non-zero on acceptance and whenever
    // the batch is to wait: not settled yet, still open for writing, replaced
    // since the scan, or its hand-over cannot be recorded first. 0 when its
    // file cannot be read or the suite refuses it.
    int SubmitBatch(const CBatch& batch);
    // Sets the quan marker from the batch file's first line; non-zero when the
    // marker is there. Throws FileError when the file cannot be read.
    int DetectQuanMarker(const CBatch& batch);

    // Completion and filing.
    // Runs the result viewer as the settings ask, then files the current batch
    // as processed. Always true. Once this process is to stop, or while a
    // viewer's stage cannot be recorded, no viewer starts and the batch stays
    // at its stage, to be taken up again on a later tick or the next start.
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
    // False while another Tesmaro (or something else) holds the queue directory.
    bool OwnsQueueDirectory() const;
    // Why batches are not handed over, as far as the queue's lock and record go.
    enum class Access {
        Ours,             // the lock is held and the record read and written
        Missing,          // the queue directory cannot be opened
        InUse,            // another Tesmaro holds the queue
        Locked,           // something that is not a Tesmaro holds its lock
        RecordUnwritable, // the record (or its folder or lock) cannot be written
        RecordUnreadable, // the record is there but cannot be read
        RecordDamaged,    // the record is damaged: left as it is until someone mends it
        Steered,          // another user's link leads to the queue, Processed or Failed
    };
    Access QueueAccess() const { return m_access; }

private:
    // True when the finder finds exactly this path and it is not a directory:
    // a wildcard in its name stands for itself.
    bool FinderFindsFile(const std::string& path) const;

    // The names of the status and abort files where they lie in the queue
    // directory: Tesmaro's own files, never batches or companions.
    void NoteOwnNames();
    bool IsOwnName(const std::string& name) const;

    // The queue's lock and record (Recovery.cpp).
    // Holds the lock of the queue directory as set now and has its record
    // read and on disk; true when batches may be handed over and filed.
    bool TakeQueue();
    // False when another user's link lies on the way to the queue directory
    // (`queue` true) or to the Processed or Failed directory: that user could
    // steer batches and their files elsewhere.
    bool PlacesTrusted(bool queue);
    // Whether writers of the queue directory are seen, for the log.
    void NoteWriterGuard();
    // The record's store for the folder the lock holds.
    void AimRecordAt(const std::string& folder);
    bool LoadRecord();
    // Takes over the entries of the per-user record of earlier versions that
    // belong to this queue directory.
    bool MigrateLegacyRecord();
    // An old entry as this queue's record keeps it.
    RunEntry MigratedEntry(const LegacyRunEntry& old, const std::string& dir,
                           std::uint64_t queueDevice);
    // A batch left in the hand-over call: accepted while the suite holds
    // items, otherwise failed.
    void SettleInterruptedHandOvers();
    // Writes the record; on failure the queue waits and the log says why.
    bool SaveRecord();
    // `file` names the record in trouble when it is not the queue's own.
    void SetAccess(Access access, int error = 0, int line = 0, const std::string& file = {});
    // Forgets batches in flight whose file has left the queue directory, and
    // takes up again the one the suite runs.
    void Recover();
    void ForgetBatchesThatLeft();
    void AdoptBatchInFlight();
    // The record's entry for a listed batch, or null.
    const RunEntry* EntryOf(const CBatch& batch);
    // True when the file at `path` is the recorded one (a digest is read
    // only when size and time stamps cannot tell).
    enum class Recorded { Yes, No, Unknown };
    Recorded IsRecordedFile(const platform::FileIdentity& recorded, const std::string& path);
    // True when the batch's path still leads to the file the scan listed,
    // unchanged since.
    bool StillTheListedFile(const CBatch& batch);
    // True when a process on this machine is still writing the batch's file.
    bool WriterAtWork(const CBatch& batch);
    // The digest of the listed file, read once per version of it.
    std::uint64_t DigestOf(const std::string& path, const platform::FileIdentity& identity);

    // Filing (Completion.cpp).
    // Files every batch of the list, in list order: those that ran to
    // Processed, all others to Failed.
    void FileEveryWaitingBatch();
    // Moves the batch's files unless one of them is still being written; 0
    // when none of them is left in the queue directory and the moves are on
    // disk, else why not (an errno).
    int FileBatchFiles(const CBatch& batch, bool processed, const QueueFiles& files);
    // Flushes the filing destinations and the queue directory; 0 or an errno.
    int FlushFiling(const std::vector<std::string>& dests);
    int MoveBatchFiles(const CBatch& batch, const std::vector<const QueueFile*>& files,
                       const std::string& dest, platform::DurableMove& move,
                       std::vector<const QueueFile*>* moved = nullptr);
    // Files a batch that has finished one way or the other; its entry in the
    // record stays until none of its files is left and that is on disk.
    void FileAndForget(const CBatch& batch, bool processed);
    // A name that a destination refuses (too long, not allowed there) is no
    // passing fault: a batch bound for Processed goes to Failed instead, with
    // the reason; one that Failed refuses as well stays where it is, told
    // once and not tried again in this run. False for any other error.
    bool RedirectUnfileable(const CBatch& batch, bool processed, int error);
    // Records where a batch is to be filed (in memory; Save writes it).
    void NoteDestination(const CBatch& batch, bool processed);
    // Retries the filing of every batch that ran or failed earlier.
    void RetryPendingFilings();
    // The oldest batch of the list that has not been handed over or failed.
    const CBatch* OldestNotRun();
    bool QueueDirectoryPresent() const;
    bool FiledThisTick(const CBatch& batch) const;
    // The Processed or Failed directory, created when missing (one level).
    const std::string& FilingDestination(bool processed);
    // Removes, a part per tick, the temporary copies that a move killed
    // midway in an earlier run left in a filing destination; once per
    // destination and run.
    void SweepInterruptedCopies(const std::string& dest);

    // Asks the suite whether it runs, for the log as well.
    int SuiteRunning();
    // Tells the log that a batch was filed whole; `fallback` is the reason
    // for Failed when none is known.
    void ReportFiled(const CBatch& batch, bool processed,
                     EngineEvent::Reason fallback = EngineEvent::Reason::Unknown);

    EngineServices m_services;
    CBatchList m_list;
    // The finder every rescan uses, made once: its storage serves each scan.
    std::unique_ptr<external::CFileFindS> m_scanFinder;
    SettleWatch m_settle;
    CBatch m_current;
    settings::CBatchParams m_settings;
    int m_submitted = 0;

    // Stand-ins for services the caller left out.
    std::unique_ptr<external::QueueLibrary> m_ownLibrary;
    std::unique_ptr<Clock> m_ownClock;
    std::unique_ptr<platform::ProcessLauncher> m_ownLauncher;
    std::set<std::string> m_sweptDestinations;
    std::map<std::string, std::unique_ptr<platform::InterruptedCopySweep>> m_sweeps;
    static constexpr int kSweepNamesPerTick = 4096;
    // The record of the queue directory the lock holds, in its folder.
    std::unique_ptr<RunRecordStore> m_queueStore;
    RunRecord m_record;
    platform::QueueDirectoryLock m_queueLock;
    Access m_access = Access::Missing;
    std::string m_steeringLink; // while Steered: the link refused
    // The lock's generation the record was read under.
    std::uint64_t m_recordGeneration = 0;
    // Batches whose last file left during this tick, by path: still in the
    // list as it was scanned, but not to be submitted or filed again.
    std::vector<std::string> m_filedThisTick;
    std::vector<std::string> m_ownNames;
    // Batches whose names no destination takes, by their path in the queue
    // directory as set.
    std::set<std::string> m_givenUp;
    // Digests read this run, by path, with the identity they were read for.
    std::unordered_map<std::string, std::pair<platform::FileIdentity, std::uint64_t>> m_digests;

    EventReporter m_events{m_services.events};
};

// Formats calendar seconds as local date and time with the locale's "%x %X".
std::string FormatLocalTime(std::int64_t seconds);

} // namespace engine
