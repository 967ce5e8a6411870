#include "app/CBatchQueueApp.h"

#include "app/AppIcon.h"
#include "app/AppInfo.h"
#include "app/CBatchQueueDlg.h"
#include "app/EventLog.h"
#include "app/HelpKeyFilter.h"
#include "app/InstanceLock.h"
#include "app/TerminationSignals.h"
#include "engine/Clock.h"
#include "engine/RunRecord.h"
#include "external/QueueLibraryBinding.h"
#include "platform/StateFile.h"
#include "settings/QtProfileStore.h"

#include <array>
#include <unistd.h>

namespace app {

namespace {

// The full path of the running executable; empty when it cannot be read.
std::string ExecutablePath() {
    std::array<char, PATH_MAX> buf{};
    const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= buf.size())
        return {};
    return std::string(buf.data(), static_cast<std::size_t>(n));
}

} // namespace

CBatchQueueApp::CBatchQueueApp(int& argc, char** argv) : QApplication(argc, argv) {
    // The application name stays the executable's file name, so that a copy
    // under another name keeps its own settings.
    setApplicationVersion(QStringLiteral(TESMARO_VERSION));
    // Every window, message box included, shows the program's icon; the
    // desktop matches the windows to the installed desktop entry.
    setWindowIcon(AppIcon());
    setDesktopFileName(QStringLiteral("tesmaro"));
    installEventFilter(new HelpKeyFilter([this] { OnHelp(); }, this));
}

bool CBatchQueueApp::InitInstance() {
    setOrganizationName(QString::fromLatin1(kSettingsRoot));

    // Logging out or a service manager's stop closes the window as its Close
    // command does, so the engine and the watcher end in order. Installed
    // first, so that no signal after the guard is taken can end the program
    // the abrupt way; a signal that comes early is handled once the window runs.
    CBatchQueueDlg* mainWindow = nullptr;
    const TerminationSignals termination([&mainWindow] {
        if (mainWindow != nullptr)
            mainWindow->CloseWithDialogs();
    });

    const InstanceLock guard(InstanceLockPath());
    if (guard.GetState() == InstanceLock::State::HeldElsewhere)
        return false;

    external::QueueLibraryBinding library;
    engine::SystemClock clock;
    settings::QtProfileStore store(QString::fromLatin1(kSettingsRoot), applicationName());
    // Without a home directory the record lasts as long as this run.
    const std::string runRecordPath = platform::RunRecordPath(applicationName().toStdString());
    engine::StateFileRunRecordStore fileRuns(runRecordPath);
    engine::MemoryRunRecordStore memoryRuns;
    EventLog log;
    MainWindowServices services{&library, &clock, &store};
    services.events = &log;
    services.settingsFile = store.FileName().toStdString();
    services.runs =
        runRecordPath.empty() ? static_cast<engine::RunRecordStore*>(&memoryRuns) : &fileRuns;
    CBatchQueueDlg window(std::move(services));
    mainWindow = &window;
    window.exec();
    mainWindow = nullptr;
    return false;
}

void CBatchQueueApp::OnHelp() {
    if (const std::optional<std::string> helpFile = HelpFileFor(ExecutablePath()))
        m_help.Open(*helpFile);
}

} // namespace app
