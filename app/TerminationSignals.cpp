#include "app/TerminationSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <utility>

namespace app {

std::atomic<int> TerminationSignals::s_writeEnd{-1};
std::atomic<int> TerminationSignals::s_stopFd{-1};

void TerminationSignals::Handle(int /*signal*/) {
    const int savedErrno = errno;
    const int fd = s_writeEnd.load();
    if (fd >= 0) {
        const char byte = 1;
        // A full pipe already holds a wake-up; losing this byte loses nothing.
        [[maybe_unused]] const ssize_t written = write(fd, &byte, 1);
    }
    if (const int stop = s_stopFd.load(); stop >= 0) {
        const std::uint64_t one = 1;
        // The counter only grows; a full counter is readable all the same.
        [[maybe_unused]] const ssize_t written = write(stop, &one, sizeof one);
    }
    errno = savedErrno;
}

TerminationSignals::TerminationSignals(std::function<void()> onSignal, QObject* parent)
    : QObject(parent) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    platform::FileDescriptor readEnd(fds[0]);
    platform::FileDescriptor writeEnd(fds[1]);
    platform::FileDescriptor stop(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    int expected = -1;
    if (!stop.IsValid() || !s_writeEnd.compare_exchange_strong(expected, writeEnd.Get()))
        return;
    s_stopFd.store(stop.Get());
    m_readEnd = std::move(readEnd);
    m_writeEnd = std::move(writeEnd);
    m_stopFd = std::move(stop);

    struct sigaction action {};
    action.sa_handler = &TerminationSignals::Handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
        // Whoever started this process with the signal ignored meant it.
        if (sigaction(kSignals[i], nullptr, &m_previous[i]) != 0 ||
            m_previous[i].sa_handler == SIG_IGN)
            continue;
        m_owned[i] = sigaction(kSignals[i], &action, nullptr) == 0;
    }
    m_installed = true;
    if (onSignal && QCoreApplication::instance() != nullptr)
        Listen(std::move(onSignal));
}

void TerminationSignals::Listen(std::function<void()> onSignal) {
    m_onSignal = std::move(onSignal);
    if (!m_installed || m_notifier != nullptr)
        return;
    m_notifier = new QSocketNotifier(m_readEnd.Get(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] { Drain(); });
}

TerminationSignals::~TerminationSignals() {
    if (!m_installed)
        return;
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        if (m_owned[i])
            sigaction(kSignals[i], &m_previous[i], nullptr);
    s_writeEnd.store(-1);
    s_stopFd.store(-1);
    // The descriptors close after this, once no handler can write to them.
    delete m_notifier;
}

void TerminationSignals::Drain() {
    char buffer[64];
    bool signalled = false;
    while (read(m_readEnd.Get(), buffer, sizeof buffer) > 0)
        signalled = true;
    if (signalled && m_onSignal)
        m_onSignal();
}

} // namespace app
