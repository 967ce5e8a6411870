#include "platform/ProfileReader.h"
#include "support/FaultyFileOps.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using platform::ReadProfileString;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

std::string Read(const std::string& content, std::size_t bufferSize = 260) {
    TempDir dir;
    WriteFile(dir / "B.olb", content);
    return ReadProfileString(platform::DefaultFileOps(), dir / "B.olb", "Batch", "ReportScheme",
                             "dflt", bufferSize);
}

} // namespace

TEST(ProfileReader, FollowsTheInitialisationFileRules) {
    struct Case {
        const char* what;
        std::string content;
        std::string expected;
    };
    const Case cases[] = {
        {"plain", "[Batch]\nReportScheme=Q7\n", "Q7"},
        {"names without case", "[bATCH]\nreportscheme=Q7\n", "Q7"},
        {"blanks around names and value", "  [ Batch ]  \n\t ReportScheme \t= \t Q 7 \t\n", "Q 7"},
        {"CRLF and no last line end", "[Batch]\r\nReportScheme=Q7", "Q7"},
        {"double quotes", "[Batch]\nReportScheme=\" Q7 \"\n", " Q7 "},
        {"single quotes", "[Batch]\nReportScheme='Q7'\n", "Q7"},
        {"unmatched quotes stay", "[Batch]\nReportScheme=\"Q7'\n", "\"Q7'"},
        {"only one pair removed", "[Batch]\nReportScheme=\"\"Q7\"\"\n", "\"Q7\""},
        {"a lone quote stays", "[Batch]\nReportScheme=\"\n", "\""},
        {"empty value is a value", "[Batch]\nReportScheme=\n", ""},
        {"value with '='", "[Batch]\nReportScheme=a=b\n", "a=b"},
        {"first key wins", "[Batch]\nReportScheme=A\nReportScheme=B\n", "A"},
        {"first section wins", "[Batch]\nX=1\n[Other]\n[Batch]\nReportScheme=B\n", "dflt"},
        {"key of another section", "[Other]\nReportScheme=O\n[Batch]\nY=1\n", "dflt"},
        {"key before any section", "ReportScheme=G\n[Batch]\n", "dflt"},
        {"longer key", "[Batch]\nReportSchemeX=1\nReportScheme=2\n", "2"},
        {"longer section", "[Batches]\nReportScheme=1\n", "dflt"},
        {"line without '='", "[Batch]\nReportScheme\nReportScheme=2\n", "2"},
        {"commented out", "[Batch]\n;ReportScheme=1\n", "dflt"},
        {"text after the bracket", "[Batch] junk\nReportScheme=Q7\n", "Q7"},
        {"no section", "a batch file\nwith rows\n", "dflt"},
        {"empty file", "", "dflt"},
        {"binary bytes", std::string("\xff\0\n[Batch]\nReportScheme=\x01Q\n", 27), "\x01Q"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Read(c.content), c.expected) << c.what;
}

TEST(ProfileReader, CutsTheValueToTheBuffer) {
    const std::string longValue(1000, 'v');
    EXPECT_EQ(Read("[Batch]\nReportScheme=" + longValue + "\n"), std::string(259, 'v'));
    // Quotes are taken off before the cut, and trailing blanks however many.
    EXPECT_EQ(Read("[Batch]\nReportScheme=\"" + longValue + "\"" + std::string(5000, ' ')),
              std::string(259, 'v'));
    EXPECT_EQ(Read("[Batch]\nReportScheme=\"abc\"   \n", 3), "ab");
    EXPECT_EQ(Read("[Batch]\n", 3), "df");
    EXPECT_EQ(Read("[Batch]\nReportScheme=abc\n", 0), "");
}

TEST(ProfileReader, LongLinesAreScannedNotStored) {
    // Long names still compare after their blanks are dropped; a long junk line
    // before the section is skipped.
    const std::string blanks(100'000, ' ');
    const std::string junk(3'000'000, 'j');
    EXPECT_EQ(Read(junk + "\n[Batch" + blanks + "]\nReportScheme" + blanks + "=" + blanks + "Q7" +
                   blanks + "\n"),
              "Q7");
}

TEST(ProfileReader, UnreadableFilesGiveTheDefault) {
    TempDir dir;
    WriteFile(dir / "real", "[Batch]\nReportScheme=Q7\n");
    ASSERT_EQ(symlink((dir / "real").c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    platform::FileOps& ops = platform::DefaultFileOps();
    for (const char* name : {"link", "fifo", "missing"})
        EXPECT_EQ(ReadProfileString(ops, dir / name, "Batch", "ReportScheme", "d", 260), "d")
            << name;
    testsupport::FaultyFileOps failing;
    failing.Inject({testsupport::FaultyFileOps::Op::Read, EIO, 1});
    EXPECT_EQ(ReadProfileString(failing, dir / "real", "Batch", "ReportScheme", "d", 260), "d");
}

TEST(ProfileReader, OnlyTheFirstBytesUpToTheLimitCount) {
    struct Case {
        const char* what;
        std::string content;
        std::uint64_t limit;
        std::string expected;
    };
    const std::string entry = "[Batch]\nReportScheme=Q7\n";
    const std::string junk(1 << 20, 'j'); // one read
    const Case cases[] = {
        {"the limit holds the file", entry, entry.size(), "Q7"},
        {"the value's line end past the limit", entry, entry.size() - 1, "dflt"},
        {"the file ends at the limit", "[Batch]\nReportScheme=Q7", 23, "Q7"},
        {"settled before the limit", entry + junk, entry.size(), "Q7"},
        {"the section past the limit", junk + "\n" + entry, junk.size(), "dflt"},
        {"across reads", junk + "\n" + entry, junk.size() + 1 + entry.size(), "Q7"},
        {"no bytes", entry, 0, "dflt"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        WriteFile(dir / "B.olb", c.content);
        EXPECT_EQ(ReadProfileString(platform::DefaultFileOps(), dir / "B.olb", "Batch",
                                    "ReportScheme", "dflt", 260, c.limit),
                  c.expected)
            << c.what;
    }
}

TEST(ProfileReader, HolesReadAsZeroBytesAndCountTowardTheLimit) {
    struct Case {
        const char* what;
        std::int64_t size;
        std::vector<testsupport::SparsePiece> pieces;
        std::uint64_t limit;
        std::string expected;
    };
    constexpr std::int64_t kMiB = 1 << 20;
    const std::string entry = "\n[Batch]\nReportScheme=Q7\n";
    const Case cases[] = {
        {"entry after a hole", 4 * kMiB + 25, {{4 * kMiB, entry}}, 8 * kMiB, "Q7"},
        {"entry after a hole past the limit", 4 * kMiB + 25, {{4 * kMiB, entry}}, kMiB, "dflt"},
        {"a hole line in the section",
         2 * kMiB + 17,
         {{0, "[Batch]\n"}, {2 * kMiB, "\nReportScheme=Q7\n"}},
         8 * kMiB,
         "Q7"},
        {"a hole in the value",
         2 * kMiB + 2,
         {{0, "[Batch]\nReportScheme=Q"}, {2 * kMiB, "7\n"}},
         8 * kMiB,
         "Q" + std::string(258, '\0')},
        {"a hole in the section name",
         2 * kMiB + 25,
         {{0, "[Bat"}, {2 * kMiB, "ch]\n"}},
         8 * kMiB,
         "dflt"},
        {"a trailing hole after the entry", 3 * kMiB, {{0, entry}}, 2 * kMiB, "Q7"},
        {"one TiB of hole", std::int64_t(1) << 40, {}, platform::kProfileReadLimit, "dflt"},
        {"one TiB of hole after the entry",
         std::int64_t(1) << 40,
         {{0, entry}},
         platform::kProfileReadLimit,
         "Q7"},
    };
    for (const bool holeSearch : {true, false}) {
        SCOPED_TRACE(holeSearch ? "with hole search" : "without hole search");
        for (const Case& c : cases) {
            if (!holeSearch && c.size > 64 * kMiB)
                continue; // read byte for byte, a TiB would take hours
            TempDir dir;
            testsupport::WriteSparseFile(dir / "B.olb", c.size, c.pieces);
            testsupport::FaultyFileOps ops;
            if (!holeSearch)
                ops.Inject({testsupport::FaultyFileOps::Op::Lseek, EINVAL, 0});
            EXPECT_EQ(ReadProfileString(ops, dir / "B.olb", "Batch", "ReportScheme", "dflt", 260,
                                        c.limit),
                      c.expected)
                << c.what;
        }
    }
}
