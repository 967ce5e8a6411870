#include "QueueDirFixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>

namespace {

struct Dir {
    std::string path;
    ~Dir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

} // namespace

const std::string& QueueDirWith(std::size_t batches) {
    static std::map<std::size_t, std::unique_ptr<Dir>> dirs;
    auto& slot = dirs[batches];
    if (!slot) {
        const char* base = std::getenv("TMPDIR");
        std::string templ = std::string(base && *base ? base : "/tmp") + "/tesmaro-bench-XXXXXX";
        if (mkdtemp(templ.data()) == nullptr)
            std::abort();
        slot = std::make_unique<Dir>();
        slot->path = templ;
        char name[64];
        for (std::size_t i = 0; i < batches; ++i) {
            for (const char* ext : {"olb", "dat"}) {
                std::snprintf(name, sizeof name, "/%06zu.%s", i, ext);
                const int fd = open((templ + name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
                if (fd < 0)
                    std::abort();
                close(fd);
            }
        }
    }
    return slot->path;
}
