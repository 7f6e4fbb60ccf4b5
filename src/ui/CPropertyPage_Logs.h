// Options page "日志": whether peer communication is recorded, and how much of it per peer.
#pragma once

#include "ui/COptionsPage.h"

namespace velbrook {

class CPropertyPage_Logs : public COptionsPage {
    Q_OBJECT
public:
    explicit CPropertyPage_Logs(QWidget* parent = nullptr);
};

}  // namespace velbrook
