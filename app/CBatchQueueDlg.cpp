#include "app/CBatchQueueDlg.h"

#include "app/AppIcon.h"
#include "app/BatchListModel.h"
#include "app/CAboutDlg.h"
#include "platform/Path.h"
#include "settings/CBatchParams.h"
#include "settings/CBatchParamsSheet.h"
#include "settings/DialogUnits.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QFile>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTimerEvent>
#include <QTreeView>

#include <algorithm>
#include <chrono>
#include <climits>

namespace app {

using settings::ControlName;
using settings::DialogUnits;
using settings::Place;

namespace {

// Registered when the program starts, so the window knows the id before the
// watcher posts it; the registry gives the watcher the same id for the name.
const std::uint32_t g_directoryChangeMessage =
    platform::RegisterWindowMessage(watcher::CDirectoryWatcher::kMessageName);

// A message posted to the window, carried through the window's event queue.
class PostedMessage final : public QEvent {
public:
    static QEvent::Type Type() {
        static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }
    PostedMessage(std::uint32_t messageId, std::uintptr_t first, std::intptr_t second)
        : QEvent(Type()), id(messageId), wParam(first), lParam(second) {}
    const std::uint32_t id;
    const std::uintptr_t wParam;
    const std::intptr_t lParam;
};

constexpr int kBatchColumnWidth = 100;
constexpr int kSubmittedColumnWidth = 110;
// A change is answered this long after it was reported: long enough to gather
// a burst of changes, short enough to feel immediate ...
constexpr int kDirectoryQuietMs = 100;
// ... and no sooner than this after the last rescan it brought, so that a
// stream of changes costs one rescan per tick.
constexpr int kDirectoryRescanGapMs = 1000;

} // namespace

EngineFactory DefaultEngineFactory() {
    return [](engine::EngineServices services) {
        return std::make_unique<engine::CBatchQueue>(std::move(services));
    };
}

WatcherFactory DefaultWatcherFactory() {
    return [](platform::MessagePoster* target) {
        return std::make_unique<watcher::CDirectoryWatcher>(target);
    };
}

QString CountLineText(std::size_t count) {
    if (count == 0)
        return QStringLiteral("There are no batches in queue");
    if (count == 1)
        return QStringLiteral("There is 1 batch in queue");
    return QStringLiteral("There are %1 batches in queue").arg(count);
}

std::uint32_t CBatchQueueDlg::DirectoryChangeMessage() {
    return g_directoryChangeMessage;
}

CBatchQueueDlg::CBatchQueueDlg(MainWindowServices services, QWidget* parent)
    : QDialog(parent), m_services(std::move(services)) {
    setWindowTitle(QString::fromLatin1(kCaption));
    // A normal top-level window, so it has a taskbar entry; minimise, no maximise.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setWindowIcon(AppIcon());
    CreateControls();
    m_directoryChangeHoldOff.setSingleShot(true);
    connect(&m_directoryChangeHoldOff, &QTimer::timeout, this, [this] {
        // Cleared before the rescan, so a change during it brings another one;
        // until then the watcher's further messages are dropped where posted.
        m_directoryChangePending.store(false);
        m_sinceDirectoryRescan.start();
        OnDirectoryChange(0, 0);
    });
}

CBatchQueueDlg::~CBatchQueueDlg() {
    OnDestroy();
}

void CBatchQueueDlg::CreateControls() {
    const DialogUnits u(font());
    setFixedSize(u.Size(223, 133));

    m_rows = new BatchListModel(this);
    m_list = new QTreeView(this);
    m_list->setObjectName(ControlName(kList));
    m_list->setModel(m_rows);
    m_list->setRootIsDecorated(false);
    m_list->setItemsExpandable(false);
    m_list->setUniformRowHeights(true);
    m_list->setSortingEnabled(false);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setAllColumnsShowFocus(true);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setTextElideMode(Qt::ElideRight);
    m_list->header()->setSectionsClickable(false);
    m_list->header()->setSectionsMovable(false);
    m_list->header()->setStretchLastSection(false);
    m_list->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    Place(m_list, u, 7, 7, 148, 78);

    m_countLabel = new QLabel(QStringLiteral("Static"), this);
    m_countLabel->setObjectName(ControlName(kCountLine));
    Place(m_countLabel, u, 7, 92, 209, 8);

    m_statusLabel = new QLabel(QStringLiteral("Static"), this);
    m_statusLabel->setObjectName(ControlName(kStatusLine));
    Place(m_statusLabel, u, 7, 105, 209, 8);

    for (QLabel* line : {m_countLabel, m_statusLabel}) {
        // Batch titles are shown as they are, never read as markup or accelerators.
        line->setTextFormat(Qt::PlainText);
        line->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    }

    m_settingsButton = new QPushButton(QStringLiteral("&Settings"), this);
    m_settingsButton->setObjectName(ControlName(kSettings));
    m_settingsButton->setAutoDefault(false);
    m_settingsButton->setDefault(false);
    Place(m_settingsButton, u, 166, 7, 50, 14);
    connect(m_settingsButton, &QPushButton::clicked, this, [this] { OnSettings(); });
}

void CBatchQueueDlg::DoDataExchange() {
    m_countLabel->setText(m_countLine);
    m_statusLabel->setText(m_statusLine);
}

void CBatchQueueDlg::showEvent(QShowEvent* event) {
    if (!m_initialised) {
        m_initialised = true;
        OnInitDialog();
    }
    QDialog::showEvent(event);
}

bool CBatchQueueDlg::OnInitDialog() {
    DoDataExchange();
    setWindowIcon(AppIcon());
    // The column widths grow with the font, as the window does.
    const DialogUnits u(font());
    m_list->header()->resizeSection(BatchListModel::kBatch, u.Pixels(kBatchColumnWidth));
    m_list->header()->resizeSection(BatchListModel::kSubmitted, u.Pixels(kSubmittedColumnWidth));
    m_list->setFocus(Qt::OtherFocusReason);

    engine::EngineServices services;
    services.library = m_services.library;
    services.clock = m_services.clock;
    services.runs = m_services.runs;
    services.legacyRuns = m_services.legacyRuns;
    services.launcher = m_services.launcher;
    services.events = m_services.events;
    // Who writes the queue's files, once the watcher below watches it.
    services.writers = &m_writers;
    try {
        if (m_services.makeEngine)
            m_engine = m_services.makeEngine(std::move(services));
    } catch (const std::exception&) {
        m_engine.reset();
    }
    if (!m_engine)
        return false;

    settings::CBatchParams params;
    params.Load(m_services.store);
    m_engine->SetSettings(params);
    ShowQueueDirectory();
    // What was handed over before a restart is known before the first look at
    // the queue, so that it is neither handed over again nor forgotten.
    m_engine->RestoreRunRecord();
    m_engine->Rescan();

    try {
        if (m_services.makeWatcher)
            m_watcher = m_services.makeWatcher(this);
    } catch (const std::exception&) {
        m_watcher.reset();
    }
    if (m_watcher) {
        m_writers.Follow(&m_watcher->Writers());
        m_watcher->SetDirectory(params.QueueDir.c_str(), kNotifyFilter, false);
        m_watcher->Enable(true);
    }
    Refresh();
    SetTimerPeriod(1);
    return true;
}

void CBatchQueueDlg::ShowQueueDirectory() {
    // The directory the engine scans, wherever the program was started from.
    const std::string dir = platform::SplitPath(m_engine->ScanPattern()).dir;
    m_list->setToolTip(QFile::decodeName(QByteArray::fromStdString(platform::AbsolutePath(dir))));
}

void CBatchQueueDlg::Refresh() {
    if (!m_engine)
        return;
    // The rows are the engine's list as it stands; each one's time is made
    // into text only when the view draws it. Rows that stay as they were are
    // not rebuilt, but a selection goes on every refresh all the same.
    if (!m_rows->SetRows(m_engine->List()))
        m_list->selectionModel()->clear();
    m_countLine = CountLineText(m_engine->List().GetCount());
    m_statusLine = QString::fromStdString(m_engine->StatusMessage());
    DoDataExchange();
}

bool CBatchQueueDlg::SetTimerPeriod(int seconds) {
    if (m_timerId != 0) {
        killTimer(m_timerId);
        m_timerId = 0;
    }
    if (seconds <= 0)
        return true;
    // Periods beyond what a timer can hold are cut to the longest one possible.
    const long long ms = std::min<long long>(static_cast<long long>(seconds) * 1000, INT_MAX);
    m_timerId = startTimer(std::chrono::milliseconds(ms));
    return m_timerId != 0;
}

void CBatchQueueDlg::timerEvent(QTimerEvent* event) {
    if (event->timerId() == m_timerId && m_timerId != 0) {
        OnTimer(event->timerId());
        return;
    }
    QDialog::timerEvent(event);
}

void CBatchQueueDlg::OnTimer(int /*timerId*/) {
    if (m_engine)
        m_engine->ProcessStep();
    Refresh();
}

long CBatchQueueDlg::OnDirectoryChange(std::uintptr_t, std::intptr_t) {
    if (m_engine)
        m_engine->Rescan();
    Refresh();
    return 1;
}

void CBatchQueueDlg::OnSettings() {
    if (!m_engine)
        return;
    settings::CBatchParams params;
    m_engine->GetSettings(params);
    settings::CBatchParamsSheet sheet(this);
    if (sheet.EditParams(params) == 0 || m_engine == nullptr || m_engine->SetSettings(params) == 0)
        return;
    ShowQueueDirectory();
    // Saved only when the file was written; otherwise the change holds for this run.
    if (params.Save(m_services.store) != 0 && m_services.events != nullptr) {
        const int error = m_services.store->LastWriteError();
        m_services.events->Report(
            error == 0 ? engine::EngineEvent::SettingsSaved(m_services.settingsFile)
                       : engine::EngineEvent::SettingsNotSaved(m_services.settingsFile, error));
    }
    if (m_watcher)
        m_watcher->SetDirectory(params.QueueDir.c_str(), kNotifyFilter, false);
}

void CBatchQueueDlg::OnSysCommand(unsigned id, std::intptr_t /*param*/) {
    switch (id & kCommandMask) {
    case kAboutCommand: {
        CAboutDlg about(this);
        about.exec();
        break;
    }
    case kMinimizeCommand:
        showMinimized();
        break;
    case kCloseCommand:
        close();
        break;
    default:
        break;
    }
}

void CBatchQueueDlg::OnDestroy() {
    if (m_destroyed)
        return;
    m_destroyed = true;
    SetTimerPeriod(0);
    m_directoryChangeHoldOff.stop();
    // The watcher goes first: its destruction waits for its worker to end.
    // The engine is told nothing more about writers from here on.
    m_writers.Follow(nullptr);
    m_watcher.reset();
    m_engine.reset();
}

void CBatchQueueDlg::CloseWithDialogs() {
    // Each cancelled dialog leaves the modal stack at once; its own modal loop
    // ends when control returns to it, and whoever opened it goes on as after
    // Cancel. A dialog that will not close is hidden all the same.
    for (int guard = 0; guard < 64; ++guard) {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || modal == this)
            break;
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        if (modal->isVisible())
            modal->hide();
    }
    reject();
}

void CBatchQueueDlg::done(int result) {
    QDialog::done(result);
    OnDestroy();
}

bool CBatchQueueDlg::PostMessage(std::uint32_t id, std::uintptr_t wParam, std::intptr_t lParam) {
    if (id == g_directoryChangeMessage && m_directoryChangePending.exchange(true))
        return true; // one is already waiting; its rescan will see this change too
    QCoreApplication::postEvent(this, new PostedMessage(id, wParam, lParam));
    return true;
}

bool CBatchQueueDlg::event(QEvent* event) {
    if (event->type() != PostedMessage::Type())
        return QDialog::event(event);
    const auto* message = static_cast<PostedMessage*>(event);
    if (message->id == g_directoryChangeMessage && !m_directoryChangeHoldOff.isActive()) {
        const qint64 gapLeft = m_sinceDirectoryRescan.isValid()
                                   ? kDirectoryRescanGapMs - m_sinceDirectoryRescan.elapsed()
                                   : 0;
        m_directoryChangeHoldOff.start(static_cast<int>(
            std::clamp<qint64>(gapLeft, kDirectoryQuietMs, kDirectoryRescanGapMs)));
    }
    return true;
}

void CBatchQueueDlg::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        // A focused button is pressed; anywhere else Enter confirms, which closes.
        if (auto* button = qobject_cast<QPushButton*>(focusWidget()))
            button->click();
        else
            accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

std::unique_ptr<QMenu> CBatchQueueDlg::CreateWindowMenu() {
    auto menu = std::make_unique<QMenu>(this);
    menu->addAction(QStringLiteral("Mi&nimize"))->setData(kMinimizeCommand);
    menu->addAction(QStringLiteral("&Close\tAlt+F4"))->setData(kCloseCommand);
    AddAboutEntry(*menu);
    return menu;
}

void CBatchQueueDlg::AddAboutEntry(QMenu& menu) {
    menu.addSeparator();
    menu.addAction(QString::fromLatin1(kAboutEntry))->setData(kAboutCommand);
}

void CBatchQueueDlg::contextMenuEvent(QContextMenuEvent* event) {
    const std::unique_ptr<QMenu> menu = CreateWindowMenu();
    if (QAction* chosen = menu->exec(event->globalPos()))
        OnSysCommand(chosen->data().toUInt(), 0);
}

} // namespace app
