#include "ui/CAboutDlg.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

#include "ui/AppIcon.h"
#include "ui/CHyperLink.h"

namespace velbrook {

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("关于 Velbrook"));
    auto* icon = new QLabel(this);
    icon->setPixmap(AppIcon().pixmap(32, 32));
    auto* version = new QLabel(QStringLiteral("Velbrook 0.33 beta版"), this);
    auto* download = new QHBoxLayout;
    download->setSpacing(0);
    download->addWidget(new QLabel(QStringLiteral("下载最新版本: "), this));
    download->addWidget(new CHyperLink(QString::fromLatin1(kHomePage), this));
    download->addStretch();
    auto* ok = new QPushButton(QStringLiteral("确定"), this);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* grid = new QGridLayout(this);
    grid->addWidget(icon, 0, 0, 2, 1, Qt::AlignTop);
    grid->addWidget(version, 0, 1);
    grid->addLayout(download, 1, 1);
    grid->addWidget(ok, 0, 2, Qt::AlignTop);
    grid->setSizeConstraint(QLayout::SetFixedSize);
}

void ShowAboutBox(QWidget* parent) {
    CAboutDlg about(parent);
    about.exec();
}

}  // namespace velbrook
