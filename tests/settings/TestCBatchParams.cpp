#include "DistinctRecord.h"
#include "settings/CBatchParams.h"
#include "settings/MemoryProfileStore.h"

#include <gtest/gtest.h>

using settings::CBatchParams;
using settings::MemoryProfileStore;

namespace {
const char* S = CBatchParams::kSection;

// Every field distinct, with an empty string and flags beyond 0 and 1, which are stored as given.
CBatchParams Sample() {
    CBatchParams p = settingstest::DistinctRecord();
    p.AbortFile = "";
    p.Quantify = 7;
    p.CreateSummary = -3;
    return p;
}
} // namespace

TEST(CBatchParams, ConstructorValues) {
    const CBatchParams p;
    EXPECT_EQ(p.WaitBeforeSubmit, 5);
    EXPECT_EQ(p.ExternalTimeout, 60);
    EXPECT_EQ(p.QueueDir + p.ProcessedDir + p.FailedDir + p.Filters + p.StatusFile + p.AbortFile +
                  p.SchemeName + p.BrowserFile,
              "");
    EXPECT_EQ(p.Acquire | p.Process | p.Quantify | p.Profile | p.PrintReport | p.CreateSummary |
                  p.QuanMarker,
              0);
}

TEST(CBatchParams, EmptyStoreGivesTheDefaults) {
    MemoryProfileStore store;
    CBatchParams p;
    ASSERT_EQ(p.Load(&store), 1);
    EXPECT_EQ(p.QueueDir, ".");
    EXPECT_EQ(p.ProcessedDir, "./Processed");
    EXPECT_EQ(p.FailedDir, "./Failed");
    EXPECT_EQ(p.Filters, "*.olb");
    EXPECT_EQ(p.WaitBeforeSubmit, 5);
    EXPECT_EQ(p.StatusFile, "c:\\sampling.sem");
    EXPECT_EQ(p.AbortFile, "c:\\abort.sem");
    EXPECT_EQ(p.Acquire, 1);
    EXPECT_EQ(p.Process, 1);
    EXPECT_EQ(p.Quantify + p.Profile + p.PrintReport + p.CreateSummary, 0);
    EXPECT_EQ(p.SchemeName, "");
    EXPECT_EQ(p.BrowserFile, "Telvorn.exe");
    EXPECT_EQ(p.ExternalTimeout, 60);
}

TEST(CBatchParams, DerivedDirectoriesFollowTheLoadedQueueDir) {
    struct Case {
        const char* queueDir;
        const char* storedProcessed; // nullptr: key missing
        const char *processed, *failed;
    };
    const Case cases[] = {
        {"D:/Queue", nullptr, "D:/Queue/Processed", "D:/Queue/Failed"},
        {"D:/Queue/", nullptr, "D:/Queue/Processed", "D:/Queue/Failed"},
        {"", nullptr, "Processed", "Failed"},
        {"/q", "/elsewhere", "/elsewhere", "/q/Failed"},
        {"/q", "", "", "/q/Failed"}, // a present empty value is a value
    };
    for (const auto& c : cases) {
        MemoryProfileStore store;
        store.WriteString(S, "QueueDir", c.queueDir);
        if (c.storedProcessed)
            store.WriteString(S, "ProcessedDir", c.storedProcessed);
        CBatchParams p;
        p.Load(&store);
        EXPECT_EQ(p.QueueDir, c.queueDir);
        EXPECT_EQ(p.ProcessedDir, c.processed) << c.queueDir;
        EXPECT_EQ(p.FailedDir, c.failed) << c.queueDir;
    }
}

TEST(CBatchParams, IntegersThatAreNotInt32ReadAsDefault) {
    struct Case {
        const char* text;
        int expected;
    };
    const Case cases[] = {{"0", 0},          {"-7", -7},
                          {" 42 ", 42},      {"+3", 3},
                          {"abc", 5},        {"", 5},
                          {"12x", 5},        {"2147483647", 2147483647},
                          {"2147483648", 5}, {"-2147483648", -2147483647 - 1},
                          {"1.5", 5}};
    for (const auto& c : cases) {
        MemoryProfileStore store;
        store.WriteString(S, "WaitBeforeSubmit", c.text);
        CBatchParams p;
        p.Load(&store);
        EXPECT_EQ(p.WaitBeforeSubmit, c.expected) << '"' << c.text << '"';
    }
}

TEST(CBatchParams, SaveWritesAllKeysInOrderAndLoadRestoresThem) {
    MemoryProfileStore store;
    const CBatchParams saved = Sample();
    ASSERT_EQ(saved.Save(&store), 1);
    const std::vector<std::string> order = {
        "QueueDir",         "ProcessedDir", "FailedDir",   "Filters",
        "WaitBeforeSubmit", "StatusFile",   "AbortFile",   "Acquire",
        "Process",          "Quantify",     "Profile",     "PrintReport",
        "CreateSummary",    "SchemeName",   "BrowserFile", "ExternalTimeout"};
    EXPECT_EQ(store.WriteOrder(), order);

    CBatchParams loaded;
    loaded.QuanMarker = 32;
    loaded.Load(&store);
    EXPECT_EQ(loaded.QuanMarker, 32) << "the marker is never loaded";
    loaded.QuanMarker = 0;
    EXPECT_EQ(loaded, saved);

    // Once saved, the derived directories no longer follow QueueDir.
    store.WriteString(S, "QueueDir", "/other");
    loaded.Load(&store);
    EXPECT_EQ(loaded.ProcessedDir, "/lab/done");
}

TEST(CBatchParams, NoStoreChangesNothing) {
    CBatchParams p = Sample();
    p.QuanMarker = 32;
    CBatchParams before = p;
    before.QuanMarker = 32;
    EXPECT_EQ(p.Load(nullptr), 0);
    EXPECT_EQ(p.Save(nullptr), 0);
    EXPECT_EQ(p, before);
}

TEST(CBatchParams, AssignmentKeepsTheTargetsQuanMarker) {
    CBatchParams source = Sample();
    source.QuanMarker = 0;
    CBatchParams target;
    target.QuanMarker = 32;
    target = source;
    EXPECT_EQ(target.QuanMarker, 32);
    EXPECT_EQ(target.SchemeName, "Summary A");
    EXPECT_EQ(target.ExternalTimeout, 120);
    const CBatchParams copy(target);
    EXPECT_EQ(copy.QuanMarker, 0) << "a new record starts with no marker";
}
