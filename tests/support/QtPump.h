// Helpers for tests of the desktop program: running Qt's loop until something holds, and acting
// on a modal dialog once it is up (its own loop runs inside the call that opened it).
#pragma once

#include <QApplication>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <functional>

namespace velbrook::test {

// Runs Qt's loop (and with it the engine's) until `done` holds; the bound only guards against
// a hang.
inline bool PumpUntil(const std::function<bool()>& done, int seconds = 20) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done() && std::chrono::steady_clock::now() < end) {
        QTest::qWait(5);
    }
    return done();
}

// Runs `act` on the modal dialog as soon as one is open (for at most about ten seconds).
inline void WhenModal(std::function<void(QWidget&)> act, int tries = 500) {
    QTimer::singleShot(20, [act = std::move(act), tries]() mutable {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            act(*modal);
        } else if (tries > 0) {
            WhenModal(std::move(act), tries - 1);
        }
    });
}

}  // namespace velbrook::test
