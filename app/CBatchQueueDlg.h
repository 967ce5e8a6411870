#pragma once

#include "engine/CBatchQueue.h"
#include "engine/Clock.h"
#include "external/QueueLibrary.h"
#include "platform/MessageRegistry.h"
#include "platform/WriterView.h"
#include "settings/ProfileStore.h"
#include "watcher/CDirectoryWatcher.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QString>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

class QLabel;
class QMenu;
class QPushButton;
class QTreeView;

namespace app {

class BatchListModel;

using EngineFactory =
    std::function<std::unique_ptr<engine::CBatchQueue>(engine::EngineServices services)>;
using WatcherFactory =
    std::function<std::unique_ptr<watcher::CDirectoryWatcher>(platform::MessagePoster* target)>;

EngineFactory DefaultEngineFactory();
WatcherFactory DefaultWatcherFactory();

// What the main window works with, passed in so that tests can replace it.
// The window does not own these; they must outlive it.
struct MainWindowServices {
    external::QueueLibrary* library = nullptr;
    engine::Clock* clock = nullptr;
    settings::ProfileStore* store = nullptr;
    EngineFactory makeEngine = DefaultEngineFactory();
    WatcherFactory makeWatcher = DefaultWatcherFactory();
    // The record of handed-over batches; left out, it is kept in the queue
    // directory's own folder.
    engine::RunRecordStore* runs = nullptr;
    // The per-user record of earlier versions, taken over by each queue.
    std::string legacyRuns{};
    // Starts the result viewer; left out, the engine uses its own.
    platform::ProcessLauncher* launcher = nullptr;
    // Told what the engine does and when the settings are saved (to `settingsFile`).
    engine::EventSink* events = nullptr;
    std::string settingsFile = {};
};

// The text of the first status line for a number of waiting batches.
QString CountLineText(std::size_t count);

// Passes questions on to the view it follows, if any; without one nothing is
// known. The window gives the engine this one, which lives as long as the
// window, and points it at its watcher's view while it has a watcher, so the
// engine never holds a view that has gone. On the window's thread only.
class WriterViewRelay final : public platform::WriterView {
public:
    void Follow(const platform::WriterView* view) { m_view = view; }
    Writing BeingWritten(const std::string& directory, const std::string& name) const override {
        return m_view != nullptr ? m_view->BeingWritten(directory, name) : Writing::Unknown;
    }
    bool Watching(const std::string& directory) const override {
        return m_view != nullptr && m_view->Watching(directory);
    }

private:
    const platform::WriterView* m_view = nullptr;
};

// The main window: the waiting batches, how many there are, what the engine is
// doing, and the Settings button. It owns the engine and the directory watcher,
// drives the engine with a one-second timer and rescans when the watcher
// reports a change. The watcher's messages arrive through PostMessage, from its
// worker thread, and are handled on the window's thread.
class CBatchQueueDlg final : public QDialog, public platform::MessagePoster {
    Q_OBJECT
public:
    static constexpr int kList = 1000;
    static constexpr int kCountLine = 1001;
    static constexpr int kStatusLine = 1002;
    static constexpr int kSettings = 1003;
    static constexpr const char* kCaption = "Tesmaro";
    // File names, sizes and last-write times.
    static constexpr std::uint32_t kNotifyFilter = watcher::CDirectoryWatcher::kFileName |
                                                   watcher::CDirectoryWatcher::kSize |
                                                   watcher::CDirectoryWatcher::kLastWrite;
    // The About entry's command and the mask the platform's own bits fall under.
    static constexpr unsigned kAboutCommand = 0x10;
    static constexpr unsigned kCommandMask = 0xFFF0;
    static constexpr unsigned kMinimizeCommand = 0xF020;
    static constexpr unsigned kCloseCommand = 0xF060;
    static constexpr const char* kAboutEntry = "&About Tesmaro...";

    explicit CBatchQueueDlg(MainWindowServices services, QWidget* parent = nullptr);
    ~CBatchQueueDlg() override;

    // The registered id of the watcher's directory-change message.
    static std::uint32_t DirectoryChangeMessage();

    // Handlers, in the order the window's life calls them.
    bool OnInitDialog();
    void Refresh();
    bool SetTimerPeriod(int seconds);
    void OnTimer(int timerId);
    long OnDirectoryChange(std::uintptr_t wParam, std::intptr_t lParam);
    void OnSettings();
    void OnSysCommand(unsigned id, std::intptr_t param);
    void OnDestroy();

    // Queues a message for the window's thread; callable from any thread.
    // Directory-change messages that arrive while one is still waiting are
    // merged into it: one rescan answers them all.
    bool PostMessage(std::uint32_t id, std::uintptr_t wParam, std::intptr_t lParam) override;

    // Cancels every dialog open over the window, then closes the window.
    void CloseWithDialogs();

    // The window's context menu: minimise, close and, after a separator, About.
    std::unique_ptr<QMenu> CreateWindowMenu();

    engine::CBatchQueue* Engine() const { return m_engine.get(); }
    watcher::CDirectoryWatcher* Watcher() const { return m_watcher.get(); }
    bool IsTimerRunning() const { return m_timerId != 0; }
    QTreeView* List() const { return m_list; }
    BatchListModel* Rows() const { return m_rows; }
    QLabel* CountLine() const { return m_countLabel; }
    QLabel* StatusLine() const { return m_statusLabel; }
    QPushButton* SettingsButton() const { return m_settingsButton; }

    // The window closes for good: the timer, the watcher and the engine go.
    void done(int result) override;

protected:
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void CreateControls();
    void AddAboutEntry(QMenu& menu);
    void DoDataExchange();
    // The list's tooltip names the queue directory as an absolute path.
    void ShowQueueDirectory();

    MainWindowServices m_services;
    QTreeView* m_list = nullptr;
    BatchListModel* m_rows = nullptr;
    QLabel* m_countLabel = nullptr;
    QLabel* m_statusLabel = nullptr;
    QPushButton* m_settingsButton = nullptr;
    QString m_countLine;
    QString m_statusLine;
    // Declared before the watcher and the engine, so it goes after both.
    WriterViewRelay m_writers;
    std::unique_ptr<watcher::CDirectoryWatcher> m_watcher;
    std::unique_ptr<engine::CBatchQueue> m_engine;
    int m_timerId = 0;
    bool m_initialised = false;
    bool m_destroyed = false;
    // Set from a reported change until the rescan it asked for runs: a stream
    // of changes costs one message and one rescan, not one per change.
    std::atomic<bool> m_directoryChangePending{false};
    // Directory changes are answered a short while after they are reported,
    // and at most once a tick, so a burst of new files costs a few rescans
    // instead of one per message.
    QTimer m_directoryChangeHoldOff;
    QElapsedTimer m_sinceDirectoryRescan;
};

} // namespace app
