#include "ui/COpenLinkDlg.h"

#include <QClipboard>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "metainfo/MagnetLink.h"

namespace velbrook {

COpenLinkDlg::COpenLinkDlg(QWidget* parent)
    : QDialog(parent), m_field(new QLineEdit(this)),
      m_buttons(new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this)) {
    setWindowTitle("打开链接");
    auto* layout = new QVBoxLayout(this);
    auto* label = new QLabel("磁力链接(&L):", this);
    label->setBuddy(m_field);
    layout->addWidget(label);
    m_field->setPlaceholderText("magnet:?xt=urn:btih:...");
    m_field->setMinimumWidth(480);
    layout->addWidget(m_field);
    layout->addWidget(m_buttons);
    connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_field, &QLineEdit::textChanged, this, &COpenLinkDlg::UpdateOk);

    const QString copied = QGuiApplication::clipboard()->text().trimmed();
    if (IsMagnetLink(copied.toStdString())) {
        m_field->setText(copied);
        m_field->selectAll();
    }
    UpdateOk();
}

QString COpenLinkDlg::Link() const {
    return m_field->text().trimmed();
}

// Anything but a magnet link is for File → "打开Torrent"; what is wrong with a link that looks
// like one the engine says once it is given.
void COpenLinkDlg::UpdateOk() {
    m_buttons->button(QDialogButtonBox::Ok)->setEnabled(IsMagnetLink(Link().toStdString()));
}

}  // namespace velbrook
