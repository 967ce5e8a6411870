#include "engine/CBatchQueue.h"

#include "platform/Path.h"

#include <fcntl.h>

#include <algorithm>
#include <ctime>
#include <limits>

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

std::int64_t SystemClock::NowNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec;
}

FinderFactory DefaultFinderFactory() {
    return [] { return std::make_unique<external::CFileFindS>(); };
}

CBatchQueue::CBatchQueue(EngineServices services)
    : m_services(std::move(services)), m_record(m_services.runs),
      m_queueLock(m_services.files != nullptr ? *m_services.files : platform::DefaultFileOps()) {
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
    NoteOwnNames();
    // The list is written over in place and the scan's finder is kept, so
    // that a queue of the same size rescanned every tick allocates nothing.
    m_list.BeginRefill();
    if (!m_scanFinder)
        m_scanFinder = m_services.finders();
    external::CFileFindS* finder = m_scanFinder.get();
    // Files dropped one after the other mostly come in creation order
    // already: then the list needs no ordering pass.
    bool inOrder = true;
    std::int64_t lastCreated = std::numeric_limits<std::int64_t>::min();
    if (finder != nullptr && finder->FindFile(ScanPattern(), 0)) {
        const std::string& root = finder->Root();
        for (int more = 1; more;) {
            more = finder->FindNextFileA();
            const external::CFileFindS::Entry* found = finder->CurrentEntry();
            if (found == nullptr || found->directory || IsOwnName(found->name))
                continue;
            CBatch& batch = m_list.NextSlot();
            // The title drops the last extension, as the finder's GetFileTitle does.
            batch.title.assign(found->name, 0, found->name.rfind('.'));
            batch.path.assign(root).append(found->name);
            batch.created = found->created;
            batch.lastWrite = found->lastWrite;
            batch.identity = found->identity;
            batch.createdNanoseconds = found->createdNanoseconds;
            inOrder = inOrder && lastCreated <= batch.created;
            lastCreated = batch.created;
        }
    }
    m_list.EndRefill(inOrder);
    return 1;
}

namespace {

// The directory a split path's directory part names, whatever links lead to
// it: "." is never a link, so the kernel resolves the whole directory.
bool DescribeDirectory(platform::FileOps& ops, const std::string& dir, struct stat& st) {
    return ops.Lstat(dir.empty() ? "." : (dir + ".").c_str(), &st) == 0;
}

} // namespace

void CBatchQueue::NoteOwnNames() {
    m_ownNames.clear();
    platform::FileOps& ops = *m_services.files;
    struct stat queue {};
    if (!DescribeDirectory(ops, platform::SplitPath(ScanPattern()).dir, queue))
        return;
    for (const std::string* file : {&m_settings.StatusFile, &m_settings.AbortFile}) {
        if (file->empty())
            continue;
        platform::SplitParts parts = platform::SplitPath(*file);
        struct stat dir {};
        if (!parts.name.empty() && DescribeDirectory(ops, parts.dir, dir) &&
            dir.st_dev == queue.st_dev && dir.st_ino == queue.st_ino)
            m_ownNames.push_back(std::move(parts.name));
    }
}

bool CBatchQueue::IsOwnName(const std::string& name) const {
    return std::find(m_ownNames.begin(), m_ownNames.end(), name) != m_ownNames.end();
}

bool CBatchQueue::OwnsQueueDirectory() const {
    return m_access != Access::InUse && m_access != Access::Locked;
}

bool CBatchQueue::QueueDirectoryPresent() const {
    const std::string dir = platform::SplitPath(ScanPattern()).dir;
    platform::FileHandle handle(*m_services.files,
                                m_services.files->Open(dir.empty() ? "." : dir.c_str(),
                                                       O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return handle.IsOpen();
}

const CBatch* CBatchQueue::OldestNotRun() {
    for (const CBatch& batch : m_list)
        if (EntryOf(batch) == nullptr && !FiledThisTick(batch))
            return &batch;
    return nullptr;
}

bool CBatchQueue::FiledThisTick(const CBatch& batch) const {
    return std::find(m_filedThisTick.begin(), m_filedThisTick.end(), batch.path) !=
           m_filedThisTick.end();
}

int CBatchQueue::SuiteRunning() {
    const int running = m_services.library->IsKorvaneRunning();
    m_events.SuiteSeen(running != 0);
    return running;
}

void CBatchQueue::ReportFiled(const CBatch& batch, bool processed, EngineEvent::Reason fallback) {
    // A refusal is in the record, and outlives a restart.
    const RunEntry* entry = EntryOf(batch);
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
    // A tick may wait for both viewers: other hosts must not take the queue
    // over meanwhile.
    m_queueLock.SetLongestSilence(
        2 * static_cast<std::int64_t>(std::max<std::int32_t>(m_settings.ExternalTimeout, 0)));
    return 1;
}

} // namespace engine
