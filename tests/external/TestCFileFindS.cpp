#include "external/CFileFindS.h"
#include "platform/FileOps.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>
#include <vector>

using external::CFileFindS;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// Every name the finder yields for a pattern, in its order; directories marked "/".
std::vector<std::string> Names(const std::string& pattern, CFileFindS& finder) {
    std::vector<std::string> out;
    if (!finder.FindFile(pattern, 0))
        return out;
    int more = 1;
    while (more) {
        more = finder.FindNextFileA();
        out.push_back(finder.GetFileName() + (finder.IsDirectory() ? "/" : ""));
    }
    return out;
}

std::vector<std::string> Names(const std::string& pattern) {
    CFileFindS finder;
    return Names(pattern, finder);
}

} // namespace

TEST(CFileFindS, WildcardSearchYieldsRegularFilesAndDirectoriesByName) {
    TempDir dir;
    for (const char* name : {"b.olb", "a.b.olb", "C.olb", "x.OLB", "y.olb.bak", "[1].olb"})
        WriteFile(dir / name, "x");
    std::filesystem::create_directory(dir / "d.olb");
    ASSERT_EQ(mkfifo((dir / "fifo.olb").c_str(), 0600), 0);
    ASSERT_EQ(symlink("/dev/zero", (dir / "zero.olb").c_str()), 0);
    ASSERT_EQ(symlink((dir / "b.olb").c_str(), (dir / "link.olb").c_str()), 0);
    ASSERT_EQ(symlink("/nowhere", (dir / "dangling.olb").c_str()), 0);
    const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string sockPath = dir / "s.olb";
    ASSERT_LT(sockPath.size(), sizeof addr.sun_path);
    std::copy(sockPath.begin(), sockPath.end(), addr.sun_path);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

    const std::vector<std::string> expected = {"C.olb", "[1].olb", "a.b.olb", "b.olb", "d.olb/"};
    EXPECT_EQ(Names(dir / "*.olb"), expected);
    EXPECT_EQ(Names(dir / "?.olb"), (std::vector<std::string>{"C.olb", "b.olb", "d.olb/"}));
    close(sock);
}

TEST(CFileFindS, ExactPathMatchesOnlyRealFilesAndDirectories) {
    TempDir dir;
    WriteFile(dir / "sem", "");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink((dir / "sem").c_str(), (dir / "link").c_str()), 0);
    struct Case {
        std::string path;
        int found;
    };
    const Case cases[] = {{dir / "sem", 1},
                          {dir.Path(), 1},
                          {dir / "missing", 0},
                          {dir / "fifo", 0},
                          {dir / "link", 0},
                          {dir / "sem/", 0},
                          {"", 0}};
    for (const auto& c : cases) {
        CFileFindS finder;
        EXPECT_EQ(finder.FindFile(c.path, 0), c.found) << c.path;
    }
}

TEST(CFileFindS, AccessorsDescribeTheCurrentEntry) {
    TempDir dir;
    WriteFile(dir / "a.b.olb", "x");
    std::filesystem::create_directory(dir / "sub");
    testsupport::SetWriteTime(dir / "a.b.olb", 1'000'000'000);
    struct statx stx {};
    ASSERT_EQ(statx(AT_FDCWD, (dir / "a.b.olb").c_str(), 0, STATX_BTIME | STATX_CTIME, &stx), 0);
    const std::int64_t created =
        (stx.stx_mask & STATX_BTIME) ? stx.stx_btime.tv_sec : stx.stx_ctime.tv_sec;

    // A relative search path is made absolute; "." and ".." are resolved.
    const std::string cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path());
    CFileFindS finder;
    ASSERT_EQ(finder.FindFile("./sub/../*.olb", 0), 1);
    EXPECT_EQ(finder.GetFileName(), "") << "no entry is current before FindNextFileA";
    EXPECT_EQ(finder.FindNextFileA(), 0) << "the only match is also the last";
    std::filesystem::current_path(cwd);
    EXPECT_EQ(finder.GetFileName(), "a.b.olb");
    EXPECT_EQ(finder.GetFileTitle(), "a.b");
    EXPECT_EQ(finder.GetFilePath(), dir / "a.b.olb");
    EXPECT_EQ(finder.GetLastWriteTime(), 1'000'000'000);
    EXPECT_EQ(finder.GetCreationTime(), created);
    EXPECT_FALSE(finder.IsDirectory());
}

TEST(CFileFindS, ASearchThroughALinkedDirectoryNamesTheFilesTheKernelListed) {
    // lnk/../q2 leads the kernel to far/q2, while the text alone suggests the
    // decoy q2 beside lnk.
    TempDir root;
    for (const char* sub : {"far", "far/inner", "far/q2", "q2"})
        std::filesystem::create_directory(root / sub);
    WriteFile(root / "far/q2/B.olb", "listed");
    WriteFile(root / "q2/B.olb", "decoy");
    ASSERT_EQ(symlink((root / "far/inner").c_str(), (root / "lnk").c_str()), 0);
    ASSERT_EQ(symlink((root / "nowhere").c_str(), (root / "dangling").c_str()), 0);
    const std::string listed = std::filesystem::canonical(root / "far/q2/B.olb");
    struct Case {
        std::string pattern;
        std::vector<std::string> paths;
    };
    const Case cases[] = {
        {root / "lnk/../q2/*.olb", {listed}},
        {root / "lnk/../q2/B.olb", {listed}},
        {root / "dangling/../q2/*.olb", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        CFileFindS finder;
        std::vector<std::string> paths;
        for (int more = finder.FindFile(c.pattern, 0); more;) {
            more = finder.FindNextFileA();
            paths.push_back(finder.GetFilePath());
            platform::FileIdentity identity;
            ASSERT_TRUE(platform::IdentifyAt(platform::DefaultFileOps(), paths.back(), identity));
            EXPECT_EQ(finder.GetFileIdentity(), identity);
            EXPECT_EQ(testsupport::ReadFile(paths.back()), "listed");
        }
        EXPECT_EQ(paths, c.paths);
    }
}

TEST(CFileFindS, MissingDirectoryOrFileMatchesNothing) {
    TempDir dir;
    EXPECT_TRUE(Names(dir / "missing/*.olb").empty());
    EXPECT_TRUE(Names(dir / "*.olb").empty());
    WriteFile(dir / "plain", "");
    EXPECT_TRUE(Names(dir / "plain/*").empty()) << "a file is not a directory";
}

TEST(CFileFindS, ManyNamesComeInByteOrderWhateverTheirCreationOrder) {
    // Names that share long prefixes, are prefixes of one another, or hold bytes
    // above 0x7f, created in a shuffled order.
    std::vector<std::string> names;
    for (const char* stem : {"plate0000", "plate000", "plate00000", "PLATE0000", "plate0000a",
                             "pl\xc3\xa4te", "pl\xff", "p", "plate0000\x80", "_plate"})
        for (int i = 0; i < 12; ++i)
            names.push_back(std::string(stem) + std::to_string(i % 3) + std::string(i / 3, 'z') +
                            ".olb");
    std::vector<std::string> shuffled = names;
    std::mt19937 random(42);
    std::shuffle(shuffled.begin(), shuffled.end(), random);
    TempDir dir;
    for (const std::string& name : shuffled)
        WriteFile(dir / name, "");
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    EXPECT_EQ(Names(dir / "*.olb"), names);

    // One finder searching again and again, as the scan's does, while the
    // directory stays, loses a name to another, shrinks, grows and vanishes.
    CFileFindS finder;
    const auto rename = [&](const std::string& from, const std::string& to) {
        std::filesystem::rename(dir / from, dir / to);
        *std::find(names.begin(), names.end(), from) = to;
        std::sort(names.begin(), names.end());
    };
    const std::function<void()> changes[] = {
        [] {},
        [&] { rename(names.front(), "zzz.olb"); },
        [&] { rename(names[5], "plate.olb"); },
        [&] {
            std::filesystem::remove(dir / names.back());
            names.pop_back();
        },
        [&] {
            WriteFile(dir / "a.olb", "");
            names.insert(std::upper_bound(names.begin(), names.end(), "a.olb"), "a.olb");
        },
        [] {}};
    for (const auto& change : changes) {
        change();
        EXPECT_EQ(Names(dir / "*.olb", finder), names);
    }
    std::vector<std::string> fewer;
    std::copy_if(names.begin(), names.end(), std::back_inserter(fewer),
                 [](const std::string& name) { return name.rfind("plate0", 0) == 0; });
    EXPECT_EQ(Names(dir / "plate0*", finder), fewer);
    EXPECT_TRUE(Names(dir / "missing/*.olb", finder).empty());
    EXPECT_EQ(Names(dir / "*.olb", finder), names);
}

TEST(CFileFindS, NamesThatGoOrTurnIntoLinksDuringTheWalkArePassedOver) {
    // A search lists the names first and describes each as the walk reaches
    // it; what changed in between is treated as if it had never been listed.
    TempDir dir;
    for (const char* name : {"a.olb", "b.olb", "c.olb", "d.olb"})
        WriteFile(dir / name, "x");
    CFileFindS finder;
    ASSERT_NE(finder.FindFile(dir / "*.olb", 0), 0);
    std::filesystem::remove(dir / "b.olb");
    std::filesystem::remove(dir / "d.olb");
    ASSERT_EQ(symlink("/dev/zero", (dir / "d.olb").c_str()), 0);
    EXPECT_NE(finder.FindNextFileA(), 0);
    EXPECT_EQ(finder.GetFileName(), "a.olb");
    EXPECT_EQ(finder.FindNextFileA(), 0) << "c.olb is the last match left";
    EXPECT_EQ(finder.GetFileName(), "c.olb");
    EXPECT_FALSE(finder.IsDirectory());
}
