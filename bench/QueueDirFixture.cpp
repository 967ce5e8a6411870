#include "QueueDirFixture.h"

#include "BenchSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <utility>

namespace {

void Fill(const std::string& dir, std::size_t batches) {
    char name[64];
    for (std::size_t i = 0; i < batches; ++i) {
        for (const char* ext : {"olb", "dat"}) {
            std::snprintf(name, sizeof name, "/%06zu.%s", i, ext);
            const int fd = open((dir + name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            if (fd < 0)
                std::abort();
            close(fd);
        }
    }
}

// A kept queue directory, complete once its marker file exists.
std::string KeptQueueDir(const std::string& base, std::size_t batches, int copy) {
    std::string dir = base + "/queue-" + std::to_string(batches);
    if (copy != 0)
        dir += "-" + std::to_string(copy);
    const std::string complete = dir + ".complete";
    struct stat st {};
    if (stat(complete.c_str(), &st) != 0) {
        mkdir(dir.c_str(), 0700);
        Fill(dir, batches);
        const int fd = open(complete.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        if (fd >= 0)
            close(fd);
    }
    return dir;
}

} // namespace

const std::string& QueueDirWith(std::size_t batches, int copy) {
    static std::map<std::pair<std::size_t, int>, std::string> paths;
    static std::map<std::pair<std::size_t, int>, std::unique_ptr<bench::ScratchDir>> owned;
    const std::pair<std::size_t, int> key{batches, copy};
    auto& path = paths[key];
    if (path.empty()) {
        const char* kept = std::getenv("TESMARO_BENCH_FIXTURES");
        if (kept != nullptr && *kept != '\0') {
            path = KeptQueueDir(kept, batches, copy);
        } else {
            auto& dir = owned[key];
            dir = std::make_unique<bench::ScratchDir>();
            Fill(dir->Path(), batches);
            path = dir->Path();
        }
    }
    // Each benchmark starts without the run record an earlier one left in
    // the queue directory: a batch it left in flight would be filed at once.
    std::error_code ignored;
    std::filesystem::remove_all(path + "/.tesmaro", ignored);
    return path;
}
