// Options page "连接": rate limits per torrent, the connection type, the listening port and the
// SOCKS5 proxy.
#pragma once

#include "ui/COptionsPage.h"

class QButtonGroup;
class QComboBox;

namespace velbrook {

class CPropertyPage_Connection : public COptionsPage {
    Q_OBJECT
public:
    explicit CPropertyPage_Connection(QWidget* parent = nullptr);

    // Besides the values, the address list offers the host's own IPv4 address and selects it.
    void Load(const SettingsValues& values) override;
    void Store(SettingsValues& values) const override;

private:
    QButtonGroup* m_connectionType;
    QComboBox* m_reportIp;
};

}  // namespace velbrook
