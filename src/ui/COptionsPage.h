// What the options pages share: controls tied to settings keys, filled from and stored into a
// SettingsValues, and the integer fields checked before anything is stored.
#pragma once

#include <QWidget>

#include <cstdint>
#include <utility>
#include <vector>

#include "persist/Settings.h"

class QCheckBox;
class QGridLayout;
class QLineEdit;

namespace velbrook {

class CIntegerEdit;

class COptionsPage : public QWidget {
    Q_OBJECT
public:
    explicit COptionsPage(QWidget* parent = nullptr);

    virtual void Load(const SettingsValues& values);
    // The first integer field, in the page's order, whose text cannot be stored; null when all can.
    CIntegerEdit* FirstInvalidField() const;
    // Only when FirstInvalidField() is null.
    virtual void Store(SettingsValues& values) const;

protected:
    // Each control is named after its key, so that it can be found by the setting it edits. An
    // integer field takes the values the settings file takes for its key.
    CIntegerEdit* AddInteger(int key);
    QLineEdit* AddText(int key);
    QCheckBox* AddCheck(int key, const QString& label);
    // A row of `grid`: the label, the integer field of `key` and its unit.
    void AddIntegerRow(QGridLayout& grid, int row, const QString& label, int key,
                       const QString& unit);

private:
    std::vector<std::pair<int, CIntegerEdit*>> m_integers;
    std::vector<std::pair<int, QLineEdit*>> m_texts;
    std::vector<std::pair<int, QCheckBox*>> m_checks;
};

}  // namespace velbrook
