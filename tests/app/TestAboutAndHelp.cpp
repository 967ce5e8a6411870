#include "app/CAboutDlg.h"
#include "app/CBatchQueueApp.h"
#include "app/CBatchQueueDlg.h"
#include "app/HelpKeyFilter.h"
#include "app/HelpLauncher.h"
#include "app/ModalHelper.h"
#include "app/SecondStart.h"
#include "settings/MemoryProfileStore.h"
#include "support/FakeQueueLibrary.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <climits>
#include <vector>

using app::CAboutDlg;
using app::CBatchQueueDlg;
using app::HelpLauncher;

namespace {

struct IdleWindow {
    testsupport::FakeQueueLibrary library;
    testsupport::FakeClock clock;
    settings::MemoryProfileStore store;
    CBatchQueueDlg window{app::MainWindowServices{
        &library, &clock, &store, [](const engine::EngineServices&) { return nullptr; },
        app::DefaultWatcherFactory()}};
};

} // namespace

TEST(SystemCommand, MaskDecidesWhatOpensTheAboutBox) {
    struct Case {
        unsigned id;
        bool opensAbout;
    };
    for (const Case& c : {Case{0x10, true}, Case{0x13, true}, Case{0x1F, true}, Case{0x20, false},
                          Case{0x00, false}, Case{0x0F, false}}) {
        IdleWindow idle;
        idle.window.show();
        testsupport::ModalWatch modals;
        idle.window.OnSysCommand(c.id, 0);
        const std::vector<std::string> expected =
            c.opensAbout ? std::vector<std::string>{"app::CAboutDlg"} : std::vector<std::string>{};
        EXPECT_EQ(modals.seen, expected) << std::hex << c.id;
        EXPECT_TRUE(idle.window.isVisible());
    }
}

TEST(SystemCommand, CloseCommandClosesTheWindow) {
    IdleWindow idle;
    idle.window.show();
    idle.window.OnSysCommand(CBatchQueueDlg::kCloseCommand, 0);
    EXPECT_FALSE(idle.window.isVisible());
}

TEST(SystemCommand, WindowMenuEndsWithSeparatorAndAbout) {
    IdleWindow idle;
    const std::unique_ptr<QMenu> menu = idle.window.CreateWindowMenu();
    const QList<QAction*> actions = menu->actions();
    ASSERT_GE(actions.size(), 2);
    EXPECT_TRUE(actions[actions.size() - 2]->isSeparator());
    EXPECT_EQ(actions.back()->text(), "&About Tesmaro...");
    EXPECT_EQ(actions.back()->data().toUInt(), 0x10u);
}

TEST(AboutBox, ShowsIconVersionAndADefaultOk) {
    CAboutDlg about;
    EXPECT_EQ(about.windowTitle(), "About Tesmaro");
    const auto* icon = about.findChild<QLabel*>("icon");
    ASSERT_NE(icon, nullptr);
    EXPECT_FALSE(icon->pixmap().isNull());
    EXPECT_EQ(about.findChild<QLabel*>("version")->text(), "Tesmaro Version 3.3");
    EXPECT_FALSE(about.findChild<QLabel*>("rights")->text().isEmpty());
    EXPECT_EQ(about.OkButton()->text(), "OK");
    EXPECT_TRUE(about.OkButton()->isDefault());
}

TEST(AboutBox, OkEscapeAndCloseEachCloseIt) {
    enum How { kOk, kEscape, kEnter, kClose };
    for (How how : {kOk, kEscape, kEnter, kClose}) {
        CAboutDlg about;
        testsupport::WhenModal<CAboutDlg>([how](CAboutDlg* box) {
            switch (how) {
            case kOk:
                box->OkButton()->click();
                break;
            case kEscape:
            case kEnter: {
                QKeyEvent key(QEvent::KeyPress, how == kEscape ? Qt::Key_Escape : Qt::Key_Return,
                              Qt::NoModifier);
                QApplication::sendEvent(box, &key);
                break;
            }
            case kClose:
                box->close();
                break;
            }
        });
        about.exec();
        EXPECT_FALSE(about.isVisible()) << how;
    }
}

TEST(ApplicationName, TheExecutablesFileNameWithoutItsExtension) {
    const std::pair<const char*, const char*> cases[] = {
        {"/opt/tesmaro/Tesmaro", "Tesmaro"},
        {"/opt/tesmaro/Tesmaro.old", "Tesmaro"},
        {"/opt/tesmaro/Tesmaro.EXE", "Tesmaro"},
        {"/opt/a.b/Tes.maro.bin", "Tes.maro"},
        {"/opt/.Tesmaro", ".Tesmaro"},
        {"/opt/tesmaro/Tesmaro (deleted)", "Tesmaro"},
        {"Tesmaro.old", "Tesmaro"},
    };
    for (const auto& [path, name] : cases)
        EXPECT_EQ(app::ApplicationNameOf(path), name) << path;
}

TEST(Help, FileLiesBesideTheExecutable) {
    struct Case {
        std::string executable;
        std::optional<std::string> help;
    };
    const Case cases[] = {
        {"/opt/suite/bin/Tesmaro", "/opt/suite/bin/Korvane.chm"},
        {"/Tesmaro", "/Korvane.chm"},
        {"/usr/lib/tesmaro/prog", "/usr/lib/tesmaro/Korvane.chm"},
        {"", std::nullopt},
        {"Tesmaro", std::nullopt},
        {"/" + std::string(PATH_MAX - 2, 'x'), "/Korvane.chm"},
        {"/" + std::string(PATH_MAX - 1, 'x'), std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(app::HelpFileFor(c.executable), c.help) << c.executable.size();
}

TEST(Help, ViewerIsLookedForOnceAndAFailureIsRemembered) {
    int lookups = 0;
    std::vector<std::pair<std::string, std::vector<std::string>>> started;
    auto starter = [&](const std::string& program, const std::vector<std::string>& args) {
        started.emplace_back(program, args);
        return true;
    };

    HelpLauncher missing([&] { return ++lookups, std::optional<std::string>(); }, starter);
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(missing.Open("/opt/suite/Korvane.chm"));
    EXPECT_EQ(lookups, 1);
    EXPECT_TRUE(started.empty());

    lookups = 0;
    HelpLauncher found([&] { return ++lookups, std::optional<std::string>("/usr/bin/viewer"); },
                       starter);
    EXPECT_TRUE(found.Open("/opt/suite/Korvane.chm"));
    EXPECT_TRUE(found.Open("/opt/suite/Korvane.chm"));
    EXPECT_EQ(lookups, 1);
    ASSERT_EQ(started.size(), 2u);
    EXPECT_EQ(started[0].first, "/usr/bin/viewer");
    EXPECT_EQ(started[0].second, std::vector<std::string>{"/opt/suite/Korvane.chm"});
}

TEST(Help, PlainF1InAnyWindowIsOneRequest) {
    int requests = 0;
    std::chrono::steady_clock::time_point now{};
    app::HelpKeyFilter filter([&requests] { ++requests; }, nullptr, [&now] { return now; });
    QApplication::instance()->installEventFilter(&filter);
    QLineEdit edit;
    CAboutDlg about;
    struct Case {
        QWidget* target;
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        int requests;
        bool autoRepeat = false;
    };
    for (const Case& c :
         {Case{&edit, Qt::Key_F1, Qt::NoModifier, 1}, Case{&about, Qt::Key_F1, Qt::NoModifier, 1},
          Case{&edit, Qt::Key_F1, Qt::ShiftModifier, 0}, Case{&edit, Qt::Key_F2, Qt::NoModifier, 0},
          Case{&edit, Qt::Key_F1, Qt::NoModifier, 0, true}}) {
        requests = 0;
        now += std::chrono::seconds(1);
        QKeyEvent key(QEvent::KeyPress, c.key, c.modifiers, QString(), c.autoRepeat);
        QApplication::sendEvent(c.target, &key);
        EXPECT_EQ(requests, c.requests) << c.key << (c.autoRepeat ? " repeated" : "");
    }
    QApplication::instance()->removeEventFilter(&filter);
}

// A held F1 under X11 comes as release and press pairs, mostly without the
// repeat flag: presses soon after the last F1 event are the same hold.
TEST(Help, HeldF1WithoutRepeatFlagIsOneRequest) {
    using std::chrono::milliseconds;
    struct Step {
        QEvent::Type type;
        int atMs;
    };
    const auto press = QEvent::KeyPress;
    const auto release = QEvent::KeyRelease;
    struct Case {
        const char* name;
        std::vector<Step> steps;
        int requests;
    };
    const std::vector<Case> cases{
        {"held: press, then release and press every 33 ms",
         {{press, 0},
          {release, 600},
          {press, 633},
          {release, 666},
          {press, 699},
          {release, 732},
          {press, 765},
          {release, 1200}},
         1},
        {"held longer than the window: each pair keeps it going",
         {{press, 0}, {release, 450}, {press, 900}, {release, 1350}, {press, 1800}},
         1},
        {"two presses a second apart", {{press, 0}, {release, 100}, {press, 1100}}, 2},
        {"press just after the window closes", {{press, 0}, {release, 10}, {press, 510}}, 2},
        {"press just inside the window", {{press, 0}, {release, 10}, {press, 509}}, 1},
    };
    QLineEdit edit;
    for (const Case& c : cases) {
        int requests = 0;
        std::chrono::steady_clock::time_point now{};
        app::HelpKeyFilter filter([&requests] { ++requests; }, nullptr, [&now] { return now; });
        QApplication::instance()->installEventFilter(&filter);
        for (const Step& step : c.steps) {
            now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1) +
                  milliseconds(step.atMs);
            QKeyEvent key(step.type, Qt::Key_F1, Qt::NoModifier);
            QApplication::sendEvent(&edit, &key);
        }
        QApplication::instance()->removeEventFilter(&filter);
        EXPECT_EQ(requests, c.requests) << c.name;
    }
}

TEST(SecondStart, RaiseSocketLiesInTheRuntimeDirectoryOnly) {
    const std::string longDir = "/" + std::string(sizeof(sockaddr_un::sun_path), 'd');
    struct Case {
        const char* runtimeDir;
        std::string path;
    };
    for (const Case& c : {Case{"/run/user/1000", "/run/user/1000/Tesmaro_Raise"}, Case{nullptr, ""},
                          Case{"", ""}, Case{"run/user", ""}, Case{longDir.c_str(), ""}})
        EXPECT_EQ(app::RaiseSocketPath(c.runtimeDir), c.path)
            << (c.runtimeDir ? c.runtimeDir : "-");
}

// The running instance raises its window once per second start, on a socket
// closed to other users, replaces a leftover socket and leaves nothing behind.
TEST(SecondStart, ASecondStartRaisesTheRunningInstance) {
    QTemporaryDir dir;
    const std::string path = app::RaiseSocketPath(dir.path().toLocal8Bit().constData());
    ASSERT_FALSE(path.empty());
    EXPECT_FALSE(app::AskRunningInstanceToRaise(path));
    // A leftover of a killed instance.
    const int stale = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(bind(stale, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    close(stale);

    int raised = 0;
    {
        app::RaiseListener listener(path, [&raised] { ++raised; });
        ASSERT_TRUE(listener.IsListening());
        struct stat st {};
        ASSERT_EQ(lstat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        for (int start = 1; start <= 2; ++start) {
            ASSERT_TRUE(app::AskRunningInstanceToRaise(path));
            EXPECT_TRUE(QTest::qWaitFor([&] { return raised == start; }, 10000)) << start;
        }
    }
    struct stat st {};
    EXPECT_NE(lstat(path.c_str(), &st), 0);
    EXPECT_FALSE(app::AskRunningInstanceToRaise(path));
}
