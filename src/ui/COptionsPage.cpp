#include "ui/COptionsPage.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>

#include "ui/CIntegerEdit.h"

namespace velbrook {

COptionsPage::COptionsPage(QWidget* parent) : QWidget(parent) {}

void COptionsPage::Load(const SettingsValues& values) {
    for (const auto& [key, edit] : m_integers) {
        edit->SetValue(values.number[key]);
    }
    for (const auto& [key, edit] : m_texts) {
        edit->setText(QString::fromStdString(values.text[key]));
    }
    for (const auto& [key, check] : m_checks) {
        check->setChecked(values.number[key] != 0);
    }
}

CIntegerEdit* COptionsPage::FirstInvalidField() const {
    for (const auto& [key, edit] : m_integers) {
        if (!edit->Problem().isEmpty()) {
            return edit;
        }
    }
    return nullptr;
}

void COptionsPage::Store(SettingsValues& values) const {
    for (const auto& [key, edit] : m_integers) {
        values.number[key] = edit->Value();
    }
    for (const auto& [key, edit] : m_texts) {
        values.text[key] = edit->text().toStdString();
    }
    for (const auto& [key, check] : m_checks) {
        values.number[key] = check->isChecked() ? 1 : 0;
    }
}

CIntegerEdit* COptionsPage::AddInteger(int key) {
    const SettingsRange range = SettingsKeyRange(key);
    auto* edit = new CIntegerEdit(range.min, range.max, this);
    edit->setObjectName(SettingsKeyName(key));
    m_integers.emplace_back(key, edit);
    return edit;
}

void COptionsPage::AddIntegerRow(QGridLayout& grid, int row, const QString& label, int key,
                                 const QString& unit) {
    grid.addWidget(new QLabel(label, this), row, 0);
    grid.addWidget(AddInteger(key), row, 1);
    grid.addWidget(new QLabel(unit, this), row, 2);
}

QLineEdit* COptionsPage::AddText(int key) {
    auto* edit = new QLineEdit(this);
    edit->setObjectName(SettingsKeyName(key));
    m_texts.emplace_back(key, edit);
    return edit;
}

QCheckBox* COptionsPage::AddCheck(int key, const QString& label) {
    auto* check = new QCheckBox(label, this);
    check->setObjectName(SettingsKeyName(key));
    m_checks.emplace_back(key, check);
    return check;
}

}  // namespace velbrook
