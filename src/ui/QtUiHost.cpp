#include "ui/QtUiHost.h"

#include <QFileDialog>
#include <QMessageBox>

#include <algorithm>

#include "ui/COptionsSheet.h"
#include "ui/EngineLoop.h"

namespace velbrook {

namespace {

QString Text(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

QString InFolder(const std::string& folder, const std::string& name) {
    if (folder.empty()) {
        return Text(name);
    }
    return Text(folder.back() == '/' ? folder + name : folder + "/" + name);
}

}  // namespace

QtUiHost::QtUiHost(EngineLoop& loop, QObject* parent) : QObject(parent), m_loop(loop) {
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] { Redraw(); });
}

QtUiHost::DialogScope::DialogScope(QtUiHost& host) : m_host(host) {
    m_host.m_loop.Pause();
}

QtUiHost::DialogScope::~DialogScope() {
    m_host.m_loop.Resume();
    if (m_host.m_pending) {
        m_host.Schedule();
    }
}

MessageAnswer QtUiHost::ShowMessage(const std::string& text, MessageIcon icon,
                                    MessageButtons buttons) {
    QMessageBox::Icon shown = QMessageBox::Information;
    switch (icon) {
    case MessageIcon::Information:
        break;
    case MessageIcon::Warning:
        shown = QMessageBox::Warning;
        break;
    case MessageIcon::Error:
        shown = QMessageBox::Critical;
        break;
    case MessageIcon::Question:
        shown = QMessageBox::Question;
        break;
    }
    const bool yesNo = buttons == MessageButtons::YesNo;
    QMessageBox box(shown, "Velbrook", Text(text),
                    yesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, m_window);
    const DialogScope scope(*this);
    const int answer = box.exec();
    if (!yesNo) {
        return MessageAnswer::Ok;
    }
    return answer == QMessageBox::Yes ? MessageAnswer::Yes : MessageAnswer::No;
}

bool QtUiHost::ChooseSaveFile(const std::string& startFolder, const std::string& proposedName,
                              std::string& chosenPath) {
    const DialogScope scope(*this);
    // The engine asks itself before it writes over a file that is there.
    const QString path =
        QFileDialog::getSaveFileName(m_window, QString(), InFolder(startFolder, proposedName),
                                     QString(), nullptr, QFileDialog::DontConfirmOverwrite);
    chosenPath = path.toStdString();
    return !path.isEmpty();
}

bool QtUiHost::ChooseFolder(const std::string& startFolder, std::string& chosenFolder) {
    const DialogScope scope(*this);
    return ChooseFolderDialog(m_window, startFolder, chosenFolder);
}

bool QtUiHost::EditOptions(SettingsValues& values) {
    const DialogScope scope(*this);
    return RunOptionsDialog(m_window, values);
}

void QtUiHost::PostUpdateAllViews() {
    if (m_pending) {
        return;
    }
    m_pending = true;
    Schedule();
}

void QtUiHost::Schedule() {
    if (m_timer.isActive() || m_loop.Paused()) {
        return;  // a dialog's end schedules what waited for it
    }
    const qint64 since = m_sinceRedraw.isValid() ? m_sinceRedraw.elapsed() : kRedrawIntervalMs;
    m_timer.start(static_cast<int>(std::max<qint64>(kRedrawIntervalMs - since, 0)));
}

void QtUiHost::Redraw() {
    if (m_loop.Paused()) {
        return;
    }
    m_pending = false;
    m_sinceRedraw.start();
    if (m_redraw) {
        m_redraw();
    }
}

}  // namespace velbrook
