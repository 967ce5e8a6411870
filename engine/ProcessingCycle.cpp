#include "engine/CBatchQueue.h"
#include "engine/StatusTexts.h"
#include "platform/FileSystemKind.h"
#include "platform/Path.h"
#include "platform/SemaphoreFile.h"

namespace engine {

int CBatchQueue::ProcessStep() {
    m_filedThisTick.clear();
    // Viewers that outlived an earlier wait are reaped as soon as they end.
    m_services.launcher->ReapEnded();
    Rescan();
    // Another Tesmaro works this queue directory (it hands over, files and
    // aborts; this one only shows the list), or its record cannot be kept:
    // nothing is handed over or filed that the record could not vouch for.
    if (!TakeQueue())
        return 1;
    NoteWriterGuard();
    Recover();
    SweepInterruptedCopies(m_settings.ProcessedDir);
    SweepInterruptedCopies(m_settings.FailedDir);
    // Batches that ran or failed and could not be filed are filed before
    // anything else happens, and never submitted again.
    RetryPendingFilings();
    if (IsAbortSet()) {
        AbortAll();
        return 1;
    }
    if (m_list.IsEmpty()) {
        // The submitted batch's files left the queue directory without completion.
        m_submitted = 0;
        UpdateStatusFile();
        return 1;
    }
    UpdateStatusFile();
    if (SuiteRunning() == 0 || IsBusy() != 0)
        return 1;
    if (m_submitted != 0) {
        CompleteBatch(m_current);
        m_submitted = 0;
        return 1;
    }
    const CBatch* next = OldestNotRun();
    if (next == nullptr)
        return 1;
    m_current = *next;
    if (SubmitBatch(m_current) == 0 && m_access == Access::Ours)
        FileAndForget(m_current, false);
    return 1;
}

void CBatchQueue::NoteWriterGuard() {
    const std::string& dir = m_settings.QueueDir;
    int why = 0;
    if (m_services.writers == nullptr || !m_services.writers->Watching(dir))
        why = 1;
    else if (platform::OnSharedFileSystem(dir))
        why = 2;
    m_events.WriterGuardSeen(dir, why);
}

int CBatchQueue::IsBusy() {
    if (m_services.library->GetNumberOfQueueItems() <= 0)
        return 0;
    return SuiteRunning() != 0 ? 1 : 0;
}

int CBatchQueue::IsAbortSet() {
    if (m_settings.AbortFile.empty())
        return 0;
    return FinderFindsFile(m_settings.AbortFile) ? 1 : 0;
}

int CBatchQueue::AbortAll() {
    if (SuiteRunning() != 0)
        m_services.library->QueueControl(1);
    FileEveryWaitingBatch();
    m_submitted = 0;
    UpdateStatusFile();
    return 1;
}

int CBatchQueue::UpdateStatusFile() {
    platform::FileOps& files = *m_services.files;
    if (m_list.IsEmpty() && m_submitted == 0 && IsBusy() == 0) {
        platform::DeleteSemaphoreFile(files, m_settings.StatusFile);
        return 1;
    }
    if (!FinderFindsFile(m_settings.StatusFile))
        platform::CreateSemaphoreFile(files, m_settings.StatusFile);
    return 1;
}

std::string CBatchQueue::StatusMessage() {
    switch (m_access) {
    case Access::InUse:
        return kStatusQueueInUse;
    case Access::Locked:
        return kStatusQueueLocked;
    case Access::RecordUnwritable:
        return kStatusRecordUnwritable;
    case Access::RecordUnreadable:
    case Access::RecordDamaged:
        return kStatusRecordDamaged;
    case Access::Steered:
        return kStatusSteeredPrefix + m_steeringLink + kStatusSteeredSuffix;
    case Access::Ours:
    case Access::Missing:
        break;
    }
    if (IsAbortSet() != 0)
        return kStatusAbortSet;
    if (SuiteRunning() == 0)
        return kStatusNotRunning;
    if (IsBusy() != 0) {
        if (m_submitted == 0)
            return kStatusQueueBusy;
        return kStatusProcessingPrefix + m_current.title + "'";
    }
    // Otherwise the line would be empty: a batch that waits to be filed says so.
    for (const RunEntry& entry : m_record.Entries())
        if (entry.AwaitsFiling() &&
            m_givenUp.count(platform::MakePath(m_settings.QueueDir, entry.name)) == 0)
            return kStatusNotFiledPrefix + entry.title + kStatusNotFiledSuffix;
    return {};
}

} // namespace engine
