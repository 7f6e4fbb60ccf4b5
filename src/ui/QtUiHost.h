// The desktop program's answer to everything the engine asks of a person: message boxes, the
// save-file and folder dialogs, the options dialog, and redraws of the views, at most a few a
// second however many torrents change.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>

#include "engine/UiHost.h"

namespace velbrook {

class EngineLoop;

class QtUiHost : public QObject, public UiHost {
    Q_OBJECT

public:
    // The shortest time between two redraws: at most four a second.
    static constexpr int kRedrawIntervalMs = 250;

    explicit QtUiHost(EngineLoop& loop, QObject* parent = nullptr);

    // Dialogs open over `window` (none: they stand alone, as before the window exists).
    void SetWindow(QWidget* window) { m_window = window; }
    // What a redraw does: every view updates from the document.
    void SetRedraw(std::function<void()> redraw) { m_redraw = std::move(redraw); }

    MessageAnswer ShowMessage(const std::string& text, MessageIcon icon,
                              MessageButtons buttons) override;
    bool ChooseSaveFile(const std::string& startFolder, const std::string& proposedName,
                        std::string& chosenPath) override;
    bool ChooseFolder(const std::string& startFolder, std::string& chosenFolder) override;
    bool EditOptions(SettingsValues& values) override;
    void PostUpdateAllViews() override;

protected:
    // Every dialog the engine asks for runs inside one: the engine waits for the answer, so
    // nothing may enter it meanwhile, and no view reads it half-way through a handler.
    class DialogScope {
    public:
        explicit DialogScope(QtUiHost& host);
        ~DialogScope();
        DialogScope(const DialogScope&) = delete;
        DialogScope& operator=(const DialogScope&) = delete;

    private:
        QtUiHost& m_host;
    };

private:
    void Schedule();
    void Redraw();

    EngineLoop& m_loop;
    QPointer<QWidget> m_window;
    std::function<void()> m_redraw;
    QTimer m_timer;
    QElapsedTimer m_sinceRedraw;
    bool m_pending = false;
};

}  // namespace velbrook
