// Driving modal dialogs from a test: exec() blocks until the dialog closes, so whatever answers
// it has to be queued before and run from inside its event loop.
#pragma once

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QObject>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>
#include <ostream>
#include <string>
#include <utility>

#include <gtest/gtest.h>

// Readable failure messages.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace velbrook::test {

// Runs `act` once on the first modal dialog of type Dialog to open while this object lives. A
// dialog that never opens is a failure after some seconds, and whatever modal dialog is open
// then is closed, so that the test ends instead of hanging; so is one a failed check left open.
template <class Dialog>
class OnModal : public QObject {
public:
    explicit OnModal(std::function<void(Dialog*)> act) : m_act(std::move(act)) { Poll(); }

private:
    void Poll() {
        QTimer::singleShot(5, this, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (auto* dialog = qobject_cast<Dialog*>(modal)) {
                m_act(dialog);
                if (::testing::Test::HasFailure() && QApplication::activeModalWidget() == modal) {
                    modal->close();  // a failed assertion left it open: end, do not hang
                }
            } else if (++m_polls < 2000) {
                Poll();
            } else {
                ADD_FAILURE() << "the expected dialog did not open";
                if (modal != nullptr) {
                    modal->close();
                }
            }
        });
    }

    std::function<void(Dialog*)> m_act;
    int m_polls = 0;
};

// The text of the message box that `action` opens (closed with its default answer); empty when
// none opens while `action` runs.
inline QString MessageFrom(const std::function<void()>& action) {
    QString text;
    const OnModal<QMessageBox> answer([&](QMessageBox* box) {
        text = box->text();
        box->accept();
    });
    action();
    return text;
}

// Clicks a standard button of the dialog's button box.
inline void ClickButton(QWidget* dialog, QDialogButtonBox::StandardButton which) {
    auto* buttons = dialog->findChild<QDialogButtonBox*>();
    ASSERT_NE(buttons, nullptr);
    QTest::mouseClick(buttons->button(which), Qt::LeftButton);
}

// Types `path` into the file dialog's name field, as a person would (selectFile() leaves a
// focused field alone), and opens it.
inline void TypeFileName(QFileDialog* dialog, const std::string& path) {
    auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    name->setText(QString::fromStdString(path));
    ClickButton(dialog, QDialogButtonBox::Open);
}

}  // namespace velbrook::test
