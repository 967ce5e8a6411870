#pragma once

#include "app/HelpLauncher.h"

#include <QApplication>

#include <memory>
#include <string>

namespace app {

class TerminationSignals;

// The application name for the running executable's path: its file name
// without its extension (from the last dot on, unless the name starts with
// it), whatever name it was started under.
std::string ApplicationNameOf(const std::string& executablePath);

// The application: fixes where the settings live, runs the main window
// modally and ends when it closes. F1 anywhere opens the suite's help file.
class CBatchQueueApp final : public QApplication {
    Q_OBJECT
public:
    static constexpr const char* kSettingsRoot = "Orbinel";

    CBatchQueueApp(int& argc, char** argv);

    // Makes the application. When no window system can be opened it writes
    // one line on standard error that says how to run without one, and ends
    // the process with exit code 1 instead of Qt's abort.
    static std::unique_ptr<CBatchQueueApp> Open(int& argc, char** argv);

    // Start-up, with the termination signals the process has owned since its
    // start. Always false: there is no message loop after the main window.
    bool InitInstance(TerminationSignals& termination);
    // Opens the help file beside the executable; does nothing when it cannot.
    void OnHelp();

private:
    HelpLauncher m_help;
};

} // namespace app
