#include "engine/CBatchQueue.h"

#include "platform/DurableWrite.h"
#include "platform/LinkTrust.h"
#include "platform/Path.h"
#include "platform/RegularFile.h"
#include "platform/StateFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

namespace engine {

namespace {

constexpr const char* kRecordName = "runs";

} // namespace

void CBatchQueue::RestoreRunRecord() {
    TakeQueue();
}

bool CBatchQueue::TakeQueue() {
    using State = platform::QueueDirectoryLock::State;
    const std::string dir = platform::SplitPath(ScanPattern()).dir;
    if (!PlacesTrusted(true)) {
        // Not even the lock is touched where the queue may not be ours.
        m_queueLock.Release();
        AimRecordAt({});
        m_submitted = 0;
        return false;
    }
    const State lock = m_queueLock.Hold(dir.empty() ? "." : dir);
    const bool present = lock != State::Unavailable;
    m_events.QueueSeen(m_settings.QueueDir, present, lock == State::HeldElsewhere);
    if (lock != State::Held) {
        // Whatever was read is stale once another may write it: read it again
        // when the lock is ours again. The batch under way belongs to the
        // record that is left; it is taken up again from there.
        AimRecordAt({});
        m_submitted = 0;
        switch (lock) {
        case State::HeldElsewhere:
            SetAccess(Access::InUse);
            break;
        case State::HeldByOther:
            SetAccess(Access::Locked, m_queueLock.Error());
            break;
        case State::Unwritable:
            SetAccess(Access::RecordUnwritable, m_queueLock.Error());
            break;
        default:
            SetAccess(Access::Missing);
            break;
        }
        return false;
    }
    // Taken anew (here or after another holder had it meanwhile): what was
    // read under an earlier hold may have changed since.
    if (m_queueLock.Generation() != m_recordGeneration || !m_record.Loaded()) {
        m_recordGeneration = m_queueLock.Generation();
        AimRecordAt(m_queueLock.Folder());
        // The lock may just have made the record's folder: its name is on
        // disk in the queue directory before anything recorded in it counts,
        // or a power cut could take a recorded hand-over with it and the
        // batch would be handed over a second time.
        if (m_services.runs == nullptr &&
            !platform::SyncDirectory(*m_services.files, dir.empty() ? "." : dir)) {
            SetAccess(Access::RecordUnwritable, errno != 0 ? errno : EIO);
            return false;
        }
        if (!LoadRecord())
            return false;
    }
    // A change that could not be written before is written now; until then
    // nothing moves on.
    if (m_record.Dirty() && !SaveRecord())
        return false;
    if (!PlacesTrusted(false))
        return false;
    SetAccess(Access::Ours);
    return true;
}

bool CBatchQueue::PlacesTrusted(bool queue) {
    const std::vector<const std::string*> places =
        queue ? std::vector<const std::string*>{&m_settings.QueueDir}
              : std::vector<const std::string*>{&m_settings.ProcessedDir, &m_settings.FailedDir};
    for (const std::string* place : places) {
        if (place->empty())
            continue;
        const auto link = platform::FindSteeringLink(*m_services.files, *place, geteuid());
        if (!link)
            continue;
        m_steeringLink = link->link;
        m_events.LinkSeen(*place, link->link, static_cast<int>(link->owner));
        SetAccess(Access::Steered);
        return false;
    }
    if (!queue)
        m_events.LinkSeen({}, {}, 0);
    return true;
}

void CBatchQueue::AimRecordAt(const std::string& folder) {
    if (m_services.runs != nullptr) {
        if (folder.empty())
            m_record.UseStore(m_services.runs);
        return;
    }
    m_record.UseStore(nullptr);
    m_queueStore.reset();
    if (folder.empty())
        return;
    m_queueStore = std::make_unique<StateFileRunRecordStore>(
        platform::MakePath(folder, kRecordName), *m_services.files, m_queueLock.FileMode());
    m_record.UseStore(m_queueStore.get());
}

bool CBatchQueue::LoadRecord() {
    RunRecordStore& store = *m_record.Store();
    // Only the lock's holder writes the record: what an interrupted write
    // left is nobody's.
    store.Sweep();
    const RecordLoad loaded = m_record.Load();
    switch (loaded.result) {
    case RecordLoad::Result::Unreadable:
        SetAccess(Access::RecordUnreadable, loaded.error);
        return false;
    case RecordLoad::Result::Damaged:
        SetAccess(Access::RecordDamaged, 0, loaded.line);
        return false;
    case RecordLoad::Result::Read:
        break;
    }
    if (!MigrateLegacyRecord())
        return false;
    SettleInterruptedHandOvers();
    m_current = CBatch{};
    m_submitted = 0;
    return !m_record.Dirty() || SaveRecord();
}

void CBatchQueue::SettleInterruptedHandOvers() {
    // The hand-over call was under way when the last run ended: the suite may
    // have taken the batch. While its queue holds items the batch counts as
    // taken; otherwise it is failed, never run again and never called processed.
    std::optional<bool> suiteHasItems;
    for (const RunEntry& entry : std::vector<RunEntry>(m_record.Entries())) {
        if (entry.stage != RunStage::HandingOver)
            continue;
        if (!suiteHasItems)
            suiteHasItems = m_services.library->GetNumberOfQueueItems() > 0;
        m_record.SetStage(entry, *suiteHasItems ? RunStage::Accepted : RunStage::Failed);
        if (!*suiteHasItems)
            m_events.NoteFailure(platform::MakePath(m_settings.QueueDir, entry.name),
                                 EngineEvent::Reason::Interrupted);
    }
}

bool CBatchQueue::MigrateLegacyRecord() {
    if (m_services.legacyRuns.empty())
        return true;
    platform::StateFile legacy(m_services.legacyRuns, *m_services.files);
    std::string text;
    const platform::StateFile::ReadResult read = legacy.Read(text);
    if (read == platform::StateFile::ReadResult::Missing)
        return true;
    // Batches of this queue may be in there: until it can be read, nothing
    // is known of them, and nothing is handed over.
    if (read == platform::StateFile::ReadResult::Failed) {
        SetAccess(Access::RecordUnreadable, errno != 0 ? errno : EIO, 0, m_services.legacyRuns);
        return false;
    }
    std::optional<std::vector<LegacyRunEntry>> entries =
        read == platform::StateFile::ReadResult::Read ? ParseLegacyRunRecord(text) : std::nullopt;
    if (!entries) {
        SetAccess(Access::RecordDamaged, 0, 0, m_services.legacyRuns);
        return false;
    }
    // An entry belongs to this queue when its directory is this very directory.
    struct stat queue {};
    const std::string dir = platform::SplitPath(ScanPattern()).dir;
    if (m_services.files->Lstat((dir.empty() ? std::string(".") : dir + ".").c_str(), &queue) != 0)
        return true;
    std::vector<LegacyRunEntry> others;
    int moved = 0;
    for (LegacyRunEntry& old : *entries) {
        struct stat where {};
        const std::string oldDir = platform::SplitPath(old.path).dir;
        if (m_services.files->Lstat((oldDir + ".").c_str(), &where) != 0 ||
            where.st_dev != queue.st_dev || where.st_ino != queue.st_ino) {
            others.push_back(std::move(old));
            continue;
        }
        ++moved;
        // Moved before (a stop came between the two writes): what the queue's
        // record says now is newer.
        if (!m_record.Candidates(old.entry.name, {}).empty())
            continue;
        m_record.Put(MigratedEntry(old, dir, queue.st_dev));
    }
    if (moved == 0)
        return true;
    // The queue's record first: a stop in between leaves the entries in both,
    // and moving them again changes nothing.
    if (!SaveRecord())
        return false;
    // What is left belongs to other queues; a record with nothing left is
    // kept under another name, for the administrator to look at.
    const std::string migrated = m_services.legacyRuns + ".migrated";
    if (others.empty()
            ? m_services.files->Rename(m_services.legacyRuns.c_str(), migrated.c_str()) == 0
            : legacy.Write(FormatLegacyRunRecord(others))) {
        EngineEvent event = EngineEvent::OfRecord(EngineEvent::Kind::RecordMigrated,
                                                  m_services.legacyRuns, 0, moved);
        event.dir = m_settings.QueueDir;
        m_events.Report(event);
    }
    return true;
}

RunEntry CBatchQueue::MigratedEntry(const LegacyRunEntry& old, const std::string& dir,
                                    std::uint64_t queueDevice) {
    // The file is looked at once more, so that its entry gets what survives
    // a remount: size, times, digest. The device may have changed since the
    // old record was written; inode and birth time still tell.
    RunEntry entry = old.entry;
    platform::FileIdentity now;
    const std::string path = platform::MakePath(dir, entry.name);
    if (platform::IdentifyAt(*m_services.files, path, now)) {
        const bool births = now.HasBirthTime() && entry.identity.HasBirthTime();
        if (now.inode == entry.identity.inode &&
            (!births || (now.bornSeconds == entry.identity.bornSeconds &&
                         now.bornNanoseconds == entry.identity.bornNanoseconds))) {
            now.digest = DigestOf(path, now);
            entry.identity = now;
        } else if (old.entry.identity.device != queueDevice && !births) {
            // Another device and no birth time: whether it is the file that
            // ran cannot be told. The name decides, so it never runs twice.
            entry.identity = {};
        }
    }
    entry.identity.device = 0;
    return entry;
}

bool CBatchQueue::SaveRecord() {
    // Only the lock's holder writes: a holder that lost it (taken over as
    // stale while a tick waited) must not write over the new holder's record.
    if (m_record.Dirty() && m_services.runs == nullptr && !m_queueLock.StillHeld()) {
        AimRecordAt({});
        SetAccess(Access::InUse);
        return false;
    }
    if (m_record.Save())
        return true;
    SetAccess(Access::RecordUnwritable, errno != 0 ? errno : EIO);
    return false;
}

void CBatchQueue::SetAccess(Access access, int error, int line, const std::string& file) {
    m_access = access;
    const std::string where = !file.empty() ? file
                              : m_record.Store() != nullptr && !m_record.Store()->Where().empty()
                                  ? m_record.Store()->Where()
                                  : m_queueLock.Folder();
    using Kind = EngineEvent::Kind;
    switch (access) {
    case Access::Ours:
        m_events.RecordSeen(Kind::RecordWorking, where);
        break;
    case Access::Locked:
        m_events.RecordSeen(Kind::QueueLocked, m_settings.QueueDir, error);
        break;
    case Access::RecordUnwritable:
        m_events.RecordSeen(Kind::RecordUnwritable, where, error);
        break;
    case Access::RecordUnreadable:
        m_events.RecordSeen(Kind::RecordUnreadable, where, error);
        break;
    case Access::RecordDamaged:
        m_events.RecordSeen(Kind::RecordDamaged, where, 0, line);
        break;
    case Access::Missing:
    case Access::InUse:
    case Access::Steered:
        break; // told as the queue directory's or the link's own events
    }
}

void CBatchQueue::Recover() {
    ForgetBatchesThatLeft();
    AdoptBatchInFlight();
}

CBatchQueue::Recorded CBatchQueue::IsRecordedFile(const platform::FileIdentity& recorded,
                                                  const std::string& path) {
    platform::FileIdentity now;
    if (!platform::IdentifyAt(*m_services.files, path, now))
        // Only a name that is gone is gone; anything else tells nothing.
        return errno == ENOENT || errno == ENOTDIR ? Recorded::No : Recorded::Unknown;
    if (!recorded.Known())
        return Recorded::Yes;
    switch (platform::CompareStable(recorded, now)) {
    case platform::Sameness::Same:
        return Recorded::Yes;
    case platform::Sameness::Different:
        return Recorded::No;
    case platform::Sameness::NeedsDigest:
        break;
    }
    const std::uint64_t digest = DigestOf(path, now);
    // A file whose content cannot be read now cannot be told from the
    // recorded one: it counts as that one, so that it never runs twice.
    return digest == 0 || recorded.digest == 0 || digest == recorded.digest ? Recorded::Yes
                                                                            : Recorded::No;
}

std::uint64_t CBatchQueue::DigestOf(const std::string& path,
                                    const platform::FileIdentity& identity) {
    platform::FileIdentity key = identity;
    key.digest = 0;
    if (const auto known = m_digests.find(path);
        known != m_digests.end() && known->second.first == key)
        return known->second.second;
    platform::FileOps& files = *m_services.files;
    platform::FileHandle file(files, platform::OpenRegularFile(files, path));
    const std::uint64_t digest = file.IsOpen() ? platform::ContentDigest(files, file.Get()) : 0;
    // Kept for the files still listed; the map never outgrows the queue.
    if (m_digests.size() > 2 * m_list.GetCount() + 16)
        m_digests.clear();
    if (digest != 0)
        m_digests[path] = {key, digest};
    return digest;
}

const RunEntry* CBatchQueue::EntryOf(const CBatch& batch) {
    if (m_record.IsEmpty())
        return nullptr;
    const std::string name = platform::SplitPath(batch.path).name;
    for (const RunEntry* entry : m_record.Candidates(name, batch.identity)) {
        if (!batch.identity.Known() || !entry->identity.Known()) {
            if (entry->name == name)
                return entry; // scripted entries: the name decides
            continue;
        }
        switch (platform::CompareStable(entry->identity, batch.identity)) {
        case platform::Sameness::Same:
            return entry;
        case platform::Sameness::Different:
            continue;
        case platform::Sameness::NeedsDigest:
            if (entry->name != name)
                continue;
            const std::uint64_t digest = DigestOf(batch.path, batch.identity);
            if (digest == 0 || entry->identity.digest == 0 || digest == entry->identity.digest)
                return entry;
        }
    }
    return nullptr;
}

void CBatchQueue::ForgetBatchesThatLeft() {
    // Only a batch whose file is known to be gone is forgotten: a directory
    // that is away for a moment must not make a batch new again. Each entry
    // in flight is looked up by its own name; the list is searched only for
    // one whose name is gone, in case it was renamed in the queue directory.
    std::vector<RunEntry> gone;
    for (const RunEntry& entry : m_record.Entries()) {
        if (!entry.InFlight() ||
            IsRecordedFile(entry.identity, platform::MakePath(m_settings.QueueDir, entry.name)) !=
                Recorded::No)
            continue; // still there (or cannot be told now)
        if (entry.identity.HasBirthTime() &&
            std::any_of(m_list.begin(), m_list.end(), [&entry](const CBatch& batch) {
                return platform::CompareStable(entry.identity, batch.identity) ==
                       platform::Sameness::Same;
            }))
            continue;
        gone.push_back(entry);
    }
    if (gone.empty() || !QueueDirectoryPresent())
        return;
    for (const RunEntry& entry : gone) {
        m_record.Erase(entry);
        m_events.Forget(platform::MakePath(m_settings.QueueDir, entry.name));
    }
    SaveRecord();
}

void CBatchQueue::AdoptBatchInFlight() {
    const std::vector<RunEntry>& entries = m_record.Entries();
    if (m_submitted != 0 || std::none_of(entries.begin(), entries.end(),
                                         [](const RunEntry& e) { return e.InFlight(); }))
        return;
    for (const CBatch& batch : m_list) {
        const RunEntry* entry = EntryOf(batch);
        if (entry != nullptr && entry->InFlight()) {
            m_current = batch;
            m_current.identity = entry->identity;
            m_submitted = 1;
            return;
        }
    }
}

} // namespace engine
