// The About box: the program's name and version and where to get the latest one.
#pragma once

#include <QDialog>

namespace velbrook {

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);

    static constexpr const char* kHomePage = "https://velbrook.example.org/";
};

// Shows the About box modally.
void ShowAboutBox(QWidget* parent);

}  // namespace velbrook
