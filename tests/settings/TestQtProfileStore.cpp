#include "settings/CBatchParams.h"
#include "settings/MemoryProfileStore.h"
#include "settings/QtProfileStore.h"
#include "support/FaultyFileOps.h"
#include "support/FileModesBind.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <functional>

using settings::CBatchParams;
using settings::QtProfileStore;

namespace {

class QtProfileStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(m_config.Path()));
    }
    std::string ConfigFile() const { return m_config / "Orbinel/TesmaroTest.conf"; }
    void Put(const std::string& content) const {
        std::filesystem::create_directories(m_config / "Orbinel");
        testsupport::WriteFile(ConfigFile(), content);
    }
    testsupport::TempDir m_config;
};

} // namespace

TEST_F(QtProfileStoreTest, StringsSurviveSaveAndLoadByteForByte) {
    const std::string values[] = {
        "",
        "  blanks at both ends  ",
        "a,b,c",
        "semi;colon",
        "key=value",
        "# not a comment",
        "say \"hello\"",
        "c:\\sampling.sem",
        "\\\\server\\share\\",
        "Grüße Ωμέγα 試料",
        "trailing backslash\\",
        "@ByteArray(x)",
        "@@x",
        "'single'",
        "\"quoted\"",
        "\"",
        " ",
        "a\\\"b",
        "\\\\server",
        "c:\\\\doubled\\\\",
        "; no comment",
        "[Settings]",
    };
    for (const std::string& value : values) {
        CBatchParams saved;
        saved.QueueDir = value;
        saved.ProcessedDir = value;
        saved.FailedDir = value;
        saved.Filters = value;
        saved.StatusFile = value;
        saved.AbortFile = value;
        saved.SchemeName = value;
        saved.BrowserFile = value;
        {
            QtProfileStore store("Orbinel", "TesmaroTest");
            saved.Save(&store);
        }
        QtProfileStore store("Orbinel", "TesmaroTest");
        CBatchParams loaded;
        loaded.Load(&store);
        EXPECT_EQ(loaded, saved) << "value: [" << value << "]";
    }
    EXPECT_TRUE(testsupport::Exists(ConfigFile()));
}

TEST_F(QtProfileStoreTest, IntegersAndMissingKeys) {
    std::filesystem::create_directories(m_config / "Orbinel");
    testsupport::WriteFile(ConfigFile(), "[Settings]\n"
                                         "WaitBeforeSubmit=abc\n"
                                         "ExternalTimeout=120\n"
                                         "Acquire=\n"
                                         "QueueDir=\n"
                                         "SchemeName=a, b\n");
    QtProfileStore store("Orbinel", "TesmaroTest");
    CBatchParams p;
    p.Load(&store);
    EXPECT_EQ(p.WaitBeforeSubmit, 5);
    EXPECT_EQ(p.ExternalTimeout, 120);
    EXPECT_EQ(p.Acquire, 1) << "an empty integer text is not a number";
    EXPECT_EQ(p.QueueDir, "");
    EXPECT_EQ(p.ProcessedDir, "Processed");
    EXPECT_EQ(p.SchemeName, "a, b") << "a comma is part of the value";
    EXPECT_EQ(p.Filters, "*.olb");
}

TEST_F(QtProfileStoreTest, HandTypedAndFormerFilesReadAsMeant) {
    struct Case {
        const char* what;
        std::string file;
        const char* key;
        const char* expected;
    };
    const Case cases[] = {
        // Typed by hand: the value after '=' is the value.
        {"escape-like", "[Settings]\nAbortFile=c:\\abort.sem\n", "AbortFile", "c:\\abort.sem"},
        {"backslash, ';'", "[Settings]\nStatusFile=/lab/sem\\new.sem ; status\n", "StatusFile",
         "/lab/sem\\new.sem ; status"},
        {"UNC-like", "[Settings]\nQueueDir=\\\\server\\share\n", "QueueDir", "\\\\server\\share"},
        {"tab-like", "[Settings]\nQueueDir=c:\\temp\\new\\\n", "QueueDir", "c:\\temp\\new\\"},
        {"doubled, with a comment", "; mine\n[Settings]\nQueueDir=\\\\\\\\srv\\\\q\n", "QueueDir",
         "\\\\\\\\srv\\\\q"},
        {"CRLF, blanks", "[Settings]\r\n QueueDir \t= \t/data/q  \r\n", "QueueDir", "/data/q"},
        {"stray CRs", "[Settings]\nQueueDir=/q \r\r\nFilters=*\r\n", "QueueDir", "/q"},
        {"BOM", "\xEF\xBB\xBF[Settings]\nQueueDir=/q\n", "QueueDir", "/q"},
        {"case", "[sETTINGS]\nqueuedir=/q\n", "QueueDir", "/q"},
        {"comments", "[Settings]\n;QueueDir=/no\n  # QueueDir=/no\nQueueDir=/q # ; x\n", "QueueDir",
         "/q # ; x"},
        {"';' list", "[Settings]\nFilters=*.olb;*.txt\n", "Filters", "*.olb;*.txt"},
        {"comma", "[Settings]\nSchemeName=a, b,c\n", "SchemeName", "a, b,c"},
        {"quoted blanks", "[Settings]\nStatusFile= \" /s p \" \n", "StatusFile", " /s p "},
        {"single quotes", "[Settings]\nStatusFile='/s'\n", "StatusFile", "/s"},
        {"inner quotes", "[Settings]\nSchemeName=say \"hi\"\n", "SchemeName", "say \"hi\""},
        {"unmatched quote", "[Settings]\nSchemeName=\"abc\n", "SchemeName", "\"abc"},
        {"empty quotes", "[Settings]\nSchemeName=\"\"\n", "SchemeName", ""},
        {"first wins", "[Other]\nQueueDir=/o\n\n[Settings]\n\nQueueDir=/q\nQueueDir=/2\n",
         "QueueDir", "/q"},
        {"'=' in value", "[Settings]\nSchemeName=a=b\n", "SchemeName", "a=b"},
        // Written by the former store (bytes as it wrote them).
        {"former default", "[Settings]\nAbortFile=c:\\\\abort.sem\nStatusFile=c:\\\\sampling.sem\n",
         "AbortFile", "c:\\abort.sem"},
        {"former UNC", "[Settings]\nSchemeName=\\\\\\\\server\\\\share\\\\\n", "SchemeName",
         "\\\\server\\share\\"},
        {"former quoted", "[Settings]\nSchemeName=\"/lab/sem\\\\new.sem ; status\"\n", "SchemeName",
         "/lab/sem\\new.sem ; status"},
        {"former inner quotes", "[Settings]\nSchemeName=say \\\"hello\\\"\n", "SchemeName",
         "say \"hello\""},
        {"former own quotes", "[Settings]\nSchemeName=\\\"quoted\\\"\n", "SchemeName",
         "\"quoted\""},
        {"former both", "[Settings]\nSchemeName=a\\\\\\\"b\n", "SchemeName", "a\\\"b"},
        {"former '@'", "[Settings]\nSchemeName=@@ByteArray(x)\n", "SchemeName", "@ByteArray(x)"},
        {"former blanks", "[Settings]\nSchemeName=\"  both ends  \"\n", "SchemeName",
         "  both ends  "},
        {"former ';'", "[Settings]\nSchemeName=\"semi;colon\"\n", "SchemeName", "semi;colon"},
        {"former, other keys",
         "[Settings]\nBrowserFile=C:\\\\Program Files\\\\T\\\\T.exe\nFilters=\"a,b\"\n", "Filters",
         "a,b"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Put(c.file);
        QtProfileStore store("Orbinel", "TesmaroTest");
        EXPECT_EQ(store.GetString("Settings", c.key, "<missing>"), c.expected);
        // Written back through the store, every value keeps its reading.
        EXPECT_TRUE(store.WriteInt("Settings", "Acquire", 0));
        EXPECT_EQ(
            QtProfileStore("Orbinel", "TesmaroTest").GetString("Settings", c.key, "<missing>"),
            c.expected);
    }
}

TEST_F(QtProfileStoreTest, AFormerFileLoadsAsSavedAndIsRewrittenAsTyped) {
    // Byte for byte as the former store saved the defaults.
    Put("[Settings]\nAbortFile=c:\\\\abort.sem\nAcquire=1\nBrowserFile=Telvorn.exe\n"
        "CreateSummary=0\nExternalTimeout=60\nFailedDir=./Failed\nFilters=*.olb\nPrintReport=0\n"
        "Process=1\nProcessedDir=./Processed\nProfile=0\nQuantify=0\nQueueDir=.\nSchemeName=\n"
        "StatusFile=c:\\\\sampling.sem\nWaitBeforeSubmit=5\n");
    settings::MemoryProfileStore empty;
    CBatchParams defaults;
    defaults.Load(&empty);
    CBatchParams loaded;
    {
        QtProfileStore store("Orbinel", "TesmaroTest");
        loaded.Load(&store);
        EXPECT_EQ(loaded, defaults);
        loaded.Save(&store);
        EXPECT_EQ(store.LastWriteError(), 0);
    }
    const std::string text = testsupport::ReadFile(ConfigFile());
    EXPECT_NE(text.find("\nAbortFile=c:\\abort.sem\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nStatusFile=c:\\sampling.sem\n"), std::string::npos) << text;
    QtProfileStore store("Orbinel", "TesmaroTest");
    CBatchParams reloaded;
    reloaded.Load(&store);
    EXPECT_EQ(reloaded, defaults);
}

TEST_F(QtProfileStoreTest, SavingKeepsTheLinesItDoesNotSet) {
    Put("\xEF\xBB\xBF# lab settings\r\n[Settings]\r\n  queuedir = /old\r\nColour=blue\r\n\r\n"
        "[Other]\r\nKey=\\x\r\n");
    {
        QtProfileStore store("Orbinel", "TesmaroTest");
        EXPECT_TRUE(store.WriteString("Settings", "QueueDir", " /new "));
        EXPECT_TRUE(store.WriteString("Settings", "AbortFile", "c:\\abort.sem"));
        EXPECT_TRUE(store.WriteString("Fresh", "A", "'q'"));
    }
    EXPECT_EQ(
        testsupport::ReadFile(ConfigFile()),
        "\xEF\xBB\xBF# lab settings\r\n[Settings]\r\n  queuedir = \" /new \"\r\nColour=blue\r\n"
        "AbortFile=c:\\abort.sem\r\n\r\n[Other]\r\nKey=\\x\r\n\r\n[Fresh]\r\nA=\"'q'\"\r\n");
}

TEST_F(QtProfileStoreTest, AWriteThatCannotReachTheFileIsReportedAndHeldInMemory) {
    struct Case {
        const char* what;
        std::function<void(testsupport::FaultyFileOps&)> prepare;
        int error;
    };
    const Case cases[] = {
        {"read-only file", [&](testsupport::FaultyFileOps&) { chmod(ConfigFile().c_str(), 0400); },
         EACCES},
        {"read-only folder",
         [&](testsupport::FaultyFileOps&) { chmod((m_config / "Orbinel").c_str(), 0500); }, EACCES},
        {"disk full",
         [](testsupport::FaultyFileOps& ops) {
             ops.Inject({testsupport::FaultyFileOps::Op::Write, ENOSPC, 0});
         },
         ENOSPC},
        {"flush fails",
         [](testsupport::FaultyFileOps& ops) {
             ops.Inject({testsupport::FaultyFileOps::Op::Fsync, EIO, 0});
         },
         EIO},
    };
    testsupport::FileModesBind modesBind;
    const bool modesBind_ = testsupport::ModesBindHere(m_config.Path().c_str());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.error == EACCES && !modesBind_)
            continue; // privileges that ignore file modes
        chmod((m_config / "Orbinel").c_str(), 0700);
        Put("[Settings]\nQueueDir=/old\n");
        testsupport::FaultyFileOps ops;
        QtProfileStore store("Orbinel", "TesmaroTest", ops);
        c.prepare(ops);
        EXPECT_FALSE(store.WriteString("Settings", "QueueDir", "/new"));
        EXPECT_EQ(store.LastWriteError(), c.error);
        EXPECT_EQ(store.GetString("Settings", "QueueDir", ""), "/new");
        EXPECT_EQ(testsupport::ReadFile(ConfigFile()), "[Settings]\nQueueDir=/old\n");
        EXPECT_EQ(testsupport::ListDirectory(m_config / "Orbinel").size(), 1u);
        // Once the file can be written, the next write brings the earlier one.
        ops.ClearFaults();
        chmod((m_config / "Orbinel").c_str(), 0700);
        chmod(ConfigFile().c_str(), 0600);
        EXPECT_TRUE(store.WriteInt("Settings", "Acquire", 0));
        EXPECT_EQ(store.LastWriteError(), 0);
        EXPECT_EQ(QtProfileStore("Orbinel", "TesmaroTest").GetString("Settings", "QueueDir", ""),
                  "/new");
    }
    settings::MemoryProfileStore memory;
    memory.SetLastWriteError(EROFS);
    EXPECT_FALSE(memory.WriteString("Settings", "QueueDir", "/m"));
    EXPECT_EQ(memory.LastWriteError(), EROFS);
    EXPECT_EQ(memory.GetString("Settings", "QueueDir", ""), "/m");
}

TEST_F(QtProfileStoreTest, ALinkAtTheFilesNameIsReplacedNotWrittenThrough) {
    const std::string target = m_config / "elsewhere.conf";
    testsupport::WriteFile(target, "[Settings]\nQueueDir=/linked\n");
    std::filesystem::create_directories(m_config / "Orbinel");
    std::filesystem::create_symlink(target, ConfigFile());
    QtProfileStore store("Orbinel", "TesmaroTest");
    EXPECT_EQ(store.GetString("Settings", "QueueDir", ""), "/linked");
    EXPECT_TRUE(store.WriteString("Settings", "QueueDir", "/mine"));
    EXPECT_EQ(testsupport::ReadFile(target), "[Settings]\nQueueDir=/linked\n");
    EXPECT_FALSE(std::filesystem::is_symlink(ConfigFile()));
    EXPECT_EQ(QtProfileStore("Orbinel", "TesmaroTest").GetString("Settings", "QueueDir", ""),
              "/mine");
}
