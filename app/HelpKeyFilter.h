#pragma once

#include <QObject>

#include <chrono>
#include <functional>
#include <optional>

namespace app {

// Turns F1, pressed in any window of the program, into one help request per
// press, however long the key is held.
// Installed on the application, it sees key presses before any window does.
class HelpKeyFilter final : public QObject {
    Q_OBJECT
public:
    using TimeSource = std::function<std::chrono::steady_clock::time_point()>;

    // A press of F1 within this time of the last F1 press or release belongs to
    // the same hold.
    static constexpr std::chrono::milliseconds kRepeatWindow{500};

    explicit HelpKeyFilter(std::function<void()> onHelp, QObject* parent = nullptr,
                           TimeSource now = &std::chrono::steady_clock::now);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::function<void()> m_onHelp;
    TimeSource m_now;
    std::optional<std::chrono::steady_clock::time_point> m_lastF1;
};

} // namespace app
