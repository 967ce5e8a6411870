#pragma once

#include <QObject>

#include <atomic>
#include <csignal>
#include <functional>

class QSocketNotifier;

namespace app {

// Turns SIGTERM, SIGINT and SIGHUP into a call on the window's thread, so that
// the program ends through its normal close path between two handlers, never
// in the middle of one. The signal handler only writes a byte to a pipe; the
// window's event loop reads it. While the object lives it owns those signals;
// it puts the previous handlers back when it goes.
class TerminationSignals final : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(std::function<void()> onSignal, QObject* parent = nullptr);
    ~TerminationSignals() override;
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    // False when the pipe could not be made: the signals keep their old handlers.
    bool IsInstalled() const { return m_installed; }

private:
    static constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
    static void Handle(int signal);
    void Drain();

    // The pipe's write end for the handler. A signal handler can reach nothing
    // else; only one instance installs itself at a time.
    static std::atomic<int> s_writeEnd;

    std::function<void()> m_onSignal;
    int m_readEnd = -1;
    int m_writeEnd = -1;
    bool m_installed = false;
    struct sigaction m_previous[3] = {};
    QSocketNotifier* m_notifier = nullptr;
};

} // namespace app
