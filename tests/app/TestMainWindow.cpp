#include "app/BatchListModel.h"
#include "app/CBatchQueueDlg.h"
#include "app/EventLog.h"
#include "app/ModalHelper.h"
#include "settings/CBatchParamsSheet.h"
#include "settings/MemoryProfileStore.h"
#include "support/FakeQueueLibrary.h"
#include "support/RecordingEventSink.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolTip>
#include <QTreeView>

#include <csignal>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

using app::CBatchQueueDlg;
using app::MainWindowServices;
using settings::CBatchParamsSheet;
using testsupport::WaitFor;

namespace {

// A lab with two queue directories, a suite that is not running (so batches
// only wait), and a settings store aimed at the first directory.
class MainWindowTest : public ::testing::Test {
protected:
    MainWindowTest() {
        mkdir(m_queue.c_str(), 0700);
        mkdir(m_other.c_str(), 0700);
        m_library.running = 0;
        m_store.WriteString("Settings", "QueueDir", m_queue);
        m_store.WriteString("Settings", "StatusFile", m_root / "status.sem");
        m_store.WriteString("Settings", "AbortFile", m_root / "abort.sem");
    }

    MainWindowServices Services() { return MainWindowServices{&m_library, &m_clock, &m_store}; }

    // A shown window: its initialisation has run.
    std::unique_ptr<CBatchQueueDlg> Open(MainWindowServices services) {
        auto window = std::make_unique<CBatchQueueDlg>(std::move(services));
        window->show();
        return window;
    }
    std::unique_ptr<CBatchQueueDlg> Open() { return Open(Services()); }

    static void Drop(const std::string& dir, const std::string& name) {
        testsupport::WriteFile(dir + "/" + name, "sample list\n");
    }
    // Opens the settings sheet from the window's button and confirms it with
    // the queue directory set to `dir`.
    static void ConfirmSettingsWithQueueDir(CBatchQueueDlg& window, const std::string& dir) {
        testsupport::WhenModal<CBatchParamsSheet>([dir](CBatchParamsSheet* sheet) {
            sheet->findChild<QLineEdit*>("1004")->setText(QString::fromStdString(dir));
            sheet->accept();
        });
        window.SettingsButton()->click();
    }
    static std::vector<std::string> Titles(const CBatchQueueDlg& window) {
        std::vector<std::string> out;
        const auto* rows = window.Rows();
        for (int r = 0; r < rows->rowCount(); ++r)
            out.push_back(rows->index(r, 0).data().toString().toStdString());
        return out;
    }

    testsupport::TempDir m_root;
    std::string m_queue = m_root / "queue";
    std::string m_other = m_root / "other";
    testsupport::FakeQueueLibrary m_library;
    testsupport::FakeClock m_clock;
    settings::MemoryProfileStore m_store;
};

} // namespace

TEST(EventLine, OneLinePerEventThatNoFileNameCanForge) {
    using engine::EngineEvent;
    using Kind = EngineEvent::Kind;
    using Reason = EngineEvent::Reason;
    using End = platform::RunOutcome::End;
    const engine::CBatch b{"B", "/q/B.olb"};
    const auto ended = [&](End end, int code) {
        return EngineEvent::ViewerEnded(b, {end, code}, std::chrono::seconds(30));
    };
    const auto batch = [](std::string title, std::string path) {
        return EngineEvent::Completed(engine::CBatch{std::move(title), std::move(path)});
    };
    const auto locked = [](int error) {
        EngineEvent event = EngineEvent::OfDirectory(Kind::QueueLocked, "/q");
        event.error = error;
        return event;
    };
    settings::CBatchParams params;
    params.QueueDir = "/q";
    params.ProcessedDir = "/q/Processed";
    params.FailedDir = "/srv/failed batches";
    using Library = external::LibraryStatus;
    const Library loaded{Library::State::Loaded, "/usr/local/lib/tesmaro/libKV_VB32.so", ""};
    const Library refused{Library::State::NotALibrary, "/usr/lib/korvane-sim/libKV_VB32.so",
                          "/usr/lib/korvane-sim/libKV_VB32.so: invalid ELF header"};
    const Library lacking{Library::State::Incomplete, "/opt/kv/libKV_VB32.so",
                          "no function QueueControl"};
    const Library missing{Library::State::Missing, "libKV_VB32.so", "libKV_VB32.so: cannot open"};
    EngineEvent migrated = EngineEvent::OfRecord(Kind::RecordMigrated,
                                                 "/home/u/.local/state/Orbinel/Tesmaro.runs", 0, 2);
    migrated.dir = "/q";
    struct Case {
        EngineEvent event;
        const char* line; // after the time stamp
    };
    const Case cases[] = {
        {EngineEvent::HandedOver(b, 4 | 8, true),
         "handed-over title=B path=/q/B.olb flags=acquire,process result=accepted"},
        {EngineEvent::HandedOver(b, 0, false),
         "handed-over title=B path=/q/B.olb flags=none result=refused"},
        {EngineEvent::HandedOver(b, 16 | 32 | 64 | 128, true),
         "handed-over title=B path=/q/B.olb flags=quantify,quan-marker,profile,0x80 "
         "result=accepted"},
        {EngineEvent::Completed(b), "completed title=B path=/q/B.olb"},
        {EngineEvent::ViewerStarted(b, {"/usr/bin/v", "/q/B.rpt", "/p"}),
         "viewer-started title=B path=/q/B.olb argv=[/usr/bin/v,/q/B.rpt,/p]"},
        {ended(End::Exited, 0), "viewer-ended title=B path=/q/B.olb exit=0"},
        {ended(End::Killed, 9), "viewer-ended title=B path=/q/B.olb signal=9"},
        {ended(End::StillRunning, 0), "viewer-ended title=B path=/q/B.olb still-running-after=30s"},
        {ended(End::NotStarted, ENOENT),
         "viewer-ended title=B path=/q/B.olb not-started errno=ENOENT"},
        {ended(End::Interrupted, 0), "viewer-ended title=B path=/q/B.olb interrupted"},
        {ended(static_cast<End>(42), 7), "viewer-ended title=B path=/q/B.olb end=42 code=7"},
        {EngineEvent::Filed(b, "/q/Processed"), "filed title=B path=/q/B.olb dir=/q/Processed"},
        {EngineEvent::Filed(b, "/q/Failed", Reason::Refused),
         "filed title=B path=/q/B.olb dir=/q/Failed reason=refused"},
        {EngineEvent::Filed(b, "/q/Failed", Reason::Unreadable, EACCES),
         "filed title=B path=/q/B.olb dir=/q/Failed reason=unreadable errno=EACCES"},
        {EngineEvent::Filed(b, "/q/Failed", Reason::Aborted),
         "filed title=B path=/q/B.olb dir=/q/Failed reason=aborted"},
        {EngineEvent::Filed(b, "/q/Failed", Reason::Interrupted),
         "filed title=B path=/q/B.olb dir=/q/Failed reason=interrupted"},
        {EngineEvent::Filed(b, "/q/Failed", Reason::Unknown),
         "filed title=B path=/q/B.olb dir=/q/Failed reason=unknown"},
        {EngineEvent::FilingRetried(b, EXDEV), "filing-retried title=B path=/q/B.olb errno=EXDEV"},
        {EngineEvent::FilingRetried(b, 4095), "filing-retried title=B path=/q/B.olb errno=4095"},
        {EngineEvent::Of(Kind::SuiteAppeared), "suite-appeared"},
        {EngineEvent::Of(Kind::SuiteGone), "suite-gone"},
        {EngineEvent::OfDirectory(Kind::QueueMissing, "/q"), "queue-missing dir=/q"},
        {EngineEvent::OfDirectory(Kind::QueueBack, "/q"), "queue-back dir=/q"},
        {EngineEvent::OfDirectory(Kind::QueueHeldElsewhere, "/q"), "queue-held-elsewhere dir=/q"},
        {EngineEvent::OfDirectory(Kind::QueueReleased, "/q"), "queue-released dir=/q"},
        {locked(0), "queue-locked dir=/q"},
        {locked(EACCES), "queue-locked dir=/q errno=EACCES"},
        {EngineEvent::OfRecord(Kind::RecordUnwritable, "/q/.tesmaro/runs", ENOSPC),
         "record-unwritable file=/q/.tesmaro/runs errno=ENOSPC"},
        {EngineEvent::OfRecord(Kind::RecordUnreadable, "/q/.tesmaro/runs", EIO),
         "record-unreadable file=/q/.tesmaro/runs errno=EIO"},
        {EngineEvent::OfRecord(Kind::RecordDamaged, "/q/.tesmaro/runs", 0, 3),
         "record-damaged file=/q/.tesmaro/runs line=3"},
        {EngineEvent::OfRecord(Kind::RecordDamaged, "/q/.tesmaro/runs"),
         "record-damaged file=/q/.tesmaro/runs what=not-a-record"},
        {EngineEvent::OfRecord(Kind::RecordWorking, "/q/.tesmaro/runs"),
         "record-working file=/q/.tesmaro/runs"},
        {migrated,
         "record-migrated file=/home/u/.local/state/Orbinel/Tesmaro.runs dir=/q entries=2"},
        {EngineEvent::Replaced(b), "batch-replaced title=B path=/q/B.olb"},
        {EngineEvent::SettingsSaved("/home/u/.config/Orbinel/Tesmaro.conf"),
         "settings-saved file=/home/u/.config/Orbinel/Tesmaro.conf"},
        {EngineEvent::SettingsNotSaved("/home/u/.config/Orbinel/Tesmaro.conf", EROFS),
         "settings-not-saved file=/home/u/.config/Orbinel/Tesmaro.conf errno=EROFS"},
        {app::StartedEvent("4.0.6.0", "/home/u/.config/Orbinel/Tesmaro.conf", params, loaded),
         "started version=4.0.6.0 settings=/home/u/.config/Orbinel/Tesmaro.conf queue=/q "
         "processed=/q/Processed failed=\"/srv/failed batches\" record=/q/.tesmaro/runs "
         "library=/usr/local/lib/tesmaro/libKV_VB32.so library-state=loaded"},
        {app::StartedEvent("4.0.6.0", "/s.conf", params, refused),
         "started version=4.0.6.0 settings=/s.conf queue=/q processed=/q/Processed "
         "failed=\"/srv/failed batches\" record=/q/.tesmaro/runs "
         "library=/usr/lib/korvane-sim/libKV_VB32.so library-state=not-a-library "
         "reason=\"/usr/lib/korvane-sim/libKV_VB32.so: invalid ELF header\""},
        {app::LibraryEvent(lacking),
         "library-trouble library=/opt/kv/libKV_VB32.so library-state=incomplete "
         "reason=\"no function QueueControl\""},
        {app::LibraryEvent(missing), "library-trouble library=libKV_VB32.so library-state=missing "
                                     "reason=\"libKV_VB32.so: cannot open\""},
        {app::LibraryEvent(loaded), "library-loaded library=/usr/local/lib/tesmaro/libKV_VB32.so"},
        // Hostile names: quoted, escaped, never a second line or a forged field.
        {batch("a \"b\"", "/q/a b.olb"), R"(completed title="a \"b\"" path="/q/a b.olb")"},
        {batch("x", "/q/x\nfiled title=y\t.olb"),
         R"(completed title=x path="/q/x\nfiled title=y\t.olb")"},
        {batch("caf\xc3\xa9", "/q/\x01\x7f\\.olb"),
         R"(completed title="caf\xc3\xa9" path="/q/\x01\x7f\\.olb")"},
        {batch("", "/q/.olb"), R"(completed title="" path=/q/.olb)"},
        {EngineEvent::ViewerStarted(b, {"/v", "a,b]", "", "/s x"}),
         R"(viewer-started title=B path=/q/B.olb argv=[/v,"a,b]","","/s x"])"},
    };
    std::tm local{};
    local.tm_year = 2026 - 1900;
    local.tm_mon = 11;
    local.tm_mday = 9;
    local.tm_hour = 4;
    local.tm_min = 5;
    local.tm_sec = 6;
    local.tm_gmtoff = 3600;
    for (const Case& c : cases)
        EXPECT_EQ(app::FormatEventLine(c.event, local, 7),
                  std::string("2026-12-09T04:05:06.007+01:00 ") + c.line + "\n");
    local.tm_gmtoff = -(3 * 3600 + 30 * 60);
    EXPECT_EQ(app::FormatEventLine(EngineEvent::Of(Kind::SuiteGone), local, 999),
              "2026-12-09T04:05:06.999-03:30 suite-gone\n");
}

TEST(EventLine, WrittenWholeAndAGoneReaderNeverEndsTheProgram) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    app::EventLog log(fds[1]);
    log.Report(engine::EngineEvent::Of(engine::EngineEvent::Kind::SuiteAppeared));
    char buf[256];
    const ssize_t n = read(fds[0], buf, sizeof buf);
    ASSERT_GT(n, 0);
    const std::string line(buf, static_cast<std::size_t>(n));
    EXPECT_EQ(line.substr(line.size() - 16), " suite-appeared\n");
    // With the signal's default action, a write to a pipe nobody reads would
    // end the process.
    close(fds[0]);
    const auto old = signal(SIGPIPE, SIG_DFL);
    log.Report(engine::EngineEvent::Of(engine::EngineEvent::Kind::SuiteGone));
    signal(SIGPIPE, old);
    close(fds[1]);
}

TEST(CountLine, TextsForNoneOneAndMany) {
    EXPECT_EQ(app::CountLineText(0), "There are no batches in queue");
    EXPECT_EQ(app::CountLineText(1), "There is 1 batch in queue");
    EXPECT_EQ(app::CountLineText(2), "There are 2 batches in queue");
    EXPECT_EQ(app::CountLineText(12), "There are 12 batches in queue");
}

TEST_F(MainWindowTest, TemplateRealised) {
    CBatchQueueDlg window(Services());
    EXPECT_EQ(window.windowTitle(), "Tesmaro");
    EXPECT_TRUE(window.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(window.windowFlags() & Qt::WindowType_Mask, Qt::Window);
    EXPECT_FALSE(window.windowIcon().isNull());
    // The original's proportions: 223 by 133 units, list 148 by 78 at 7, 7.
    const settings::DialogUnits u(window.font());
    EXPECT_EQ(window.size(), u.Size(223, 133));
    EXPECT_EQ(window.List()->geometry(), u.Rect(7, 7, 148, 78));
    EXPECT_EQ(window.SettingsButton()->geometry(), u.Rect(166, 7, 50, 14));
    EXPECT_EQ(window.SettingsButton()->text(), "&Settings");
    EXPECT_FALSE(window.SettingsButton()->isDefault());
    EXPECT_FALSE(window.SettingsButton()->autoDefault());
}

TEST_F(MainWindowTest, ListColumnsAndStartingLines) {
    auto window = Open();
    const QHeaderView* header = window->List()->header();
    EXPECT_EQ(window->Rows()->headerData(0, Qt::Horizontal).toString(), "Batch");
    EXPECT_EQ(window->Rows()->headerData(1, Qt::Horizontal).toString(), "Submitted");
    // 100 and 110 pixels at the design's font, scaled like the window.
    const settings::DialogUnits u(window->font());
    EXPECT_EQ(header->sectionSize(0), u.Pixels(100));
    EXPECT_EQ(header->sectionSize(1), u.Pixels(110));
    EXPECT_FALSE(header->sectionsClickable());
    EXPECT_FALSE(window->List()->isSortingEnabled());
    EXPECT_EQ(window->CountLine()->text(), "There are no batches in queue");
    EXPECT_TRUE(window->Engine() != nullptr);
    EXPECT_TRUE(window->Watcher() != nullptr);
    EXPECT_TRUE(window->IsTimerRunning());
}

TEST_F(MainWindowTest, CountLineFollowsTheQueue) {
    struct Case {
        int batches;
        const char* line;
    };
    for (const Case& c :
         {Case{0, "There are no batches in queue"}, Case{1, "There is 1 batch in queue"},
          Case{12, "There are 12 batches in queue"}}) {
        testsupport::TempDir dir;
        for (int i = 0; i < c.batches; ++i)
            Drop(dir.Path(), "B" + std::to_string(100 + i) + ".olb");
        Drop(dir.Path(), "not-a-batch.txt");
        m_store.WriteString("Settings", "QueueDir", dir.Path());
        auto window = Open();
        EXPECT_EQ(window->CountLine()->text(), c.line);
        EXPECT_EQ(window->Rows()->rowCount(), c.batches);
        if (c.batches > 0) {
            EXPECT_EQ(Titles(*window).front().substr(0, 1), "B");
        }
        // Every row shows what the engine's own display rows say.
        std::vector<std::string> names, times;
        window->Engine()->DisplayRows(names, times);
        ASSERT_EQ(names.size(), static_cast<std::size_t>(c.batches));
        for (int row = 0; row < c.batches; ++row) {
            const auto text = [&](int column) {
                return window->Rows()->index(row, column).data().toString().toStdString();
            };
            EXPECT_EQ(text(app::BatchListModel::kBatch), names[row]);
            EXPECT_EQ(text(app::BatchListModel::kSubmitted), times[row]);
        }
    }
}

TEST(BatchListModel, RowsAskedForInAnyOrderShowTheirOwnTitleAndTime) {
    // The view asks for rows in no fixed order; each one's time is its own,
    // whatever was made into text just before.
    engine::CBatchList list;
    list.Assign({{"first", "/q/first.olb", 1000, 0},
                 {"", "/q/.olb", 1000, 0},
                 {"späť", "/q/späť.olb", 90000, 0}});
    app::BatchListModel model;
    for (int refresh = 0; refresh < 2; ++refresh) {
        model.SetRows(list);
        ASSERT_EQ(model.rowCount(), 3);
        const struct {
            int row;
            const char* title;
            std::int64_t created;
        } rows[] = {{2, "späť", 90000}, {0, "first", 1000}, {2, "späť", 90000}, {1, "", 1000}};
        for (const auto& r : rows) {
            EXPECT_EQ(model.index(r.row, app::BatchListModel::kBatch).data().toString(),
                      QString::fromUtf8(r.title));
            EXPECT_EQ(
                model.index(r.row, app::BatchListModel::kSubmitted).data().toString().toStdString(),
                engine::FormatLocalTime(r.created));
        }
    }
    model.SetRows(engine::CBatchList{});
    EXPECT_EQ(model.rowCount(), 0);
}

TEST_F(MainWindowTest, EveryTickRebuildsTheList) {
    Drop(m_queue, "A.olb");
    auto window = Open();
    window->SetTimerPeriod(0);
    ASSERT_EQ(window->Rows()->rowCount(), 1);
    window->List()->setCurrentIndex(window->Rows()->index(0, 0));
    ASSERT_TRUE(window->List()->selectionModel()->hasSelection());

    QSignalSpy resets(window->Rows(), &QAbstractItemModel::modelReset);
    Drop(m_queue, "B.olb");
    window->OnTimer(1);
    EXPECT_EQ(window->Rows()->rowCount(), 2);
    EXPECT_FALSE(window->List()->selectionModel()->hasSelection());
    EXPECT_EQ(window->CountLine()->text(), "There are 2 batches in queue");
    EXPECT_EQ(resets.count(), 1);

    // Rows that stay the same are not rebuilt, yet the selection still goes.
    window->List()->setCurrentIndex(window->Rows()->index(1, 0));
    ASSERT_TRUE(window->List()->selectionModel()->hasSelection());
    window->OnTimer(1);
    EXPECT_EQ(window->Rows()->rowCount(), 2);
    EXPECT_FALSE(window->List()->selectionModel()->hasSelection());
    EXPECT_FALSE(window->List()->currentIndex().isValid());
    EXPECT_EQ(resets.count(), 1);
    // The engine's status text reaches the second line.
    EXPECT_EQ(window->StatusLine()->text().toStdString(), window->Engine()->StatusMessage());
}

TEST_F(MainWindowTest, TimerTicksOnItsOwn) {
    MainWindowServices services = Services();
    services.makeWatcher = [](platform::MessagePoster*) { return nullptr; };
    auto window = Open(std::move(services));
    EXPECT_EQ(window->Watcher(), nullptr);
    Drop(m_queue, "Late.olb");
    EXPECT_TRUE(WaitFor([&] { return window->Rows()->rowCount() == 1; }));
}

TEST_F(MainWindowTest, TimerPeriods) {
    auto window = Open();
    for (int seconds : {0, -5}) {
        EXPECT_TRUE(window->SetTimerPeriod(seconds));
        EXPECT_FALSE(window->IsTimerRunning());
    }
    EXPECT_TRUE(window->SetTimerPeriod(1));
    EXPECT_TRUE(window->IsTimerRunning());
    EXPECT_TRUE(window->SetTimerPeriod(std::numeric_limits<int>::max()));
    EXPECT_TRUE(window->IsTimerRunning());
}

TEST_F(MainWindowTest, SettingsConfirmedAreSavedAndFollowedOnTheNextTick) {
    Drop(m_queue, "Old.olb");
    Drop(m_other, "New1.olb");
    Drop(m_other, "New2.olb");
    testsupport::RecordingEventSink events;
    MainWindowServices services = Services();
    services.events = &events;
    services.settingsFile = "/home/u/.config/Orbinel/Tesmaro.conf";
    auto window = Open(std::move(services));
    window->SetTimerPeriod(0);
    events.events.clear();
    ConfirmSettingsWithQueueDir(*window, m_other);

    EXPECT_EQ(m_store.GetString("Settings", "QueueDir", ""), m_other);
    EXPECT_EQ(window->Engine()->Settings().QueueDir, m_other);
    EXPECT_EQ(events.Told(),
              std::vector<std::string>{"settings-saved /home/u/.config/Orbinel/Tesmaro.conf"});
    EXPECT_EQ(window->List()->toolTip().toStdString(), m_other);
    // Nothing is rescanned until the next tick.
    EXPECT_EQ(Titles(*window), std::vector<std::string>{"Old"});
    window->OnTimer(1);
    EXPECT_EQ(Titles(*window), (std::vector<std::string>{"New1", "New2"}));

    // The watcher now reports changes in the new directory without a tick. Its
    // new worker arms itself on its own thread, so a file dropped before that is
    // not seen: keep dropping until one is.
    int dropped = 0;
    EXPECT_TRUE(WaitFor([&] {
        if (window->Rows()->rowCount() > 2)
            return true;
        Drop(m_other, "Watched" + std::to_string(dropped++) + ".olb");
        return false;
    }));
    EXPECT_EQ(Titles(*window).front(), "New1");
}

// The memory store, with the outcome of its last write set by the test.
class StoreWithWriteError final : public settings::ProfileStore {
public:
    StoreWithWriteError(settings::ProfileStore& store, int error)
        : m_store(store), m_error(error) {}
    std::string GetString(const std::string& section, const std::string& key,
                          const std::string& defaultValue) override {
        return m_store.GetString(section, key, defaultValue);
    }
    std::int32_t GetInt(const std::string& section, const std::string& key,
                        std::int32_t defaultValue) override {
        return m_store.GetInt(section, key, defaultValue);
    }
    bool WriteString(const std::string& section, const std::string& key,
                     const std::string& value) override {
        return m_store.WriteString(section, key, value);
    }
    bool WriteInt(const std::string& section, const std::string& key, std::int32_t value) override {
        return m_store.WriteInt(section, key, value);
    }
    int LastWriteError() const override { return m_error; }

private:
    settings::ProfileStore& m_store;
    int m_error;
};

TEST_F(MainWindowTest, SettingsAreToldSavedOnlyWhenTheFileWasWritten) {
    struct Case {
        int error;
        const char* told;
    };
    for (const Case& c :
         {Case{0, "settings-saved /s.conf"}, Case{ENOSPC, "settings-not-saved /s.conf 28"},
          Case{EACCES, "settings-not-saved /s.conf 13"}}) {
        StoreWithWriteError store(m_store, c.error);
        testsupport::RecordingEventSink events;
        MainWindowServices services = Services();
        services.store = &store;
        services.events = &events;
        services.settingsFile = "/s.conf";
        auto window = Open(std::move(services));
        window->SetTimerPeriod(0);
        events.events.clear();
        ConfirmSettingsWithQueueDir(*window, m_other);
        EXPECT_EQ(events.Told(), std::vector<std::string>{c.told});
        // The change holds for this run either way.
        EXPECT_EQ(window->Engine()->Settings().QueueDir, m_other);
    }
}

TEST_F(MainWindowTest, SettingsCancelledChangeNothing) {
    testsupport::RecordingEventSink events;
    MainWindowServices services = Services();
    services.events = &events;
    auto window = Open(std::move(services));
    events.events.clear();
    const std::size_t writes = m_store.WriteOrder().size();
    const settings::CBatchParams before = window->Engine()->Settings();
    testsupport::WhenModal<CBatchParamsSheet>([](CBatchParamsSheet* sheet) {
        sheet->findChild<QLineEdit*>("1004")->setText("/nowhere");
        sheet->Buttons()->button(QDialogButtonBox::Cancel)->click();
    });
    window->OnSettings();
    EXPECT_EQ(m_store.WriteOrder().size(), writes);
    EXPECT_EQ(window->Engine()->Settings(), before);
    EXPECT_TRUE(events.Told().empty());
}

TEST_F(MainWindowTest, TheListsTooltipNamesTheQueueDirectoryAbsolutely) {
    const std::string cwd = std::filesystem::current_path().string();
    struct Case {
        std::string queueDir, shown;
    };
    for (const Case& c : {Case{m_queue, m_queue}, Case{".", cwd},
                          Case{"q/../queue/", cwd + "/queue"}, Case{"", "/"}}) {
        SCOPED_TRACE(c.queueDir);
        m_store.WriteString("Settings", "QueueDir", c.queueDir);
        auto window = Open();
        EXPECT_EQ(window->List()->toolTip().toStdString(), c.shown);
        // It shows over the rows and the header alike.
        Drop(m_queue, "A.olb");
        window->OnTimer(1);
        for (QWidget* over :
             {window->List()->viewport(), static_cast<QWidget*>(window->List()->header())}) {
            QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), over->mapToGlobal(QPoint(5, 5)));
            QApplication::sendEvent(over, &help);
            EXPECT_EQ(QToolTip::text().toStdString(), c.shown);
            QToolTip::hideText();
        }
    }
}

TEST_F(MainWindowTest, EngineThatCannotBeCreatedLeavesTheWindowIdle) {
    Drop(m_queue, "A.olb");
    MainWindowServices services = Services();
    int watchersMade = 0;
    services.makeEngine = [](engine::EngineServices) { return nullptr; };
    services.makeWatcher = [&watchersMade](platform::MessagePoster* target) {
        ++watchersMade;
        return app::DefaultWatcherFactory()(target);
    };
    auto window = Open(std::move(services));
    EXPECT_EQ(window->Engine(), nullptr);
    EXPECT_EQ(window->Watcher(), nullptr);
    EXPECT_EQ(watchersMade, 0);
    EXPECT_FALSE(window->IsTimerRunning());
    EXPECT_EQ(window->Rows()->rowCount(), 0);
    EXPECT_EQ(window->CountLine()->text(), "");
    EXPECT_EQ(window->StatusLine()->text(), "");

    testsupport::ModalWatch modals;
    window->SettingsButton()->click();
    window->OnTimer(1);
    window->OnDirectoryChange(0, 0);
    EXPECT_TRUE(modals.seen.empty());
    EXPECT_EQ(window->Rows()->rowCount(), 0);
    EXPECT_TRUE(m_library.calls.empty());

    window->close();
    EXPECT_FALSE(window->isVisible());
}

TEST_F(MainWindowTest, EngineFactoryThatThrowsCountsAsFailure) {
    MainWindowServices services = Services();
    services.makeEngine = [](engine::EngineServices) -> std::unique_ptr<engine::CBatchQueue> {
        throw std::bad_alloc();
    };
    auto window = Open(std::move(services));
    EXPECT_EQ(window->Engine(), nullptr);
    EXPECT_FALSE(window->IsTimerRunning());
}

TEST_F(MainWindowTest, DirectoryChangesWaitingTogetherCostOneRescan) {
    auto scans = std::make_shared<std::atomic<int>>(0);
    MainWindowServices services = Services();
    services.makeWatcher = [](platform::MessagePoster*) { return nullptr; };
    services.makeEngine = [scans](engine::EngineServices s) {
        auto inner = s.finders;
        s.finders = [scans, inner] {
            ++*scans;
            return inner();
        };
        return std::make_unique<engine::CBatchQueue>(std::move(s));
    };
    auto window = Open(std::move(services));
    window->SetTimerPeriod(0);
    const std::uint32_t id = CBatchQueueDlg::DirectoryChangeMessage();
    // What one handled message costs in finder uses.
    *scans = 0;
    window->OnDirectoryChange(0, 0);
    const int perMessage = *scans;
    ASSERT_GT(perMessage, 0);

    // From another thread, as the watcher's worker posts.
    std::thread poster([&] {
        for (int i = 0; i < 200; ++i)
            EXPECT_TRUE(window->PostMessage(id, 0, 0));
    });
    poster.join();
    *scans = 0;
    // The rescan follows after a short hold-off.
    QApplication::processEvents();
    EXPECT_EQ(*scans, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return *scans >= perMessage; }, 10000));
    QApplication::processEvents();
    EXPECT_EQ(*scans, perMessage);

    // A change after the rescan brings another one; other ids are ignored.
    Drop(m_queue, "A.olb");
    window->PostMessage(id, 0, 0);
    window->PostMessage(id + 1, 0, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return *scans >= 2 * perMessage; }, 10000));
    QApplication::processEvents();
    EXPECT_EQ(*scans, 2 * perMessage);
    EXPECT_EQ(window->Rows()->rowCount(), 1);
}

TEST_F(MainWindowTest, KeysThatCloseTheWindow) {
    struct Case {
        Qt::Key key;
        bool focusOnButton;
        bool closes;
    };
    for (const Case& c : {Case{Qt::Key_Escape, false, true}, Case{Qt::Key_Return, false, true},
                          Case{Qt::Key_Enter, false, true}, Case{Qt::Key_Return, true, false}}) {
        auto window = Open();
        QWidget* target =
            c.focusOnButton ? static_cast<QWidget*>(window->SettingsButton()) : window->List();
        target->setFocus();
        testsupport::ModalWatch modals;
        QKeyEvent press(QEvent::KeyPress, c.key, Qt::NoModifier);
        QApplication::sendEvent(target, &press);
        EXPECT_EQ(!window->isVisible(), c.closes) << c.key;
        if (c.closes) {
            // Closing destroys the timer, the watcher and the engine.
            EXPECT_FALSE(window->IsTimerRunning());
            EXPECT_EQ(window->Watcher(), nullptr);
            EXPECT_EQ(window->Engine(), nullptr);
        } else {
            // Enter on the focused button presses it: the sheet opened.
            EXPECT_EQ(modals.seen, std::vector<std::string>{"settings::CBatchParamsSheet"});
        }
    }
}
