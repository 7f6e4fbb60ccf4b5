#include "ui/QtUiHost.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QTimer>

#include <algorithm>
#include <utility>

#include "persist/PrintableText.h"
#include "ui/COptionsSheet.h"

namespace velbrook {

namespace {

QString Text(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

// A message may quote a tracker, a peer or a file: its control characters are not shown.
QString MessageText(const std::string& text) {
    return Text(PrintableLines(text));
}

QString InFolder(const std::string& folder, const std::string& name) {
    if (folder.empty()) {
        return Text(name);
    }
    return Text(folder.back() == '/' ? folder + name : folder + "/" + name);
}

QMessageBox::Icon BoxIcon(MessageIcon icon) {
    switch (icon) {
    case MessageIcon::Information:
        break;
    case MessageIcon::Warning:
        return QMessageBox::Warning;
    case MessageIcon::Error:
        return QMessageBox::Critical;
    case MessageIcon::Question:
        return QMessageBox::Question;
    }
    return QMessageBox::Information;
}

// A path the person chose in a file dialog, or nothing when they cancelled.
std::optional<std::string> ChosenFile(const QFileDialog& dialog, int result) {
    const QStringList files = dialog.selectedFiles();
    if (result != QDialog::Accepted || files.isEmpty() || files.front().isEmpty()) {
        return std::nullopt;
    }
    return files.front().toStdString();
}

}  // namespace

QtUiHost::QtUiHost(Clock& clock, QObject* parent) : QObject(parent), m_clock(clock) {}

QtUiHost::~QtUiHost() {
    delete m_shown.data();
}

void QtUiHost::ShowMessage(const std::string& text, MessageIcon icon) {
    Enqueue({nullptr,
             [text, icon](QWidget* window) {
                 return new QMessageBox(BoxIcon(icon), "Velbrook", MessageText(text),
                                        QMessageBox::Ok, window);
             },
             nullptr});
}

void QtUiHost::AskYesNo(const void* asker, const std::string& text, YesNoAnswer answered) {
    Enqueue({asker,
             [text](QWidget* window) {
                 return new QMessageBox(QMessageBox::Question, "Velbrook", MessageText(text),
                                        QMessageBox::Yes | QMessageBox::No, window);
             },
             [answered = std::move(answered)](QDialog& dialog, int) -> std::function<void()> {
                 // Escape and the window's close button count as No.
                 const auto& box = static_cast<const QMessageBox&>(dialog);
                 const bool yes = box.clickedButton() != nullptr &&
                                  box.clickedButton() == box.button(QMessageBox::Yes);
                 return [answered, yes] { answered(yes); };
             }});
}

void QtUiHost::ChooseSaveFile(const void* asker, const std::string& startFolder,
                              const std::string& proposedName, PathAnswer chosen) {
    Enqueue({asker,
             [path = InFolder(startFolder, proposedName)](QWidget* window) {
                 auto* dialog = new QFileDialog(window, QString(), path);
                 dialog->setAcceptMode(QFileDialog::AcceptSave);
                 // The engine asks itself before it writes over a file that is there.
                 dialog->setOption(QFileDialog::DontConfirmOverwrite);
                 return dialog;
             },
             [chosen = std::move(chosen)](QDialog& dialog, int result) -> std::function<void()> {
                 return [chosen, path = ChosenFile(static_cast<QFileDialog&>(dialog), result)] {
                     chosen(path);
                 };
             }});
}

void QtUiHost::ChooseFolder(const void* asker, const std::string& startFolder, PathAnswer chosen) {
    Enqueue({asker,
             [startFolder](QWidget* window) { return MakeFolderPicker(window, startFolder); },
             [chosen = std::move(chosen)](QDialog& dialog, int result) -> std::function<void()> {
                 std::optional<std::string> folder;
                 if (result == QDialog::Accepted) {
                     folder = ChosenFolder(static_cast<QFileDialog&>(dialog));
                 }
                 return [chosen, folder] { chosen(folder); };
             }});
}

void QtUiHost::EditOptions(const void* asker, const SettingsValues& values, OptionsAnswer edited) {
    Enqueue({asker, [values](QWidget* window) { return new COptionsSheet(values, window); },
             [edited = std::move(edited)](QDialog& dialog, int result) -> std::function<void()> {
                 std::optional<SettingsValues> chosen;
                 if (result == QDialog::Accepted) {
                     chosen = static_cast<COptionsSheet&>(dialog).Values();
                 }
                 return [edited, chosen] { edited(chosen); };
             }});
}

void QtUiHost::Enqueue(Question question) {
    m_queue.push_back(std::move(question));
    ShowNextSoon();
}

// Never now: the asker is an engine handler (or runs inside one), and a dialog opened there
// would take the person's input in the middle of it.
void QtUiHost::ShowNextSoon() {
    if (m_shown || m_showScheduled || m_queue.empty()) {
        return;
    }
    m_showScheduled = true;
    QTimer::singleShot(0, this, [this] {
        m_showScheduled = false;
        ShowNext();
    });
}

void QtUiHost::ShowNext() {
    if (m_shown || m_queue.empty()) {
        return;
    }
    m_shownQuestion = std::move(m_queue.front());
    m_queue.pop_front();
    QDialog* dialog = m_shownQuestion.make(m_window);
    m_shown = dialog;
    connect(dialog, &QDialog::finished, this,
            [this, dialog](int result) { OnFinished(dialog, result); });
    dialog->open();
}

void QtUiHost::OnFinished(QDialog* dialog, int result) {
    if (dialog != m_shown) {
        return;
    }
    m_shown = nullptr;
    const Question question = std::exchange(m_shownQuestion, {});
    if (question.read) {
        // Handed over on a later turn of Qt's loop, with no dialog's handler under it.
        const uint64_t id = m_nextAnswer++;
        m_answers.push_back({id, question.asker, question.read(*dialog, result)});
        QTimer::singleShot(0, this, [this, id] { Deliver(id); });
    }
    dialog->deleteLater();
    ShowNextSoon();
}

void QtUiHost::Deliver(uint64_t id) {
    const auto it = std::find_if(m_answers.begin(), m_answers.end(),
                                 [id](const Answer& answer) { return answer.id == id; });
    if (it == m_answers.end()) {
        return;  // withdrawn on its way
    }
    const std::function<void()> deliver = std::move(it->deliver);
    m_answers.erase(it);
    if (deliver) {
        deliver();
    }
}

void QtUiHost::Withdraw(const void* asker) {
    if (asker == nullptr) {
        return;  // messages belong to nobody and are never withdrawn
    }
    std::erase_if(m_queue, [asker](const Question& question) { return question.asker == asker; });
    std::erase_if(m_answers, [asker](const Answer& answer) { return answer.asker == asker; });
    if (m_shown && m_shownQuestion.asker == asker) {
        QDialog* dialog = m_shown;
        m_shown = nullptr;
        m_shownQuestion = {};
        disconnect(dialog, nullptr, this, nullptr);
        dialog->hide();
        dialog->deleteLater();
        ShowNextSoon();
    }
}

void QtUiHost::PostUpdateAllViews() {
    if (m_pending) {
        return;
    }
    m_pending = true;
    Schedule();
}

void QtUiHost::Schedule() {
    if (m_redrawTimer.IsActive()) {
        return;
    }
    // Never from inside whoever posted: the views read the engine once its handler is done.
    const Duration since = m_lastRedraw ? m_clock.Now() - *m_lastRedraw : kRedrawInterval;
    m_redrawTimer = m_clock.After(kRedrawInterval - since, [this] { Redraw(); });
}

void QtUiHost::Redraw() {
    m_pending = false;
    m_lastRedraw = m_clock.Now();
    if (m_redraw) {
        m_redraw();
    }
}

}  // namespace velbrook
