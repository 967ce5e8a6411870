#include "watcher/WriterTracker.h"

namespace watcher {

platform::WriterView::Writing WriterTracker::BeingWritten(const std::string& directory,
                                                          const std::string& name) const {
    if (name.empty() || name.find('/') != std::string::npos)
        return Writing::Unknown;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_watching || directory != m_directory)
        return Writing::Unknown;
    return m_marks.count(name) != 0 ? Writing::Yes : Writing::No;
}

bool WriterTracker::Watching(const std::string& directory) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_watching && directory == m_directory;
}

void WriterTracker::Begin(const std::string& directory) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_marks.clear();
    m_directory = directory;
    m_watching = true;
}

void WriterTracker::Apply(const std::vector<WriterEvent>& events) {
    if (events.empty())
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_watching)
        return;
    ApplyWriterEvents(events, kMaxMarks, m_marks);
}

void WriterTracker::End() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_watching = false;
    m_marks = WriterMarks(); // also gives back what a burst made the table grow to
}

} // namespace watcher
