#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace engine {

// How the result viewer is started: pure functions of the settings and the
// batch, kept apart from the launch so that they can be shown and tested.

// The batch file's path without its extension: the part before the last "."
// of the file name. A "." in a directory name does not count, so a batch file
// without an extension keeps its whole path.
std::string ResultFileBase(const std::string& batchPath);

// The viewer's command line as documented: the program verbatim, a blank, the
// result file between double quotes, " /p" or " /r", and " /s" with the scheme
// when there is one. For display; the program is started from ViewerArguments.
std::string ViewerCommandLine(const std::string& browserFile, const std::string& resultPath,
                              bool print, const std::string& scheme);

// The same pieces as an argument vector, nothing quoted or split: the program,
// the result file, "/p" or "/r", and "/s" joined to the scheme when there is one.
std::vector<std::string> ViewerArguments(const std::string& browserFile,
                                         const std::string& resultPath, bool print,
                                         const std::string& scheme);

// The viewer's working directory: the directory part of the program's path,
// with its final "/"; empty for a bare program name.
std::string ViewerWorkingDirectory(const std::string& browserFile);

// How long to wait for the viewer: the time-out in seconds; a negative one
// counts as 0 (no wait).
std::chrono::milliseconds ViewerWait(std::int32_t externalTimeoutSeconds);

} // namespace engine
