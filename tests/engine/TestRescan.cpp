#include "engine/CBatchQueue.h"
#include "support/FakeQueueLibrary.h"
#include "support/ScriptedFinder.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>

using engine::CBatchQueue;
using engine::EngineServices;
using external::CFileFindS;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

struct Engine {
    testsupport::FakeQueueLibrary library;
    testsupport::FakeClock clock;
    std::unique_ptr<CBatchQueue> queue;

    explicit Engine(engine::FinderFactory finders = engine::DefaultFinderFactory()) {
        queue = std::make_unique<CBatchQueue>(EngineServices{&library, &clock, std::move(finders)});
    }
    void Aim(const std::string& dir, const std::string& filter = "*.olb") {
        settings::CBatchParams p;
        p.QueueDir = dir;
        p.Filters = filter;
        queue->SetSettings(p);
    }
    std::vector<std::string> Titles() const {
        std::vector<std::string> out;
        for (const auto& b : queue->List())
            out.push_back(b.title);
        return out;
    }
};

engine::FinderFactory Scripted(std::vector<CFileFindS::Entry> entries) {
    return [entries] { return std::make_unique<testsupport::ScriptedFinder>(entries); };
}

} // namespace

TEST(Rescan, ListsOldestFirstAndKeepsFinderOrderForEqualSeconds) {
    // 10:00:05, 10:00:01, 10:00:03 as the directory returns them, plus two that
    // share a second and a directory that matches the filter.
    Engine e(Scripted({{"c.olb", 36005, 1, false},
                       {"a.olb", 36001, 1, false},
                       {"sub.olb", 36000, 1, true},
                       {"z.olb", 36003, 1, false},
                       {"b.olb", 36003, 1, false}}));
    e.Aim("/q");
    EXPECT_EQ(e.queue->Rescan(), 1);
    EXPECT_EQ(e.Titles(), (std::vector<std::string>{"a", "z", "b", "c"}));
    EXPECT_EQ(e.queue->List().GetHead().path, "/q/a.olb");
    EXPECT_EQ(e.queue->List().GetHead().created, 36001);
}

TEST(Rescan, ScanPatternJoinsDirectoryAndFilter) {
    struct Case {
        const char *dir, *filter, *pattern;
    };
    const Case cases[] = {{"/q/", "*.olb", "/q/*.olb"},
                          {"/q", "*.olb", "/q/*.olb"},
                          {"", "*.olb", "/*.olb"},
                          {"/q", "", "/q/"}};
    for (const auto& c : cases) {
        Engine e;
        e.Aim(c.dir, c.filter);
        EXPECT_EQ(e.queue->ScanPattern(), c.pattern);
    }
}

TEST(Rescan, RealDirectoryListsOnlyRegularMatchingFilesWithoutBlocking) {
    TempDir dir;
    WriteFile(dir / "a.b.olb", "x");
    WriteFile(dir / "other.txt", "x");
    std::filesystem::create_directory(dir / "x.olb");
    ASSERT_EQ(mkfifo((dir / "F.olb").c_str(), 0600), 0);
    ASSERT_EQ(symlink("/dev/zero", (dir / "L.olb").c_str()), 0);
    Engine e;
    e.Aim(dir.Path());
    e.queue->Rescan();
    ASSERT_EQ(e.Titles(), (std::vector<std::string>{"a.b"}));
    EXPECT_EQ(e.queue->List().GetHead().path, dir / "a.b.olb");

    // Every rescan starts afresh, though the list's storage serves again:
    // names of other lengths, fewer and more batches.
    const std::vector<std::vector<std::string>> scans = {
        {},
        {"a-name-longer-than-any-short-string-buffer"},
        {"b", "c", "d"},
        {"c"},
        {"e", "f-another-name-longer-than-a-short-string-buffer", "g", "h"}};
    std::vector<std::string> present = {"a.b"};
    for (const auto& titles : scans) {
        for (const std::string& old : present)
            std::filesystem::remove(dir / (old + ".olb"));
        for (const std::string& title : titles)
            WriteFile(dir / (title + ".olb"), "x");
        present = titles;
        e.queue->Rescan();
        std::vector<std::string> listed = e.Titles(), paths;
        for (const auto& batch : e.queue->List())
            paths.push_back(batch.path);
        std::sort(listed.begin(), listed.end());
        EXPECT_EQ(listed, titles);
        for (const std::string& title : titles)
            EXPECT_NE(std::find(paths.begin(), paths.end(), dir / (title + ".olb")), paths.end());
    }
}

TEST(Rescan, EmptyOrMissingDirectoryGivesAnEmptyListAndNoRows) {
    TempDir dir;
    for (const std::string& queueDir : {dir.Path(), dir / "missing"}) {
        Engine e;
        e.Aim(queueDir);
        e.queue->Rescan();
        std::vector<std::string> names, times;
        EXPECT_NE(e.queue->DisplayRows(names, times), 0);
        EXPECT_TRUE(names.empty());
        EXPECT_TRUE(times.empty());
    }
}

TEST(DisplayRows, TitlesAndLocalCreationTimesInListOrder) {
    const char* oldTz = std::getenv("TZ");
    const std::string savedTz = oldTz ? oldTz : "";
    setenv("TZ", "UTC", 1);
    tzset();
    Engine e(Scripted({{"late.olb", 1'700'000'000, 0, false}, {"early.olb", 86'400, 0, false}}));
    e.Aim("/q");
    e.queue->Rescan();
    std::vector<std::string> names{"kept"}, times{"kept"};
    ASSERT_NE(e.queue->DisplayRows(names, times), 0);
    // The C locale's "%x %X" is "mm/dd/yy hh:mm:ss".
    EXPECT_EQ(names, (std::vector<std::string>{"kept", "early", "late"}));
    EXPECT_EQ(times, (std::vector<std::string>{"kept", "01/02/70 00:00:00", "11/14/23 22:13:20"}));
    if (oldTz)
        setenv("TZ", savedTz.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(CBatchQueue, SettingsExchangeKeepsTheEnginesQuanMarker) {
    Engine e;
    settings::CBatchParams in;
    in.QueueDir = "/new";
    in.QuanMarker = 32;
    EXPECT_EQ(e.queue->SetSettings(in), 1);
    EXPECT_EQ(e.queue->Settings().QuanMarker, 0);
    settings::CBatchParams out;
    out.QuanMarker = 32;
    EXPECT_EQ(e.queue->GetSettings(out), 1);
    EXPECT_EQ(out.QueueDir, "/new");
    EXPECT_EQ(out.QuanMarker, 32);
}

TEST(CBatchList, AssignOrdersAsRepeatedOrderedInsertsDo) {
    // Few distinct seconds among many batches, so most of them tie.
    std::mt19937 random(7);
    for (const int distinctSeconds : {1, 3, 50}) {
        std::vector<engine::CBatch> scan;
        for (int i = 0; i < 500; ++i)
            scan.push_back({"b" + std::to_string(i), "",
                            static_cast<std::int64_t>(random() % distinctSeconds), 0});
        engine::CBatchList inserted, assigned;
        for (const auto& batch : scan)
            inserted.InsertOrdered(batch);
        assigned.Assign(scan);
        EXPECT_TRUE(std::equal(inserted.begin(), inserted.end(), assigned.begin(), assigned.end()))
            << distinctSeconds << " distinct seconds";
    }
}

TEST(DisplayRows, EachRowShowsItsOwnBatchsTimeWhenSecondsRepeat) {
    // Creation seconds A, A, B, A in scan order list as A, A, A, B.
    Engine e(Scripted({{"1.olb", 1000, 0, false},
                       {"2.olb", 1000, 0, false},
                       {"3.olb", 90000, 0, false},
                       {"4.olb", 1000, 0, false}}));
    e.Aim("/q");
    e.queue->Rescan();
    std::vector<std::string> names, times;
    e.queue->DisplayRows(names, times);
    EXPECT_EQ(names, (std::vector<std::string>{"1", "2", "4", "3"}));
    const std::string a = engine::FormatLocalTime(1000), b = engine::FormatLocalTime(90000);
    EXPECT_EQ(times, (std::vector<std::string>{a, a, a, b}));
}
