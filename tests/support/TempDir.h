#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// A fresh directory under `base` (the temporary directory when empty),
// removed with its contents when the object goes away.
class TempDir {
public:
    explicit TempDir(const std::string& base = "");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    // Path of a name inside the directory.
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Writes a file with the given content, replacing it; fails the test on error.
void WriteFile(const std::string& path, const std::string& content);
// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
// Every entry of a directory (all kinds) but Tesmaro's own folder, by name,
// sorted; empty when it cannot be read.
std::vector<std::string> ListDirectory(const std::string& dir);
// Writes a sparse file of `size` bytes: the given pieces at their offsets,
// holes everywhere else; fails the test on error.
struct SparsePiece {
    std::int64_t at;
    std::string bytes;
};
void WriteSparseFile(const std::string& path, std::int64_t size,
                     const std::vector<SparsePiece>& pieces);
// Sets a file's last-write time (calendar seconds).
void SetWriteTime(const std::string& path, std::int64_t seconds);

} // namespace testsupport
