// The engine's reactor inside Qt's event loop: one notifier on the reactor's descriptor runs
// whatever is ready. Nothing of the engine waits for a person, so the notifiers run whatever
// dialog is open; no engine handler opens a dialog, so none runs inside another.
#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <vector>

class QSocketNotifier;

namespace velbrook {

class Reactor;

class EngineLoop : public QObject {
    Q_OBJECT

public:
    explicit EngineLoop(Reactor& reactor, QObject* parent = nullptr);
    ~EngineLoop() override;

    // Another descriptor whose handler enters the engine (torrents handed over by a second
    // copy), watched beside the reactor.
    void Watch(int fd, std::function<void()> onReadable);

private:
    void Dispatch();

    Reactor& m_reactor;
    std::vector<std::unique_ptr<QSocketNotifier>> m_notifiers;
};

}  // namespace velbrook
