#pragma once

#include <QApplication>
#include <QSocketNotifier>
#include <QWidget>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace app {

// A second start from the menu brings the running instance's window to the
// front: the running instance listens on a socket of the user's own, the new
// process connects to it and ends. Nothing is read from a connection; each is
// closed at once, so no input can reach the program this way.

// "Tesmaro_Raise" in the user's runtime directory when it is set to an
// absolute path; empty (no raising) otherwise or when the path does not fit.
inline std::string RaiseSocketPath(const char* runtimeDir) {
    if (runtimeDir == nullptr || runtimeDir[0] != '/')
        return {};
    std::string path = std::string(runtimeDir) + "/Tesmaro_Raise";
    return path.size() < sizeof(sockaddr_un::sun_path) ? path : std::string();
}

inline bool FillAddress(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path))
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// In the new process: asks the running instance to show its window. False
// when nobody listens.
inline bool AskRunningInstanceToRaise(const std::string& path) {
    sockaddr_un address{};
    if (!FillAddress(path, address))
        return false;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    const bool connected =
        connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    close(fd);
    return connected;
}

// Brings the program's window to the front: an open modal dialog (the
// settings sheet, the About box) first, else every visible window.
inline void RaiseProgramWindows() {
    const auto raise = [](QWidget* window) {
        if (window->isMinimized())
            window->showNormal();
        window->raise();
        window->activateWindow();
    };
    if (QWidget* modal = QApplication::activeModalWidget()) {
        raise(modal);
        return;
    }
    for (QWidget* window : QApplication::topLevelWidgets())
        if (window->isVisible())
            raise(window);
}

// In the running instance: listens on the path (mode 0600) for the life of the
// object and calls onRaise once per round of connections. The caller holds the
// instance lock, so a socket already at the path is a leftover of a killed
// instance and is replaced.
class RaiseListener {
public:
    RaiseListener(const std::string& path, std::function<void()> onRaise)
        : m_onRaise(std::move(onRaise)) {
        sockaddr_un address{};
        if (!FillAddress(path, address))
            return;
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0 && (!S_ISSOCK(st.st_mode) || unlink(path.c_str()) != 0))
            return;
        m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (m_fd < 0)
            return;
        // Made in the user's own runtime directory, then closed to all but
        // the user.
        if (bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
            close(m_fd);
            m_fd = -1;
            return;
        }
        if (chmod(path.c_str(), 0600) != 0 || listen(m_fd, 4) != 0) {
            unlink(path.c_str());
            close(m_fd);
            m_fd = -1;
            return;
        }
        m_path = path;
        m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] { Serve(); });
    }
    ~RaiseListener() {
        m_notifier.reset();
        if (m_fd >= 0) {
            close(m_fd);
            unlink(m_path.c_str());
        }
    }
    RaiseListener(const RaiseListener&) = delete;
    RaiseListener& operator=(const RaiseListener&) = delete;

    bool IsListening() const { return m_fd >= 0; }

private:
    void Serve() {
        bool any = false;
        for (int client; (client = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
            close(client);
            any = true;
        }
        if (any && m_onRaise)
            m_onRaise();
    }

    std::function<void()> m_onRaise;
    std::string m_path;
    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace app
