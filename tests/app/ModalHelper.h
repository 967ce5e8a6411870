#pragma once

#include "support/WaitUntil.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

// Runs `action` from inside the next modal loop, on the first active modal
// window of type T. Waits at most `limitMs`; after that the test fails and any
// modal window is closed, so a test never hangs.
template <typename T> void WhenModal(std::function<void(T*)> action, int limitMs = 10000) {
    auto* timer = new QTimer;
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    QObject::connect(timer, &QTimer::timeout, [timer, clock, action, limitMs] {
        if (auto* window = qobject_cast<T*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            action(window);
            return;
        }
        if (clock->elapsed() > limitMs) {
            timer->stop();
            timer->deleteLater();
            ADD_FAILURE() << "no modal window of the expected kind appeared";
            if (QWidget* modal = QApplication::activeModalWidget())
                modal->close();
        }
    });
    timer->start(5);
}

} // namespace testsupport

namespace testsupport {

// Records the class of every modal window that opens while it lives, and
// closes it at once, so code that would wait on a dialog carries on.
class ModalWatch {
public:
    ModalWatch() {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            if (QWidget* modal = QApplication::activeModalWidget()) {
                seen.push_back(modal->metaObject()->className());
                modal->close();
            }
        });
        m_timer.start(5);
    }
    std::vector<std::string> seen;

private:
    QTimer m_timer;
};

// Runs the event loop until the condition holds or the limit has passed;
// returns the condition's last value.
inline bool WaitFor(const std::function<bool()>& condition, int limitMs = 10000) {
    return WaitUntil(condition, std::chrono::milliseconds(limitMs),
                     [] { QApplication::processEvents(QEventLoop::AllEvents, 20); });
}

} // namespace testsupport
