#include "ui/COptionsSheet.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QMessageBox>
#include <QTabWidget>
#include <QUrl>
#include <QVBoxLayout>

#include "ui/CIntegerEdit.h"
#include "ui/CPropertyPage_Connection.h"
#include "ui/CPropertyPage_Download.h"
#include "ui/CPropertyPage_Logs.h"

namespace velbrook {

COptionsSheet::COptionsSheet(const SettingsValues& values, QWidget* parent)
    : QDialog(parent), m_values(values),
      m_tabs(new QTabWidget(this)), m_pages{new CPropertyPage_Connection,
                                            new CPropertyPage_Download, new CPropertyPage_Logs} {
    setWindowTitle(QStringLiteral("Options"));
    m_tabs->addTab(m_pages[0], QStringLiteral("连接"));
    m_tabs->addTab(m_pages[1], QStringLiteral("下载"));
    m_tabs->addTab(m_pages[2], QStringLiteral("日志"));
    for (COptionsPage* page : m_pages) {
        page->Load(m_values);
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &COptionsSheet::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &COptionsSheet::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_tabs);
    layout->addWidget(buttons);
}

void COptionsSheet::accept() {
    for (COptionsPage* page : m_pages) {
        if (CIntegerEdit* field = page->FirstInvalidField()) {
            m_tabs->setCurrentWidget(page);
            QMessageBox::warning(this, QStringLiteral("Velbrook"), field->Problem());
            field->setFocus(Qt::OtherFocusReason);
            field->selectAll();
            return;
        }
    }
    for (COptionsPage* page : m_pages) {
        page->Store(m_values);
    }
    QDialog::accept();
}

bool RunOptionsDialog(QWidget* parent, SettingsValues& values) {
    COptionsSheet sheet(values, parent);
    if (sheet.exec() != QDialog::Accepted) {
        return false;
    }
    values = sheet.Values();
    return true;
}

bool ChooseFolderDialog(QWidget* parent, const std::string& start, std::string& chosen) {
    QFileDialog dialog(parent, QStringLiteral("Current Selection"), QString::fromStdString(start));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    if (dialog.exec() != QDialog::Accepted) {
        return false;
    }
    const QList<QUrl> urls = dialog.selectedUrls();
    if (urls.isEmpty() || !urls.front().isLocalFile()) {
        return false;
    }
    chosen = urls.front().toLocalFile().toStdString();
    return !chosen.empty();
}

}  // namespace velbrook
