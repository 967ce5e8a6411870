#include "platform/Path.h"

#include <unistd.h>

#include <vector>

namespace platform {

std::string MakePath(std::string_view dir, std::string_view name, std::string_view ext) {
    std::string out;
    out.reserve(dir.size() + name.size() + ext.size() + 2);
    out.append(dir);
    if (!dir.empty() && dir.back() != '/')
        out.push_back('/');
    out.append(name);
    if (!ext.empty()) {
        if (ext.front() != '.')
            out.push_back('.');
        out.append(ext);
    }
    return out;
}

SplitParts SplitPath(std::string_view path) {
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos)
        return {std::string(), std::string(path)};
    return {std::string(path.substr(0, slash + 1)), std::string(path.substr(slash + 1))};
}

static std::string CurrentDirectory() {
    std::vector<char> buf(4096);
    while (getcwd(buf.data(), buf.size()) == nullptr) {
        if (errno != ERANGE || buf.size() > (1u << 20))
            return "/";
        buf.resize(buf.size() * 2);
    }
    return buf.data();
}

std::string AbsolutePath(std::string_view path) {
    std::string full = (!path.empty() && path.front() == '/')
                           ? std::string(path)
                           : CurrentDirectory() + "/" + std::string(path);
    std::vector<std::string_view> parts;
    std::string_view rest(full);
    while (!rest.empty()) {
        const auto slash = rest.find('/');
        const auto part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    std::string out;
    for (const auto part : parts) {
        out.push_back('/');
        out.append(part);
    }
    return out.empty() ? std::string("/") : out;
}

} // namespace platform
