// The viewer's command line and argument vector from arbitrary settings and
// paths: the documented pieces in their order, nothing dropped or split, and
// the same pieces in the argument vector that the program is started with.
// The input is four NUL-separated fields: viewer, result path, scheme, flags.

#include "engine/ViewerCommand.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

void Require(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> fields(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0 && fields.size() < 4)
            fields.emplace_back();
        else
            fields.back().push_back(static_cast<char>(data[i]));
    }
    fields.resize(4);
    const std::string& viewer = fields[0];
    const std::string& result = fields[1];
    const std::string& scheme = fields[2];
    const bool print = !fields[3].empty() && (fields[3][0] & 1) != 0;

    const std::string line = engine::ViewerCommandLine(viewer, result, print, scheme);
    std::string expected = viewer + " \"" + result + "\"" + (print ? " /p" : " /r");
    if (!scheme.empty())
        expected += " /s" + scheme;
    Require(line == expected);

    const std::vector<std::string> args = engine::ViewerArguments(viewer, result, print, scheme);
    Require(args.size() == (scheme.empty() ? 3u : 4u));
    Require(args[0] == viewer && args[1] == result && args[2] == (print ? "/p" : "/r"));
    Require(scheme.empty() || args[3] == "/s" + scheme);

    // The working directory is the viewer's own directory, with its "/".
    const std::string dir = engine::ViewerWorkingDirectory(viewer);
    Require(viewer.compare(0, dir.size(), dir) == 0);
    Require(dir.empty() || dir.back() == '/');
    Require(viewer.find('/', dir.size()) == std::string::npos);

    // The result file's base never reaches into a directory name.
    const std::string base = engine::ResultFileBase(result);
    Require(result.compare(0, base.size(), base) == 0);
    Require(result.find('/', base.size()) == std::string::npos);
    return 0;
}
