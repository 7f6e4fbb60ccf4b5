// The engine's reactor inside Qt's event loop: one notifier on the reactor's descriptor runs
// whatever is ready. While the engine waits for a person (a modal dialog it asked for), nothing
// that enters the engine runs: the notifiers are paused until the dialog has closed.
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
    // copy): it is watched while the loop runs and waits while it is paused.
    void Watch(int fd, std::function<void()> onReadable);

    // Pauses nest: the loop runs again when every pause has ended.
    void Pause();
    void Resume();
    bool Paused() const { return m_pauses > 0; }

private:
    void Dispatch();
    void Enable(bool enabled);

    Reactor& m_reactor;
    std::vector<std::unique_ptr<QSocketNotifier>> m_notifiers;
    int m_pauses = 0;
};

}  // namespace velbrook
