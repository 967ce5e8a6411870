#pragma once

#include "app/HelpLauncher.h"

#include <QApplication>

namespace app {

// The application: fixes where the settings live, lets only one instance run,
// runs the main window modally and ends when it closes. F1 anywhere opens the
// suite's help file.
class CBatchQueueApp final : public QApplication {
    Q_OBJECT
public:
    static constexpr const char* kSettingsRoot = "Orbinel";

    CBatchQueueApp(int& argc, char** argv);

    // Start-up. Always false: there is no message loop after the main window.
    bool InitInstance();
    // Opens the help file beside the executable; does nothing when it cannot.
    void OnHelp();

private:
    HelpLauncher m_help;
};

} // namespace app
