#include "engine/CBatchQueue.h"

#include "platform/Path.h"

#include <fcntl.h>

#include <algorithm>
#include <ctime>
#include <optional>

namespace engine {

namespace {

// Answers like a queue library that could not be loaded: the suite is not
// running and its queue is empty, so batches wait.
class AbsentQueueLibrary final : public external::QueueLibrary {
public:
    int IsKorvaneRunning() override { return 0; }
    int GetNumberOfQueueItems() override { return 0; }
    int QueueControl(int) override { return 0; }
    int QueueSampleBatch(const std::string&, int, int, int, int) override { return 0; }
};

} // namespace

std::int64_t SystemClock::Now() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

FinderFactory DefaultFinderFactory() {
    return [] { return std::make_unique<external::CFileFindS>(); };
}

CBatchQueue::CBatchQueue(EngineServices services)
    : m_services(std::move(services)),
      m_ownRunStore(m_services.runs ? nullptr : std::make_unique<MemoryRunRecordStore>()),
      m_record(m_services.runs ? *m_services.runs : *m_ownRunStore) {
    if (m_services.library == nullptr) {
        m_ownLibrary = std::make_unique<AbsentQueueLibrary>();
        m_services.library = m_ownLibrary.get();
    }
    if (m_services.clock == nullptr) {
        m_ownClock = std::make_unique<SystemClock>();
        m_services.clock = m_ownClock.get();
    }
    if (!m_services.finders)
        m_services.finders = DefaultFinderFactory();
    if (m_services.files == nullptr)
        m_services.files = &platform::DefaultFileOps();
    if (m_services.launcher == nullptr) {
        m_ownLauncher = std::make_unique<platform::SpawningLauncher>();
        m_services.launcher = m_ownLauncher.get();
    }
}

CBatchQueue::~CBatchQueue() = default;

bool CBatchQueue::FinderFindsFile(const std::string& path) const {
    const auto finder = m_services.finders();
    if (!finder || !finder->FindFile(path, 0))
        return false;
    // The finder takes wildcards in the name as a pattern; only the literal
    // name counts.
    const std::string name = platform::SplitPath(path).name;
    for (int more = 1; more;) {
        more = finder->FindNextFileA();
        if (finder->GetFileName() == name && !finder->IsDirectory())
            return true;
    }
    return false;
}

std::string CBatchQueue::ScanPattern() const {
    std::string pattern = m_settings.QueueDir;
    if (pattern.empty() || pattern.back() != '/')
        pattern.push_back('/');
    return pattern + m_settings.Filters;
}

int CBatchQueue::Rescan() {
    m_list.RemoveAll();
    const std::string pattern = ScanPattern();
    // Taken, or found taken, before the directory is read: the lock's open
    // also tells whether the directory is there at all.
    NoteQueueDirectory(m_queueLock.Hold(platform::SplitPath(pattern).dir));
    std::vector<CBatch> found;
    {
        const auto finder = m_services.finders();
        if (!finder || !finder->FindFile(pattern, 0)) {
            ForgetBatchesThatLeft();
            return 1;
        }
        found.reserve(finder->GetMatchCount());
        int more = 1;
        while (more) {
            more = finder->FindNextFileA();
            if (finder->IsDirectory())
                continue;
            found.push_back(CBatch{finder->GetFileTitle(), finder->GetFilePath(),
                                   finder->GetCreationTime(), finder->GetLastWriteTime(),
                                   finder->GetFileIdentity()});
        }
    } // the search's entries are freed before the list is ordered
    m_list.Assign(std::move(found));
    ForgetBatchesThatLeft();
    AdoptBatchInFlight();
    return 1;
}

void CBatchQueue::RestoreRunRecord() {
    m_recordRead = m_record.Load();
    if (!m_recordRead)
        return;
    // The hand-over call was under way when the last run ended: the suite may
    // have taken the batch. While its queue holds items the batch counts as
    // taken; otherwise it is failed, never run again and never called processed.
    std::optional<bool> suiteHasItems;
    for (const RunEntry& entry : std::vector<RunEntry>(m_record.Entries())) {
        if (entry.stage != RunStage::HandingOver)
            continue;
        if (!suiteHasItems)
            suiteHasItems = m_services.library->GetNumberOfQueueItems() > 0;
        m_record.SetStage(entry.identity, entry.path,
                          *suiteHasItems ? RunStage::Accepted : RunStage::Failed);
        if (!*suiteHasItems)
            m_events.NoteFailure(entry.path, EngineEvent::Reason::Interrupted);
    }
    m_record.Save();
}

bool CBatchQueue::OwnsQueueDirectory() const {
    return m_queueLock.GetState() != platform::QueueDirectoryLock::State::HeldElsewhere;
}

bool CBatchQueue::QueueDirectoryPresent() const {
    const std::string dir = platform::SplitPath(ScanPattern()).dir;
    platform::FileHandle handle(*m_services.files,
                                m_services.files->Open(dir.empty() ? "." : dir.c_str(),
                                                       O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return handle.IsOpen();
}

namespace {

// The listed batch that is the entry's file, or null.
const CBatch* ListedBatch(const CBatchList& list, const RunEntry& entry) {
    for (const CBatch& batch : list)
        if (batch.identity.Known() ? batch.identity == entry.identity : batch.path == entry.path)
            return &batch;
    return nullptr;
}

} // namespace

void CBatchQueue::ForgetBatchesThatLeft() {
    // Only a batch whose file is known to be gone is forgotten: a directory
    // that is away for a moment must not make a batch new again.
    bool changed = false;
    std::optional<bool> directoryPresent;
    for (const RunEntry& entry : std::vector<RunEntry>(m_record.Entries())) {
        if (!entry.InFlight() || ListedBatch(m_list, entry) != nullptr)
            continue;
        platform::FileIdentity now;
        if (platform::IdentifyAt(AT_FDCWD, entry.path.c_str(), now) && now == entry.identity)
            continue; // still there; the scan did not see it
        if (!directoryPresent)
            directoryPresent = QueueDirectoryPresent();
        if (!*directoryPresent)
            return;
        m_record.Erase(entry.identity, entry.path);
        m_events.Forget(entry.path);
        changed = true;
    }
    if (changed)
        m_record.Save();
}

void CBatchQueue::AdoptBatchInFlight() {
    if (m_submitted != 0 || m_record.IsEmpty())
        return;
    for (const RunEntry& entry : m_record.Entries()) {
        if (const CBatch* batch = entry.InFlight() ? ListedBatch(m_list, entry) : nullptr) {
            m_current = *batch;
            m_submitted = 1;
            return;
        }
    }
}

const CBatch* CBatchQueue::OldestNotRun() const {
    for (const CBatch& batch : m_list)
        if (m_record.Find(batch.identity, batch.path) == nullptr && !FiledThisTick(batch))
            return &batch;
    return nullptr;
}

bool CBatchQueue::FiledThisTick(const CBatch& batch) const {
    return batch.identity.Known() && std::find(m_filedThisTick.begin(), m_filedThisTick.end(),
                                               batch.identity) != m_filedThisTick.end();
}

int CBatchQueue::SuiteRunning() {
    const int running = m_services.library->IsKorvaneRunning();
    m_events.SuiteSeen(running != 0);
    return running;
}

void CBatchQueue::NoteQueueDirectory(platform::QueueDirectoryLock::State lock) {
    using State = platform::QueueDirectoryLock::State;
    // A lock that is held, here or elsewhere, proves the directory is there;
    // only without one is it looked at again.
    const bool present = lock != State::Unavailable || QueueDirectoryPresent();
    m_events.QueueSeen(m_settings.QueueDir, present, lock == State::HeldElsewhere);
}

void CBatchQueue::ReportFiled(const CBatch& batch, bool processed, EngineEvent::Reason fallback) {
    // A refusal is in the record, and outlives a restart.
    const RunEntry* entry = m_record.Find(batch.identity, batch.path);
    if (!processed && entry != nullptr && entry->stage == RunStage::Refused)
        m_events.NoteFailure(batch.path, EngineEvent::Reason::Refused);
    m_events.Filed(batch, processed ? m_settings.ProcessedDir : m_settings.FailedDir, !processed,
                   fallback);
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
    // Batches dropped together share their creation second: such a run is
    // formatted once.
    std::int64_t formattedSecond = 0;
    std::string formatted;
    bool haveFormatted = false;
    for (const CBatch& batch : m_list) {
        names.push_back(batch.title);
        if (!haveFormatted || batch.created != formattedSecond) {
            formatted = FormatLocalTime(batch.created);
            formattedSecond = batch.created;
            haveFormatted = true;
        }
        times.push_back(formatted);
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
