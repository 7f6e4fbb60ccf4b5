#include "ui/EngineLoop.h"

#include <QSocketNotifier>

#include <cassert>

#include "net/Reactor.h"

namespace velbrook {

EngineLoop::EngineLoop(Reactor& reactor, QObject* parent) : QObject(parent), m_reactor(reactor) {
    Watch(m_reactor.Fd(), [this] { Dispatch(); });
}

EngineLoop::~EngineLoop() = default;

void EngineLoop::Watch(int fd, std::function<void()> onReadable) {
    if (fd < 0) {
        return;
    }
    auto notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    notifier->setEnabled(!Paused());
    connect(notifier.get(), &QSocketNotifier::activated, this,
            [this, handler = std::move(onReadable)] {
                // A paused notifier cannot fire; if one did, the engine would be entered from
                // inside the handler that is waiting for the dialog.
                assert(!Paused());
                handler();
            });
    m_notifiers.push_back(std::move(notifier));
}

void EngineLoop::Dispatch() {
    // Only what is ready: the descriptor stays readable while more is, so Qt comes back at
    // once, and its own events (painting, input) get their turn in between.
    m_reactor.RunOnce(0);
}

void EngineLoop::Enable(bool enabled) {
    for (const auto& notifier : m_notifiers) {
        notifier->setEnabled(enabled);
    }
}

void EngineLoop::Pause() {
    if (m_pauses++ == 0) {
        Enable(false);
    }
}

void EngineLoop::Resume() {
    assert(m_pauses > 0);
    if (--m_pauses == 0) {
        Enable(true);
    }
}

}  // namespace velbrook
