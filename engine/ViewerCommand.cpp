#include "engine/ViewerCommand.h"

#include "platform/Path.h"

namespace engine {

std::string ResultFileBase(const std::string& batchPath) {
    const auto slash = batchPath.rfind('/');
    const auto nameStart = slash == std::string::npos ? 0 : slash + 1;
    const auto dot = batchPath.rfind('.');
    if (dot == std::string::npos || dot < nameStart || dot == 0)
        return batchPath;
    return batchPath.substr(0, dot);
}

std::string ViewerCommandLine(const std::string& browserFile, const std::string& resultPath,
                              bool print, const std::string& scheme) {
    std::string line = browserFile + " \"" + resultPath + "\"";
    line += print ? " /p" : " /r";
    if (!scheme.empty())
        line += " /s" + scheme;
    return line;
}

std::vector<std::string> ViewerArguments(const std::string& browserFile,
                                         const std::string& resultPath, bool print,
                                         const std::string& scheme) {
    std::vector<std::string> args{browserFile, resultPath, print ? "/p" : "/r"};
    if (!scheme.empty())
        args.push_back("/s" + scheme);
    return args;
}

std::string ViewerWorkingDirectory(const std::string& browserFile) {
    return platform::SplitPath(browserFile).dir;
}

std::chrono::milliseconds ViewerWait(std::int32_t externalTimeoutSeconds) {
    if (externalTimeoutSeconds <= 0)
        return std::chrono::milliseconds(0);
    return std::chrono::seconds(externalTimeoutSeconds);
}

} // namespace engine
