// Options page "下载": how files are prepared and kept, the default folder, upload limits.
#pragma once

#include "ui/COptionsPage.h"

namespace velbrook {

class CPropertyPage_Download : public COptionsPage {
    Q_OBJECT
public:
    explicit CPropertyPage_Download(QWidget* parent = nullptr);
};

}  // namespace velbrook
