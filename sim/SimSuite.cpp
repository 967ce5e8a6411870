#include "sim/SimSuite.h"

#include "sim/ResultFile.h"

namespace sim {

std::string LocateBatch(const std::string& path, const std::string& cwd) {
    if (cwd.empty() || (!path.empty() && path.front() == '/'))
        return path;
    return cwd.back() == '/' ? cwd + path : cwd + "/" + path;
}

SimSuite::SimSuite(SuiteOptions options, CallLog& log, WallClock wallClock)
    : m_options(options), m_log(log), m_wallClock(std::move(wallClock)), m_queue(options.itemTime) {
}

std::optional<BatchFile> SimSuite::Accept(const std::string& location) const {
    if (m_options.refuseAll || location.empty())
        return std::nullopt;
    auto file = ReadBatchFile(location);
    if (!file || file->header.find("[REFUSE]") != std::string::npos)
        return std::nullopt;
    return file;
}

int SimSuite::Submit(const Submission& submission, TimePoint now) {
    Advance(now);
    const std::string location = LocateBatch(submission.path, submission.cwd);
    auto file = Accept(location);
    int result = 0;
    // A queue filled to its cap refuses further batches.
    if (file && m_queue.AddBatch(m_nextId, file->items, now) > 0) {
        m_batches.emplace(m_nextId++,
                          Batch{submission.path, location, std::move(*file), submission.flags});
        result = 1;
    }
    m_log.Append(SubmitLogLine(m_wallClock(), submission.path, submission.a, submission.b,
                               submission.c, submission.flags, result));
    return result;
}

int SimSuite::Control(int code, TimePoint now) {
    Advance(now);
    m_log.Append(ControlLogLine(m_wallClock(), code));
    if (code != 1)
        return 0;
    m_queue.Clear();
    m_batches.clear();
    return 1;
}

int SimSuite::Count(TimePoint now) {
    Advance(now);
    return m_queue.Count();
}

int SimSuite::AddForeign(int items, TimePoint now) {
    Advance(now);
    m_queue.AddForeign(items, now);
    return m_queue.Count();
}

void SimSuite::Advance(TimePoint now) {
    m_queue.Advance(now, [this](ProcessQueue::BatchId id) { Finish(id); });
}

void SimSuite::Finish(ProcessQueue::BatchId id) {
    const auto it = m_batches.find(id);
    if (it == m_batches.end())
        return;
    const Batch& batch = it->second;
    // A batch whose directory has gone meanwhile simply gets no result file.
    if (m_options.writeResults)
        WriteFileAtomically(ResultPathFor(batch.location),
                            FormatReport(batch.location, batch.file, batch.flags));
    m_log.Append(DoneLogLine(m_wallClock(), batch.path));
    m_batches.erase(it);
}

} // namespace sim
