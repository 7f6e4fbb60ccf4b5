#include "ui/CPropertyPage_Logs.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "ui/CIntegerEdit.h"

namespace velbrook {

CPropertyPage_Logs::CPropertyPage_Logs(QWidget* parent) : COptionsPage(parent) {
    auto* log = new QGroupBox(QStringLiteral("日志"), this);
    auto* row = new QHBoxLayout(log);
    row->addWidget(AddCheck(LogPeerComm, QStringLiteral("记录Peer通讯详细情况，每个Peer最多")));
    row->addWidget(AddInteger(LogPeerCommLines));
    row->addWidget(new QLabel(QStringLiteral("行"), log));
    row->addStretch();

    auto* page = new QVBoxLayout(this);
    page->addWidget(log);
    page->addStretch();
}

}  // namespace velbrook
