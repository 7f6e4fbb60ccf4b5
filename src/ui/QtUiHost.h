// The desktop program's answer to everything the engine asks of a person: message boxes, the
// save-file and folder dialogs, the options dialog, and redraws of the views, at most a few a
// second however many torrents change.
//
// Nothing waits for a dialog. Each is opened (never executed in a loop of its own) when Qt's
// loop comes round, one at a time in the order asked; the engine keeps running meanwhile, and
// the answer reaches the engine from Qt's loop once the dialog has closed, never from inside an
// engine handler.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <optional>

#include "engine/UiHost.h"
#include "net/Clock.h"

class QDialog;

namespace velbrook {

class QtUiHost : public QObject, public UiHost {
    Q_OBJECT

public:
    // The shortest time between two redraws: at most four a second.
    static constexpr Duration kRedrawInterval = std::chrono::milliseconds(250);

    // Redraws are timed on `clock`, the engine's.
    explicit QtUiHost(Clock& clock, QObject* parent = nullptr);
    ~QtUiHost() override;  // a dialog still open goes, unanswered

    // Dialogs open over `window` (none: they stand alone, as before the window exists).
    void SetWindow(QWidget* window) { m_window = window; }
    // What a redraw does: every view updates from the document.
    void SetRedraw(std::function<void()> redraw) { m_redraw = std::move(redraw); }

    void ShowMessage(const std::string& text, MessageIcon icon) override;
    void AskYesNo(const void* asker, const std::string& text, YesNoAnswer answered) override;
    void ChooseSaveFile(const void* asker, const std::string& startFolder,
                        const std::string& proposedName, PathAnswer chosen) override;
    void ChooseFolder(const void* asker, const std::string& startFolder,
                      PathAnswer chosen) override;
    void EditOptions(const void* asker, const SettingsValues& values,
                     OptionsAnswer edited) override;
    void Withdraw(const void* asker) override;
    void PostUpdateAllViews() override;

    // The dialog on screen now, if any, and how many wait for their turn behind it.
    QDialog* ShownDialog() const { return m_shown.data(); }
    size_t QueuedDialogs() const { return m_queue.size(); }
    // No dialog is shown or waits, and no answer is on its way to the engine.
    bool Idle() const { return !m_shown && m_queue.empty() && m_answers.empty(); }

private:
    // Reads the answer from a dialog that has closed with `result`; what it returns hands the
    // answer to the engine (nothing for a message).
    using Reader = std::function<std::function<void()>(QDialog& dialog, int result)>;
    struct Question {
        const void* asker = nullptr;  // none for a message
        std::function<QDialog*(QWidget* window)> make;
        Reader read;
    };
    struct Answer {
        uint64_t id = 0;
        const void* asker = nullptr;
        std::function<void()> deliver;
    };

    void Enqueue(Question question);
    void ShowNextSoon();
    void ShowNext();
    void OnFinished(QDialog* dialog, int result);
    void Deliver(uint64_t id);
    void Schedule();
    void Redraw();

    QPointer<QWidget> m_window;
    std::deque<Question> m_queue;
    QPointer<QDialog> m_shown;
    Question m_shownQuestion;
    bool m_showScheduled = false;
    std::list<Answer> m_answers;  // read from their dialogs, on their way to the engine
    uint64_t m_nextAnswer = 1;

    std::function<void()> m_redraw;
    Clock& m_clock;
    Timer m_redrawTimer;
    std::optional<Time> m_lastRedraw;
    bool m_pending = false;
};

}  // namespace velbrook
