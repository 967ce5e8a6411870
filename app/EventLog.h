#pragma once

#include "engine/EngineEvent.h"
#include "external/QueueLibraryBinding.h"
#include "settings/CBatchParams.h"

#include <ctime>
#include <string>

namespace app {

// One line of the administrator's log, newline included:
//   <YYYY-MM-DDTHH:MM:SS.mmm±hh:mm> <event> [key=value ...]
// `local` is the local time (its tm_gmtoff gives the offset) and `millis` the
// milliseconds within its second. A value with a blank, a double quote, a
// backslash, a control byte or a byte beyond ASCII is written in double quotes
// with C escapes, so no file name can end a line or forge a field; in the
// argument vector a ',', '[' or ']' is quoted as well.
std::string FormatEventLine(const engine::EngineEvent& event, const std::tm& local, int millis);

// The start-up line: the version, the settings file, the queue, Processed and
// Failed directories and the run record (absolute), and the queue library.
engine::EngineEvent StartedEvent(const std::string& version, const std::string& settingsFile,
                                 const settings::CBatchParams& params,
                                 const external::LibraryStatus& library);
// A change of the queue library's status: library-loaded or library-trouble.
engine::EngineEvent LibraryEvent(const external::LibraryStatus& library);

// Writes each event as one line to a descriptor (standard error unless told
// otherwise), with one write(2) per line, so that lines from several writers
// never interleave. A reader that has gone never ends the program: the line is
// dropped.
class EventLog final : public engine::EventSink {
public:
    explicit EventLog(int fd = 2) : m_fd(fd) {}
    void Report(const engine::EngineEvent& event) override;

private:
    void Write(const engine::EngineEvent& event);

    int m_fd;
};

} // namespace app
