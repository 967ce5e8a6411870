#include "app/TerminationSignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace app {

std::atomic<int> TerminationSignals::s_writeEnd{-1};

void TerminationSignals::Handle(int /*signal*/) {
    const int savedErrno = errno;
    const int fd = s_writeEnd.load();
    if (fd >= 0) {
        const char byte = 1;
        // A full pipe already holds a wake-up; losing this byte loses nothing.
        [[maybe_unused]] const ssize_t written = write(fd, &byte, 1);
    }
    errno = savedErrno;
}

TerminationSignals::TerminationSignals(std::function<void()> onSignal, QObject* parent)
    : QObject(parent), m_onSignal(std::move(onSignal)) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    int expected = -1;
    if (!s_writeEnd.compare_exchange_strong(expected, fds[1])) {
        close(fds[0]);
        close(fds[1]);
        return;
    }
    m_readEnd = fds[0];
    m_writeEnd = fds[1];
    m_notifier = new QSocketNotifier(m_readEnd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] { Drain(); });

    struct sigaction action {};
    action.sa_handler = &TerminationSignals::Handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        sigaction(kSignals[i], &action, &m_previous[i]);
    m_installed = true;
}

TerminationSignals::~TerminationSignals() {
    if (!m_installed)
        return;
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        sigaction(kSignals[i], &m_previous[i], nullptr);
    s_writeEnd.store(-1);
    delete m_notifier;
    close(m_readEnd);
    close(m_writeEnd);
}

void TerminationSignals::Drain() {
    char buffer[64];
    bool signalled = false;
    while (read(m_readEnd, buffer, sizeof buffer) > 0)
        signalled = true;
    if (signalled && m_onSignal)
        m_onSignal();
}

} // namespace app
