// Running Qt's loop, and with it the engine's, until something holds.
#pragma once

#include <QApplication>
#include <QTest>

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

}  // namespace velbrook::test
