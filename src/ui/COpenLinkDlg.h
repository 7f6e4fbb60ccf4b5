// File → "打开链接...": one line for a magnet link, filled in from the clipboard when it holds
// one, so that a link copied in a browser is a click away.
#pragma once

#include <QDialog>

class QDialogButtonBox;
class QLineEdit;

namespace velbrook {

class COpenLinkDlg : public QDialog {
    Q_OBJECT
public:
    explicit COpenLinkDlg(QWidget* parent = nullptr);

    // The link as typed, without the blanks around it.
    QString Link() const;
    QLineEdit* Field() const { return m_field; }

private:
    void UpdateOk();

    QLineEdit* m_field;
    QDialogButtonBox* m_buttons;
};

}  // namespace velbrook
