#include "platform/FirstLine.h"
#include "platform/RegularFile.h"
#include "support/FaultyFileOps.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

using platform::FirstLineScan;
using platform::SearchFirstLine;
using testsupport::FaultyFileOps;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

constexpr std::string_view kMarker = "[OAQUAN]";

FirstLineScan ScanFile(const std::string& path, platform::FileOps& ops) {
    platform::FileHandle file(ops, platform::OpenRegularFile(ops, path));
    if (!file.IsOpen())
        return FirstLineScan::ReadError;
    return SearchFirstLine(ops, file.Get(), kMarker);
}

FirstLineScan ScanText(const std::string& content) {
    TempDir dir;
    WriteFile(dir / "B.olb", content);
    return ScanFile(dir / "B.olb", platform::DefaultFileOps());
}

long PeakResidentKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

TEST(FirstLine, FindsTheMarkerOnTheFirstLineOnly) {
    struct Case {
        const char* what;
        std::string content;
        FirstLineScan expected;
    };
    const std::string block(4096, 'x');
    const Case cases[] = {
        {"alone", "[OAQUAN]", FirstLineScan::Found},
        {"text around it", "Batch [OAQUAN] v2\nrow", FirstLineScan::Found},
        {"CRLF line end", "a[OAQUAN]\r\nrow\r\n", FirstLineScan::Found},
        {"lower case", "[oaquan]\n", FirstLineScan::NotFound},
        {"second line only", "header\n[OAQUAN]\n", FirstLineScan::NotFound},
        {"first line empty", "\n[OAQUAN]\n", FirstLineScan::NotFound},
        {"first line empty, CRLF", "\r\n[OAQUAN]\r\n", FirstLineScan::NotFound},
        {"a lone CR does not end the line", "a\r[OAQUAN]\n", FirstLineScan::Found},
        {"binary bytes", std::string("\0\x01\xff[OAQ", 7) + "UAN]\x80\n", FirstLineScan::Found},
        {"split by a NUL", std::string("[OAQ\0UAN]", 9), FirstLineScan::NotFound},
        {"at the end of a long line", block + block + "[OAQUAN]", FirstLineScan::Found},
        {"after a long first line", block + "\n[OAQUAN]", FirstLineScan::NotFound},
        {"empty file", "", FirstLineScan::Empty},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ScanText(c.content), c.expected) << c.what;
}

TEST(FirstLine, FindsTheMarkerSplitAcrossEveryReadBoundary) {
    for (std::size_t before = 4096 - 9; before <= 4096 + 1; ++before) {
        const std::string content = std::string(before, 'x') + "[OAQUAN]\n";
        EXPECT_EQ(ScanText(content), FirstLineScan::Found) << before;
        // And a line end just before it still ends the first line there.
        const std::string late = std::string(before, 'x') + "\n[OAQUAN]";
        EXPECT_EQ(ScanText(late), FirstLineScan::NotFound) << before;
    }
}

TEST(FirstLine, AReadErrorIsReported) {
    TempDir dir;
    WriteFile(dir / "B.olb", std::string(10000, 'x'));
    FaultyFileOps ops;
    ops.Inject({FaultyFileOps::Op::Read, EIO, 2});
    EXPECT_EQ(ScanFile(dir / "B.olb", ops), FirstLineScan::ReadError);
}

TEST(FirstLine, AHugeFirstLineNeedsNoMoreMemoryThanABlock) {
    // One GiB without a line end, stored sparsely, with the marker at its end.
    TempDir dir;
    const std::string path = dir / "huge.olb";
    const off_t size = off_t(1) << 30;
    {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, size), 0);
        ASSERT_EQ(pwrite(fd, kMarker.data(), kMarker.size(), size), ssize_t(kMarker.size()));
        close(fd);
    }
    const long before = PeakResidentKiB();
    EXPECT_EQ(ScanFile(path, platform::DefaultFileOps()), FirstLineScan::Found);
    EXPECT_LT(PeakResidentKiB() - before, 64 * 1024) << "KiB more at peak";
}

TEST(RegularFile, OpensOnlyRegularFilesAndNeverBlocks) {
    TempDir dir;
    WriteFile(dir / "real", "x");
    ASSERT_EQ(symlink((dir / "real").c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(symlink((dir / "nowhere").c_str(), (dir / "dangling").c_str()), 0);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    std::filesystem::create_directory(dir / "sub");
    platform::FileOps& ops = platform::DefaultFileOps();
    struct Case {
        const char* name;
        int error;
    };
    const Case cases[] = {
        {"link", ELOOP}, {"dangling", ELOOP}, {"fifo", EINVAL}, {"sub", EINVAL}, {"none", ENOENT}};
    for (const Case& c : cases) {
        errno = 0;
        EXPECT_EQ(platform::OpenRegularFile(ops, dir / c.name), -1) << c.name;
        EXPECT_EQ(errno, c.error) << c.name;
    }
    const int fd = platform::OpenRegularFile(ops, dir / "real");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    close(fd);
}

TEST(RegularFile, UnsharedOpenRefusesAFileOpenForWriting) {
    TempDir dir;
    WriteFile(dir / "B.olb", "x");
    platform::FileOps& ops = platform::DefaultFileOps();
    const int writer = open((dir / "B.olb").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    errno = 0;
    EXPECT_EQ(platform::OpenUnshared(ops, dir / "B.olb"), -1);
    EXPECT_EQ(errno, EBUSY);
    close(writer);
    const int fd = platform::OpenUnshared(ops, dir / "B.olb");
    EXPECT_GE(fd, 0);
    close(fd);
    // Where a lease is not permitted the file opens all the same.
    FaultyFileOps noLeases;
    noLeases.Inject({FaultyFileOps::Op::SetLease, EACCES, 0});
    const int again = platform::OpenUnshared(noLeases, dir / "B.olb");
    EXPECT_GE(again, 0);
    close(again);
}
