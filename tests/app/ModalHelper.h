#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

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
