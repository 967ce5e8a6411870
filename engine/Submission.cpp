#include "engine/BatchFiles.h"
#include "engine/CBatchQueue.h"
#include "engine/FileError.h"
#include "engine/OperationFlags.h"
#include "engine/WriterCheck.h"
#include "platform/FirstLine.h"
#include "platform/Path.h"
#include "platform/RegularFile.h"

#include <cerrno>

namespace engine {

namespace {
constexpr std::string_view kQuanMarkerText = "[OAQUAN]";
} // namespace

int CBatchQueue::SubmitBatch(const CBatch& batch) {
    // A file still being created or written waits, for the settle time in
    // real time since its last change; an age equal to the settle time passes.
    if (!m_settle.Settled(batch, m_services.clock->NowNanoseconds(), m_settings.WaitBeforeSubmit))
        return 1;
    if (WriterAtWork(batch))
        return 1;
    try {
        DetectQuanMarker(batch);
    } catch (const FileError& error) {
        // A file still open for writing has not settled, and a file replaced
        // since the scan is a new batch that the next scan lists: both wait.
        if (error.Cause() == EBUSY || error.Cause() == ESTALE)
            return 1;
        m_events.NoteFailure(batch.path, EngineEvent::Reason::Unreadable, error.Cause());
        return 0;
    }
    const std::int32_t flags = OperationFlags(m_settings);
    // The hand-over is on disk before the call, so that however this process
    // ends, the batch is never handed over again. When it cannot be written,
    // the batch waits rather than risk a second run.
    RunEntry entry{batch.identity, platform::SplitPath(batch.path).name, batch.title,
                   RunStage::HandingOver};
    entry.identity.digest = DigestOf(batch.path, batch.identity);
    entry.identity.device = 0; // a disk may come back under another number
    m_record.Put(entry);
    if (!SaveRecord()) {
        m_record.Erase(entry);
        return 1;
    }
    // The suite is given a path, not the file: a file put under the name since
    // the scan would be run in its place. Looked at right before the call, a
    // replacement waits for the next scan as the new batch it is.
    if (!StillTheListedFile(batch) || (m_services.runs == nullptr && !m_queueLock.StillHeld())) {
        m_record.Erase(entry);
        SaveRecord();
        return 1;
    }
    const int accepted = m_services.library->QueueSampleBatch(batch.path, 0, 1, 0, flags);
    m_events.Report(EngineEvent::HandedOver(batch, flags, accepted != 0));
    // Replaced during the call, the suite may have read either file: the new
    // one counts as handed over as well, so that neither runs again.
    if (!StillTheListedFile(batch)) {
        m_events.Report(EngineEvent::Replaced(batch));
        platform::FileIdentity replacement;
        if (platform::IdentifyAt(*m_services.files, batch.path, replacement)) {
            replacement.digest = DigestOf(batch.path, replacement);
            replacement.device = 0;
            m_record.SetIdentity(entry, replacement);
            entry.identity = replacement;
            if (m_current.path == batch.path)
                m_current.identity = replacement;
        }
    }
    m_record.SetStage(entry, accepted != 0 ? RunStage::Accepted : RunStage::Refused);
    SaveRecord();
    if (accepted == 0)
        return 0;
    m_submitted = 1;
    return 1;
}

bool CBatchQueue::WriterAtWork(const CBatch& batch) {
    platform::FileHandle file(*m_services.files,
                              platform::OpenRegularFile(*m_services.files, batch.path));
    // A file that cannot be opened is reported as such when it is read.
    if (!file.IsOpen() || !StillBeingWritten(*m_services.files, file.Get(), m_services.writers,
                                             m_settings.QueueDir, BatchFileName(batch)))
        return false;
    m_events.WriterSeen(batch);
    return true;
}

bool CBatchQueue::StillTheListedFile(const CBatch& batch) {
    if (!batch.identity.Known())
        return true;
    platform::FileIdentity now;
    return platform::IdentifyAt(*m_services.files, batch.path, now) &&
           platform::SameFileNow(now, batch.identity) && now.size == batch.identity.size &&
           now.modifiedSeconds == batch.identity.modifiedSeconds &&
           now.modifiedNanoseconds == batch.identity.modifiedNanoseconds;
}

int CBatchQueue::DetectQuanMarker(const CBatch& batch) {
    platform::FileOps& files = *m_services.files;
    // Never a link or a FIFO, and never a file that another process is still
    // writing.
    platform::FileHandle file(files, platform::OpenUnshared(files, batch.path));
    if (!file.IsOpen())
        throw FileError(batch.path, errno);
    // The file opened must be the one the scan found: the suite is handed, and
    // the filing moves, exactly that file.
    struct stat opened {};
    if (batch.identity.Known() &&
        (files.Fstat(file.Get(), &opened) != 0 ||
         static_cast<std::uint64_t>(opened.st_dev) != batch.identity.device ||
         static_cast<std::uint64_t>(opened.st_ino) != batch.identity.inode))
        throw FileError(batch.path, ESTALE);
    const platform::FirstLineScan scan =
        platform::SearchFirstLine(files, file.Get(), kQuanMarkerText);
    if (scan == platform::FirstLineScan::ReadError || scan == platform::FirstLineScan::TooLong) {
        // A first line past the limit is no batch the suite could run, and
        // reading on would hold the tick: the file counts as unreadable.
        const int cause = scan == platform::FirstLineScan::TooLong ? EFBIG : errno;
        file.Close();
        throw FileError(batch.path, cause);
    }
    if (file.Close() != 0)
        throw FileError(batch.path, errno);
    // An empty file has no first line and so no marker: the marker is cleared
    // rather than left over from the batch examined before.
    m_settings.QuanMarker = scan == platform::FirstLineScan::Found ? kQuanMarkerSet : 0;
    return m_settings.QuanMarker != 0 ? 1 : 0;
}

} // namespace engine
