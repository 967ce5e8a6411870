#include "support/TempDir.h"

#include "platform/QueueDirectoryLock.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace testsupport {

TempDir::TempDir(const std::string& base) {
    const char* tmp = std::getenv("TMPDIR");
    const std::string parent = !base.empty() ? base : tmp && *tmp ? tmp : "/tmp";
    std::string templ = parent + "/tesmaro-test-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr)
        ADD_FAILURE() << "mkdtemp failed";
    m_path = templ;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> ListDirectory(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
        if (entry.path().filename() != platform::kQueueFolderName)
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

void WriteSparseFile(const std::string& path, std::int64_t size,
                     const std::vector<SparsePiece>& pieces) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0) << path;
    for (const SparsePiece& piece : pieces)
        ASSERT_EQ(pwrite(fd, piece.bytes.data(), piece.bytes.size(), static_cast<off_t>(piece.at)),
                  static_cast<ssize_t>(piece.bytes.size()))
            << path;
    close(fd);
}

void SetWriteTime(const std::string& path, std::int64_t seconds) {
    const timespec times[2] = {{static_cast<time_t>(seconds), 0},
                               {static_cast<time_t>(seconds), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

} // namespace testsupport
