#include "app/HelpLauncher.h"

#include "platform/Path.h"

#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

#include <climits>

namespace app {

std::optional<std::string> HelpFileFor(const std::string& executablePath) {
    if (executablePath.empty() || executablePath.size() >= PATH_MAX)
        return std::nullopt;
    const platform::SplitParts parts = platform::SplitPath(executablePath);
    if (parts.dir.empty())
        return std::nullopt;
    return parts.dir + kHelpFileName;
}

HelpLauncher::HelpLauncher() : HelpLauncher(FindHelpViewer, StartDetached) {}

HelpLauncher::HelpLauncher(ViewerLocator locate, ProgramStarter start)
    : m_locate(std::move(locate)), m_start(std::move(start)) {}

bool HelpLauncher::Open(const std::string& helpFile) {
    if (!m_looked) {
        m_looked = true;
        if (m_locate)
            m_viewer = m_locate();
    }
    if (!m_viewer || !m_start)
        return false;
    return m_start(*m_viewer, {helpFile});
}

std::optional<std::string> FindHelpViewer() {
    for (const char* name : {"xchm", "kchmviewer", "xdg-open"}) {
        const QString found = QStandardPaths::findExecutable(QString::fromLatin1(name));
        if (!found.isEmpty())
            return found.toStdString();
    }
    return std::nullopt;
}

bool StartDetached(const std::string& program, const std::vector<std::string>& args) {
    QStringList arguments;
    for (const std::string& arg : args)
        arguments << QString::fromStdString(arg);
    return QProcess::startDetached(QString::fromStdString(program), arguments);
}

} // namespace app
