// The options dialog "Options": the connection, download and log pages over one set of values.
#pragma once

#include <QDialog>

#include <array>
#include <optional>
#include <string>

#include "persist/Settings.h"

class QFileDialog;
class QTabWidget;

namespace velbrook {

class COptionsPage;

class COptionsSheet : public QDialog {
    Q_OBJECT
public:
    explicit COptionsSheet(const SettingsValues& values, QWidget* parent = nullptr);

    // The values as shown at first, and after a successful OK as edited.
    const SettingsValues& Values() const { return m_values; }
    // Stores nothing until every field of every page can be stored; the first field that cannot
    // is shown with its page, explained and focused, and the sheet stays open.
    void accept() override;

private:
    SettingsValues m_values;
    QTabWidget* m_tabs;
    std::array<COptionsPage*, 3> m_pages;
};

// A folder picker that starts at `start`, not yet shown.
QFileDialog* MakeFolderPicker(QWidget* parent, const std::string& start);
// The folder chosen in a picker the person accepted; nothing when the choice is not a folder on
// the local file system.
std::optional<std::string> ChosenFolder(const QFileDialog& picker);

}  // namespace velbrook
