#pragma once

#include <QObject>

#include <functional>

namespace app {

// Turns F1, pressed in any window of the program, into one help request per
// press, however long the key is held.
// Installed on the application, it sees key presses before any window does.
class HelpKeyFilter final : public QObject {
    Q_OBJECT
public:
    explicit HelpKeyFilter(std::function<void()> onHelp, QObject* parent = nullptr);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::function<void()> m_onHelp;
};

} // namespace app
