#include "sim/ResultFile.h"

#include "platform/FileDescriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace sim {
namespace {

struct FlagName {
    int bit;
    const char* name;
};

constexpr FlagName kFlagNames[] = {
    {4, "acquire"}, {8, "process"}, {16, "quantify"}, {32, "quan marker"}, {64, "profile"},
};

std::string DescribeFlags(int flags) {
    std::string names;
    int rest = flags;
    for (const auto& f : kFlagNames) {
        if (!(flags & f.bit))
            continue;
        names += names.empty() ? "" : ", ";
        names += f.name;
        rest &= ~f.bit;
    }
    if (rest != 0)
        names += std::string(names.empty() ? "" : ", ") + "other bits " + std::to_string(rest);
    return std::to_string(flags) + " (" + (names.empty() ? "none" : names) + ")";
}

bool WriteAll(int fd, const std::string& content) {
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

std::string ResultPathFor(const std::string& batchPath) {
    const auto slash = batchPath.rfind('/');
    const auto nameStart = slash == std::string::npos ? 0 : slash + 1;
    const auto dot = batchPath.rfind('.');
    const auto stem = (dot == std::string::npos || dot < nameStart) ? batchPath.size() : dot;
    return batchPath.substr(0, stem) + ".rpt";
}

std::string FormatReport(const std::string& batchPath, const BatchFile& batch, int flags) {
    std::string out = "Sample batch report\n";
    out += "Batch: " + batchPath + "\n";
    out += "Header: " + batch.header.substr(0, kMaxLineBytes) + "\n";
    out += "Flags: " + DescribeFlags(flags) + "\n";
    out += "Items: " + std::to_string(batch.items) + "\n";
    out += "Samples:\n";
    if (batch.samples.empty())
        out += "  (none)\n";
    for (std::size_t i = 0; i < batch.samples.size(); ++i)
        out += "  " + std::to_string(i + 1) + ". " + batch.samples[i] + "\n";
    if (batch.items > static_cast<int>(batch.samples.size()) && !batch.samples.empty())
        out += "  ... and " + std::to_string(batch.items - batch.samples.size()) + " more\n";
    return out;
}

bool WriteFileAtomically(const std::string& path, const std::string& content) {
    const auto slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temp = dir + "." + name + ".XXXXXX";
    platform::FileDescriptor fd(mkostemp(temp.data(), O_CLOEXEC));
    if (!fd.IsValid())
        return false;
    const bool written =
        WriteAll(fd.Get(), content) && fchmod(fd.Get(), 0644) == 0 && fsync(fd.Get()) == 0;
    fd.Reset();
    if (!written || rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return true;
}

} // namespace sim
