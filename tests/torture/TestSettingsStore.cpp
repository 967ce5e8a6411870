// The settings store against damaged files: garbage, a file cut short,
// integers out of range or not numeric, a read-only configuration directory.
// Loading always succeeds with defaults for what is unusable, and a file that
// could not be parsed is never rewritten.

#include "settings/CBatchParams.h"
#include "settings/QtProfileStore.h"
#include "support/FileModesBind.h"
#include "support/TempDir.h"
#include "torture/TortureSupport.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>

using settings::CBatchParams;
using settings::QtProfileStore;

namespace {

class SettingsStore : public ::testing::Test {
protected:
    void SetUp() override {
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(m_config.Path()));
        std::filesystem::create_directories(Dir());
    }
    void TearDown() override { chmod(Dir().c_str(), 0700); }
    std::string Dir() const { return m_config / "Orbinel"; }
    std::string File() const { return Dir() + "/TortureStore.conf"; }

    CBatchParams Load() {
        QtProfileStore store("Orbinel", "TortureStore");
        CBatchParams p;
        p.Load(&store);
        return p;
    }

    testsupport::TempDir m_config;
};

std::string RandomBytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random());
    return bytes;
}

} // namespace

TEST_F(SettingsStore, UnusableIntegersReadAsTheirDefaults) {
    struct Case {
        const char* text;
        std::int32_t expected; // WaitBeforeSubmit, default 5
    };
    const Case cases[] = {
        {"abc", 5},
        {"12abc", 5},
        {"", 5},
        {"0x10", 5},
        {"1e3", 5},
        {"2147483648", 5},
        {"-2147483649", 5},
        {"99999999999999999999", 5},
        {"3.5", 5},
        {"- 3", 5},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483648LL},
        {" 7 ", 7},
        {"+8", 8},
        {"+-5", 5},
        {"-+5", 5},
        {"++5", 5},
        {"--5", 5},
    };
    for (const Case& c : cases) {
        testsupport::WriteFile(File(), std::string("[Settings]\nWaitBeforeSubmit=") + c.text +
                                           "\nExternalTimeout=" + c.text + "\n");
        const CBatchParams p = Load();
        EXPECT_EQ(p.WaitBeforeSubmit, c.expected) << "[" << c.text << "]";
        EXPECT_EQ(p.ExternalTimeout, c.expected == 5 ? 60 : c.expected) << "[" << c.text << "]";
    }
}

TEST_F(SettingsStore, ADamagedFileLoadsWithDefaultsAndIsNeverRewritten) {
    const std::string good = "[Settings]\nQueueDir=/data/queue\nWaitBeforeSubmit=9\n";
    const std::vector<std::pair<std::string, std::string>> files = {
        {"random bytes", RandomBytes(4096, torture::Seed())},
        {"cut in a section name", "[Sett"},
        {"cut in a value", good.substr(0, good.size() - 3)},
        {"cut in a quoted value", "[Settings]\nQueueDir=\"/data/qu"},
        {"nul bytes", std::string("[Settings]\nQueueDir=/a\0b\nFilters=*.olb\n", 38)},
        {"a huge line", "[Settings]\nSchemeName=" + std::string(1 << 20, 'x') + "\n"},
        {"no section", "QueueDir=/elsewhere\n"},
        {"empty", ""},
    };
    for (const auto& [what, content] : files) {
        SCOPED_TRACE(what);
        testsupport::WriteFile(File(), content);
        CBatchParams loaded;
        EXPECT_NO_FATAL_FAILURE(loaded = Load());
        // Whatever was usable is used; the rest has its default.
        EXPECT_TRUE(loaded.WaitBeforeSubmit == 5 || loaded.WaitBeforeSubmit == 9);
        EXPECT_EQ(loaded.Acquire, 1);
        EXPECT_EQ(testsupport::ReadFile(File()), content) << "the file was changed by a load";
    }
}

TEST_F(SettingsStore, SavingOverAFileThatCouldNotBeParsedKeepsItsContent) {
    // A file that the store cannot parse, or that is too large to be read:
    // saving the settings must not throw it away unseen; it stays, whole,
    // beside the new file.
    const std::string tooLarge =
        "[Settings]\nWaitBeforeSubmit=9\n;" + std::string(QtProfileStore::kLargestFile, 'x') + "\n";
    const std::pair<const char*, std::string> files[] = {
        {"garbage", "[Settings\n\xff\xfe garbage \"\n=\n[[[\n"},
        {"larger than the limit", tooLarge},
    };
    for (const auto& [what, content] : files) {
        SCOPED_TRACE(what);
        std::filesystem::remove_all(Dir());
        std::filesystem::create_directories(Dir());
        testsupport::WriteFile(File(), content);
        {
            QtProfileStore store("Orbinel", "TortureStore");
            CBatchParams p;
            p.Load(&store);
            EXPECT_EQ(p.WaitBeforeSubmit, 5);
            p.QueueDir = "/data/queue";
            p.Save(&store);
        }
        bool kept = testsupport::ReadFile(File()) == content;
        for (const std::string& name : testsupport::ListDirectory(Dir()))
            kept = kept || testsupport::ReadFile(Dir() + "/" + name) == content;
        EXPECT_TRUE(kept) << "the file was destroyed";

        EXPECT_EQ(Load().QueueDir, "/data/queue") << "the new settings were not saved";
    }
}

TEST_F(SettingsStore, WhatIsNotARegularFileReadsAsDefaultsUnopenedAndIsNeverWritten) {
    // Opened for reading, a FIFO would block the start for good.
    const std::string target = m_config / "target";
    const std::vector<std::pair<std::string, std::function<void()>>> entries = {
        {"a FIFO", [&] { ASSERT_EQ(mkfifo(File().c_str(), 0600), 0); }},
        {"a link to a FIFO",
         [&] {
             ASSERT_EQ(mkfifo(target.c_str(), 0600), 0);
             ASSERT_EQ(symlink(target.c_str(), File().c_str()), 0);
         }},
        {"a directory", [&] { ASSERT_EQ(mkdir(File().c_str(), 0700), 0); }},
        {"a link to a directory",
         [&] {
             ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
             ASSERT_EQ(symlink(target.c_str(), File().c_str()), 0);
         }},
        {"a link to a device", [&] { ASSERT_EQ(symlink("/dev/null", File().c_str()), 0); }},
        {"a socket",
         [&] {
             const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
             sockaddr_un address{};
             address.sun_family = AF_UNIX;
             ASSERT_LT(File().size(), sizeof address.sun_path);
             std::strcpy(address.sun_path, File().c_str());
             ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
             close(fd);
         }},
    };
    for (const auto& [what, make] : entries) {
        SCOPED_TRACE(what);
        std::filesystem::remove_all(m_config.Path() + "/target");
        std::filesystem::remove_all(Dir());
        std::filesystem::create_directories(Dir());
        make();
        struct stat before {};
        ASSERT_EQ(lstat(File().c_str(), &before), 0);
        const CBatchParams loaded = Load();
        EXPECT_EQ(loaded.WaitBeforeSubmit, 5);
        EXPECT_EQ(loaded.QueueDir, ".");
        {
            QtProfileStore store("Orbinel", "TortureStore");
            EXPECT_FALSE(store.WriteInt("Settings", "WaitBeforeSubmit", 11));
            EXPECT_NE(store.LastWriteError(), 0);
            EXPECT_EQ(store.GetInt("Settings", "WaitBeforeSubmit", 5), 11) << "held for this run";
            loaded.Save(&store);
        }
        struct stat after {};
        ASSERT_EQ(lstat(File().c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino) << "the entry was replaced";
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(testsupport::ListDirectory(Dir()).size(), 1u) << "a file was written beside it";
    }
}

TEST_F(SettingsStore, AFileDamagedWhileTheStoreIsOpenIsKeptAtTheNextSave) {
    testsupport::WriteFile(File(), "[Settings]\nWaitBeforeSubmit=9\n");
    QtProfileStore store("Orbinel", "TortureStore");
    EXPECT_EQ(store.GetInt("Settings", "WaitBeforeSubmit", 5), 9);
    const std::string garbage = "[Settings\n\x01\x02 = \"\n[[";
    testsupport::WriteFile(File(), garbage);
    EXPECT_TRUE(store.WriteInt("Settings", "Process", 0));
    EXPECT_EQ(testsupport::ReadFile(File() + ".unparsable"), garbage);
    EXPECT_NE(testsupport::ReadFile(File()), garbage);
}

TEST_F(SettingsStore, AConfigurationDirectoryThatCannotBeMadeLoadsDefaultsAndSavesNothing) {
    // Its place is taken by a file: nothing can be created there, even by root.
    std::filesystem::remove_all(Dir());
    testsupport::WriteFile(Dir(), "in the way");
    const CBatchParams defaults = Load();
    EXPECT_EQ(defaults.WaitBeforeSubmit, 5);
    EXPECT_EQ(defaults.QueueDir, ".");
    {
        QtProfileStore store("Orbinel", "TortureStore");
        EXPECT_FALSE(store.WriteInt("Settings", "WaitBeforeSubmit", 11));
        EXPECT_EQ(store.LastWriteError(), ENOTDIR);
    }
    EXPECT_EQ(testsupport::ReadFile(Dir()), "in the way");
    std::filesystem::remove(Dir());
}

TEST_F(SettingsStore, AReadOnlyConfigurationDirectoryLoadsAndRefusesToSaveQuietly) {
    testsupport::FileModesBind modesBind;
    if (!testsupport::ModesBindHere(m_config.Path().c_str()))
        GTEST_SKIP() << "running with privileges that ignore file modes";
    testsupport::WriteFile(File(), "[Settings]\nWaitBeforeSubmit=9\n");
    ASSERT_EQ(chmod(File().c_str(), 0400), 0);
    ASSERT_EQ(chmod(Dir().c_str(), 0500), 0);
    EXPECT_EQ(Load().WaitBeforeSubmit, 9);
    CBatchParams p = Load();
    p.WaitBeforeSubmit = 11;
    {
        QtProfileStore store("Orbinel", "TortureStore");
        EXPECT_FALSE(store.WriteInt("Settings", "WaitBeforeSubmit", 11));
        EXPECT_EQ(store.LastWriteError(), EACCES);
        p.Save(&store);
    }
    EXPECT_EQ(testsupport::ReadFile(File()), "[Settings]\nWaitBeforeSubmit=9\n");
}
