#include "settings/CBatchParams.h"
#include "settings/QtProfileStore.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <QSettings>

#include <filesystem>

using settings::CBatchParams;
using settings::QtProfileStore;

namespace {

class QtProfileStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(m_config.Path()));
    }
    std::string ConfigFile() const { return m_config / "Orbinel/TesmaroTest.conf"; }
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
    EXPECT_EQ(p.SchemeName, "a,b");
    EXPECT_EQ(p.Filters, "*.olb");
}
