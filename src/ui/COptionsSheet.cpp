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

QFileDialog* MakeFolderPicker(QWidget* parent, const std::string& start) {
    auto* picker =
        new QFileDialog(parent, QStringLiteral("Current Selection"), QString::fromStdString(start));
    picker->setFileMode(QFileDialog::Directory);
    picker->setOption(QFileDialog::ShowDirsOnly);
    return picker;
}

std::optional<std::string> ChosenFolder(const QFileDialog& picker) {
    const QList<QUrl> urls = picker.selectedUrls();
    if (urls.isEmpty() || !urls.front().isLocalFile()) {
        return std::nullopt;
    }
    std::string chosen = urls.front().toLocalFile().toStdString();
    if (chosen.empty()) {
        return std::nullopt;
    }
    return chosen;
}

}  // namespace velbrook
