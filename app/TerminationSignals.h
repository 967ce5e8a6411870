#pragma once

#include "platform/FileDescriptor.h"

#include <QObject>

#include <atomic>
#include <csignal>
#include <functional>

class QSocketNotifier;

namespace app {

// Turns SIGTERM, SIGINT and SIGHUP into a call on the window's thread, so that
// the program ends through its normal close path between two handlers, never
// in the middle of one. The signal handler only writes a byte to a pipe; the
// window's event loop reads it. It also makes a second descriptor readable for
// good, so that a blocking wait elsewhere on the window's thread (a viewer's)
// can end at once. While the object lives it owns those signals; it puts the
// previous handlers back when it goes. A signal that was ignored when it came
// (a hangup under nohup) stays ignored.
class TerminationSignals final : public QObject {
    Q_OBJECT
public:
    // Owns the signals from now on. The calls start once Listen has run (at
    // once when the callback is given and the application object exists);
    // a signal that came before is seen then.
    explicit TerminationSignals(std::function<void()> onSignal = {}, QObject* parent = nullptr);
    ~TerminationSignals() override;
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    // Calls `onSignal` from the event loop for each signal; needs the
    // application object.
    void Listen(std::function<void()> onSignal);
    // False when the pipe could not be made: the signals keep their old handlers.
    bool IsInstalled() const { return m_installed; }
    // Readable from the first signal on, and never read: -1 when not installed.
    int StopDescriptor() const { return m_stopFd.Get(); }

private:
    static constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
    static void Handle(int signal);
    void Drain();

    // The pipe's write end for the handler. A signal handler can reach nothing
    // else; only one instance installs itself at a time.
    static std::atomic<int> s_writeEnd;
    static std::atomic<int> s_stopFd;

    std::function<void()> m_onSignal;
    platform::FileDescriptor m_readEnd;
    platform::FileDescriptor m_writeEnd;
    platform::FileDescriptor m_stopFd;
    bool m_installed = false;
    bool m_owned[3] = {};
    struct sigaction m_previous[3] = {};
    QSocketNotifier* m_notifier = nullptr;
};

} // namespace app
