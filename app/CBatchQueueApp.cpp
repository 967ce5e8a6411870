#include "app/CBatchQueueApp.h"

#include "app/AppIcon.h"
#include "app/AppInfo.h"
#include "app/CBatchQueueDlg.h"
#include "app/EventLog.h"
#include "app/HelpKeyFilter.h"
#include "app/TerminationSignals.h"
#include "engine/Clock.h"
#include "external/QueueLibraryBinding.h"
#include "platform/ExecutablePath.h"
#include "platform/ProcessLauncher.h"
#include "platform/StateFile.h"
#include "settings/CBatchParams.h"
#include "settings/QtProfileStore.h"

#include <string_view>
#include <unistd.h>
#include <utility>
#include <vector>

namespace app {

namespace {

// Messages held back while the application is made: without a window system
// Qt warns several times before its fatal message, and only one line is to
// reach standard error then.
std::vector<std::pair<QtMsgType, QString>>* g_heldMessages = nullptr;

void HoldMessageOrExit(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtFatalMsg) {
        static constexpr char kLine[] = "Tesmaro: no window system can be opened; to run without "
                                        "one, start it with QT_QPA_PLATFORM=offscreen\n";
        [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, kLine, sizeof kLine - 1);
        _exit(1);
    }
    if (g_heldMessages != nullptr)
        g_heldMessages->emplace_back(type, message);
}

} // namespace

std::string ApplicationNameOf(const std::string& executablePath) {
    std::string name = executablePath.substr(executablePath.rfind('/') + 1);
    // The kernel's mark for an executable replaced while it runs.
    static constexpr std::string_view kDeleted = " (deleted)";
    if (name.size() > kDeleted.size() && name.ends_with(kDeleted))
        name.resize(name.size() - kDeleted.size());
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0)
        name.resize(dot);
    return name;
}

CBatchQueueApp::CBatchQueueApp(int& argc, char** argv) : QApplication(argc, argv) {
    // The settings location follows the executable's own file, so a copy
    // under another name keeps its own settings and a link to it shares them.
    const std::string executable = platform::ExecutablePath();
    const std::string name =
        ApplicationNameOf(executable.empty() && argc > 0 ? std::string(argv[0]) : executable);
    if (!name.empty())
        setApplicationName(QString::fromLocal8Bit(name));
    setApplicationVersion(QStringLiteral(TESMARO_VERSION));
    // Every window, message box included, shows the program's icon; the
    // desktop matches the windows to the installed desktop entry.
    setWindowIcon(AppIcon());
    setDesktopFileName(QStringLiteral("tesmaro"));
    installEventFilter(new HelpKeyFilter([this] { OnHelp(); }, this));
}

std::unique_ptr<CBatchQueueApp> CBatchQueueApp::Open(int& argc, char** argv) {
    // A fatal message while the application is made can only be the window
    // system's: the platform plugin is loaded and connected there.
    std::vector<std::pair<QtMsgType, QString>> held;
    g_heldMessages = &held;
    const QtMessageHandler previous = qInstallMessageHandler(HoldMessageOrExit);
    auto application = std::make_unique<CBatchQueueApp>(argc, argv);
    qInstallMessageHandler(previous);
    g_heldMessages = nullptr;
    if (previous != nullptr)
        for (const auto& [type, message] : held)
            previous(type, QMessageLogContext(), message);
    return application;
}

bool CBatchQueueApp::InitInstance(TerminationSignals& termination) {
    setOrganizationName(QString::fromLatin1(kSettingsRoot));

    // Logging out or a service manager's stop closes the window as its Close
    // command does, so the engine and the watcher end in order. A signal that
    // came before the window runs is handled once it does; one during a
    // viewer's wait ends that wait at once.
    CBatchQueueDlg* mainWindow = nullptr;
    termination.Listen([&mainWindow] {
        if (mainWindow != nullptr)
            mainWindow->CloseWithDialogs();
    });

    EventLog log;
    settings::QtProfileStore store(QString::fromLatin1(kSettingsRoot), applicationName());
    const std::string settingsFile = store.FileName().toStdString();
    external::QueueLibraryBinding library;
    {
        // What this run works with, told before anything else; the window
        // loads the same settings for the engine.
        settings::CBatchParams params;
        params.Load(&store);
        log.Report(StartedEvent(TESMARO_VERSION, settingsFile, params, library.Status()));
    }
    library.SetObserver(
        [&log](const external::LibraryStatus& status) { log.Report(LibraryEvent(status)); });
    engine::SystemClock clock;
    platform::SpawningLauncher launcher(termination.StopDescriptor());
    MainWindowServices services{&library, &clock, &store};
    services.events = &log;
    services.settingsFile = settingsFile;
    // The record lives in the queue directory; the per-user one of earlier
    // versions is taken over from there.
    services.legacyRuns = platform::RunRecordPath(applicationName().toStdString());
    services.launcher = &launcher;
    CBatchQueueDlg window(std::move(services));
    mainWindow = &window;
    window.exec();
    mainWindow = nullptr;
    termination.Listen({});
    return false;
}

void CBatchQueueApp::OnHelp() {
    if (const std::optional<std::string> helpFile = HelpFileFor(platform::ExecutablePath()))
        m_help.Open(*helpFile);
}

} // namespace app
