#include "ui/EngineLoop.h"

#include <QSocketNotifier>

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
    connect(notifier.get(), &QSocketNotifier::activated, this,
            [handler = std::move(onReadable)] { handler(); });
    m_notifiers.push_back(std::move(notifier));
}

void EngineLoop::Dispatch() {
    // Only what is ready: the descriptor stays readable while more is, so Qt comes back at
    // once, and its own events (painting, input, dialogs) get their turn in between.
    m_reactor.RunOnce(0);
}

}  // namespace velbrook
