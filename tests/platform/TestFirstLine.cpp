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
#include <vector>

using platform::FirstLineScan;
using platform::SearchFirstLine;
using testsupport::FaultyFileOps;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

constexpr std::string_view kMarker = "[OAQUAN]";

FirstLineScan ScanFile(const std::string& path, platform::FileOps& ops,
                       std::uint64_t limit = platform::kFirstLineLimit) {
    platform::FileHandle file(ops, platform::OpenRegularFile(ops, path));
    if (!file.IsOpen())
        return FirstLineScan::ReadError;
    return SearchFirstLine(ops, file.Get(), kMarker, limit);
}

constexpr off_t kMiB = off_t(1) << 20;

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
    const std::size_t read = std::size_t(1) << 20;
    for (std::size_t before = read - 9; before <= read + 1; ++before) {
        const std::string content = std::string(before, 'x') + "[OAQUAN]\n";
        EXPECT_EQ(ScanText(content), FirstLineScan::Found) << before;
        // And a line end just before it still ends the first line there.
        const std::string late = std::string(before, 'x') + "\n[OAQUAN]";
        EXPECT_EQ(ScanText(late), FirstLineScan::NotFound) << before;
    }
}

TEST(FirstLine, AFirstLineLongerThanTheLimitIsTooLong) {
    struct Case {
        const char* what;
        std::uint64_t limit;
        std::string content;
        FirstLineScan expected;
    };
    const std::string block(1 << 20, 'x'); // one read
    const Case cases[] = {
        {"marker filling the limit", 8, "[OAQUAN]", FirstLineScan::Found},
        {"marker filling the limit, line end", 8, "[OAQUAN]\n", FirstLineScan::Found},
        {"marker one byte past the limit", 7, "[OAQUAN]\n", FirstLineScan::TooLong},
        {"marker before the limit, line on", 16, "[OAQUAN]" + block, FirstLineScan::Found},
        {"line of the limit", 8, "12345678\n[OAQUAN]", FirstLineScan::NotFound},
        {"line of the limit, file ends", 8, "12345678", FirstLineScan::NotFound},
        {"line one past the limit", 8, "123456789\n", FirstLineScan::TooLong},
        {"line one past the limit, file ends", 8, "123456789", FirstLineScan::TooLong},
        {"no limit, empty line", 0, "\n", FirstLineScan::NotFound},
        {"no limit, one byte", 0, "x", FirstLineScan::TooLong},
        {"no limit, empty file", 0, "", FirstLineScan::Empty},
        {"line of the limit across reads", block.size() + 3, block + "abc\n",
         FirstLineScan::NotFound},
        {"one past across reads", block.size() + 3, block + "abcd\n", FirstLineScan::TooLong},
    };
    for (const Case& c : cases) {
        TempDir dir;
        WriteFile(dir / "B.olb", c.content);
        EXPECT_EQ(ScanFile(dir / "B.olb", platform::DefaultFileOps(), c.limit), c.expected)
            << c.what;
    }
}

TEST(FirstLine, HolesHoldNeitherLineEndNorMarkerAndCountTowardTheLimit) {
    struct Case {
        const char* what;
        off_t size;
        std::vector<testsupport::SparsePiece> pieces;
        std::uint64_t limit;
        FirstLineScan expected;
    };
    const Case cases[] = {
        {"marker after a hole",
         4 * kMiB + 9,
         {{4 * kMiB, "[OAQUAN]\n"}},
         8 * kMiB,
         FirstLineScan::Found},
        {"marker after a hole past the limit",
         4 * kMiB + 9,
         {{4 * kMiB, "[OAQUAN]\n"}},
         kMiB,
         FirstLineScan::TooLong},
        {"line end after a hole",
         2 * kMiB + 9,
         {{0, "ab"}, {2 * kMiB, "\n[OAQUAN]"}},
         8 * kMiB,
         FirstLineScan::NotFound},
        {"marker cut by a hole",
         kMiB + 5,
         {{0, "[OAQ"}, {kMiB, "UAN]\n"}},
         8 * kMiB,
         FirstLineScan::NotFound},
        {"only a hole, of the limit", 2 * kMiB, {}, 2 * kMiB, FirstLineScan::NotFound},
        {"only a hole, one past the limit", 2 * kMiB + 1, {}, 2 * kMiB, FirstLineScan::TooLong},
        {"a trailing hole past the limit",
         3 * kMiB,
         {{0, "a[OAQ"}},
         2 * kMiB,
         FirstLineScan::TooLong},
        {"one TiB of hole", off_t(1) << 40, {}, platform::kFirstLineLimit, FirstLineScan::TooLong},
    };
    for (const bool holeSearch : {true, false}) {
        for (const Case& c : cases) {
            if (!holeSearch && c.size > 64 * kMiB)
                continue; // read byte for byte, a TiB would take hours
            SCOPED_TRACE(holeSearch ? "with hole search" : "without hole search");
            TempDir dir;
            testsupport::WriteSparseFile(dir / "B.olb", c.size, c.pieces);
            FaultyFileOps ops;
            if (!holeSearch)
                ops.Inject({FaultyFileOps::Op::Lseek, EINVAL, 0});
            EXPECT_EQ(ScanFile(dir / "B.olb", ops, c.limit), c.expected) << c.what;
        }
    }
}

TEST(FirstLine, AReadErrorIsReported) {
    TempDir dir;
    WriteFile(dir / "B.olb", std::string(3 << 20, 'x')); // more than one read
    FaultyFileOps ops;
    ops.Inject({FaultyFileOps::Op::Read, EIO, 2});
    EXPECT_EQ(ScanFile(dir / "B.olb", ops), FirstLineScan::ReadError);
}

TEST(FirstLine, AHugeFirstLineNeedsNoMoreMemoryThanABlock) {
    // One GiB without a line end (the default limit), stored sparsely, with
    // the marker at its end.
    TempDir dir;
    const std::string path = dir / "huge.olb";
    const off_t size = off_t(platform::kFirstLineLimit);
    {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, size), 0);
        const off_t at = size - off_t(kMarker.size());
        ASSERT_EQ(pwrite(fd, kMarker.data(), kMarker.size(), at), ssize_t(kMarker.size()));
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
