#include "app/CBatchQueueDlg.h"
#include "app/ModalHelper.h"
#include "app/TerminationSignals.h"
#include "settings/CBatchParamsSheet.h"
#include "settings/MemoryProfileStore.h"
#include "support/FakeQueueLibrary.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QMessageBox>

#include <csignal>
#include <poll.h>

using app::TerminationSignals;

TEST(TerminationSignals, EachSignalBecomesOneCallOnTheEventLoop) {
    int calls = 0;
    TerminationSignals signalsSeen([&calls] { ++calls; });
    ASSERT_TRUE(signalsSeen.IsInstalled());
    pollfd stop{signalsSeen.StopDescriptor(), POLLIN, 0};
    EXPECT_EQ(poll(&stop, 1, 0), 0) << "a stop before any signal";
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        calls = 0;
        ASSERT_EQ(raise(sig), 0);
        EXPECT_TRUE(testsupport::WaitFor([&] { return calls == 1; })) << sig;
    }
    // Signals that come together before the loop runs make one call.
    calls = 0;
    raise(SIGTERM);
    raise(SIGTERM);
    EXPECT_TRUE(testsupport::WaitFor([&] { return calls >= 1; }));
    QApplication::processEvents();
    EXPECT_EQ(calls, 1);
    // The stop stays asked for, whoever has seen the calls.
    EXPECT_EQ(poll(&stop, 1, 0), 1);
}

TEST(TerminationSignals, OnlyOneOwnerAndPreviousHandlersComeBack) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction before {};
    ASSERT_EQ(sigaction(SIGHUP, &ignore, &before), 0);
    {
        TerminationSignals first([] {});
        TerminationSignals second([] {});
        EXPECT_TRUE(first.IsInstalled());
        EXPECT_FALSE(second.IsInstalled());
        struct sigaction meanwhile {};
        sigaction(SIGHUP, nullptr, &meanwhile);
        EXPECT_EQ(meanwhile.sa_handler, SIG_IGN) << "a signal ignored at the start was taken over";
    }
    struct sigaction now {};
    sigaction(SIGHUP, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    sigaction(SIGHUP, &before, nullptr);

    TerminationSignals later([] {});
    EXPECT_TRUE(later.IsInstalled());
}

TEST(Shutdown, ClosingWithTheSheetOpenCancelsItAndSavesNothing) {
    testsupport::TempDir dir;
    testsupport::FakeQueueLibrary library;
    library.running = 0;
    testsupport::FakeClock clock;
    settings::MemoryProfileStore store;
    store.WriteString("Settings", "QueueDir", dir.Path());
    store.WriteString("Settings", "StatusFile", dir / "status.sem");
    store.WriteString("Settings", "AbortFile", dir / "abort.sem");
    const std::size_t writes = store.WriteOrder().size();
    app::CBatchQueueDlg window(app::MainWindowServices{&library, &clock, &store});
    window.show();

    std::vector<std::string> closedOver;
    testsupport::WhenModal<settings::CBatchParamsSheet>(
        [&window, &closedOver](settings::CBatchParamsSheet* sheet) {
            sheet->findChild<QLineEdit*>("1004")->setText("/elsewhere");
            // A message box over the sheet as well, as after a refused delay.
            QTimer::singleShot(0, [&window, &closedOver] {
                if (QWidget* modal = QApplication::activeModalWidget())
                    closedOver.push_back(modal->metaObject()->className());
                window.CloseWithDialogs();
            });
            QMessageBox::warning(sheet, "Tesmaro", "text");
        });
    window.OnSettings();

    EXPECT_EQ(closedOver, std::vector<std::string>{"QMessageBox"});
    EXPECT_EQ(store.WriteOrder().size(), writes);
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(window.Engine(), nullptr);
    EXPECT_EQ(window.Watcher(), nullptr);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}
