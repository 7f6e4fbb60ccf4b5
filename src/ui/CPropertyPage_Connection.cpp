#include "ui/CPropertyPage_Connection.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QVBoxLayout>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "ui/CIntegerEdit.h"

namespace velbrook {

namespace {

// The first IPv4 address of the host's own name, dotted; empty when the name does not resolve.
std::string HostIPv4Address() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) {
        return {};
    }
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, &::freeaddrinfo);
    char text[INET_ADDRSTRLEN] = {};
    const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) == nullptr) {
        return {};
    }
    return text;
}

}  // namespace

CPropertyPage_Connection::CPropertyPage_Connection(QWidget* parent)
    : COptionsPage(parent), m_connectionType(new QButtonGroup(this)),
      m_reportIp(new QComboBox(this)) {
    auto* rates = new QGroupBox(QStringLiteral("连接速率"), this);
    auto* rateGrid = new QGridLayout(rates);
    AddIntegerRow(*rateGrid, 0, QStringLiteral("最大下载速率（每Torrent）："), MaxDownloadSpeed,
                  QStringLiteral("kB/s，0表示不限速"));
    AddIntegerRow(*rateGrid, 1, QStringLiteral("最大上传速率（每Torrent）："), MaxUploadSpeed,
                  QStringLiteral("kB/s"));
    AddIntegerRow(*rateGrid, 2, QStringLiteral("最多连接客户端（每Torrent）："), MaxConnectedPeers,
                  QStringLiteral("个"));

    auto* type = new QGroupBox(QStringLiteral("连接类型"), this);
    auto* typeGrid = new QGridLayout(type);
    const QString radios[] = {QStringLiteral("监听端口"), QStringLiteral("防火墙内（不监听端口）"),
                              QStringLiteral("Socks5代理")};
    for (int id = 0; id < 3; ++id) {
        auto* radio = new QRadioButton(radios[id], type);
        m_connectionType->addButton(radio, id);
    }
    m_reportIp->setObjectName(SettingsKeyName(ReportIP));
    m_reportIp->setEditable(false);

    typeGrid->addWidget(m_connectionType->button(0), 0, 0, 1, 5);
    typeGrid->addWidget(new QLabel(QStringLiteral("IP:"), type), 1, 1);
    typeGrid->addWidget(m_reportIp, 1, 2);
    typeGrid->addWidget(new QLabel(QStringLiteral("内网IP，一般默认就行了"), type), 1, 3, 1, 2);
    typeGrid->addWidget(new QLabel(QStringLiteral("端口:"), type), 2, 1);
    typeGrid->addWidget(AddInteger(SettingsKey::ListenPort), 2, 2);
    typeGrid->addWidget(new QLabel(QStringLiteral("填0表示随机端口"), type), 2, 3, 1, 2);
    typeGrid->addWidget(m_connectionType->button(1), 3, 0, 1, 5);
    typeGrid->addWidget(m_connectionType->button(2), 4, 0, 1, 5);
    typeGrid->addWidget(new QLabel(QStringLiteral("代理IP:"), type), 5, 1);
    typeGrid->addWidget(AddText(SocksServer), 5, 2);
    typeGrid->addWidget(new QLabel(QStringLiteral("端口:"), type), 5, 3);
    typeGrid->addWidget(AddInteger(SocksPort), 5, 4);
    typeGrid->addWidget(new QLabel(QStringLiteral("用户名:"), type), 6, 1);
    typeGrid->addWidget(AddText(Socks5UserName), 6, 2);
    typeGrid->addWidget(new QLabel(QStringLiteral("密码:"), type), 6, 3);
    QLineEdit* password = AddText(Socks5Password);
    password->setEchoMode(QLineEdit::Password);
    typeGrid->addWidget(password, 6, 4);
    typeGrid->setColumnMinimumWidth(0, 16);

    auto* dht = new QGroupBox(QStringLiteral("DHT网络"), this);
    auto* dhtGrid = new QGridLayout(dht);
    dhtGrid->addWidget(
        AddCheck(DhtEnabled, QStringLiteral("加入DHT网络（没有Tracker时也能找到用户）")), 0, 0, 1,
        2);
    dhtGrid->addWidget(new QLabel(QStringLiteral("路由节点:"), dht), 1, 0);
    dhtGrid->addWidget(AddText(DhtRouters), 1, 1);

    auto* page = new QVBoxLayout(this);
    page->addWidget(rates);
    page->addWidget(type);
    page->addWidget(dht);
    page->addStretch();
}

void CPropertyPage_Connection::Load(const SettingsValues& values) {
    COptionsPage::Load(values);
    if (QAbstractButton* chosen = m_connectionType->button(values.number[ConnectionType])) {
        chosen->setChecked(true);
    }
    // Whatever address was stored, the person picks from the one the host has now.
    m_reportIp->clear();
    m_reportIp->addItem(QString::fromStdString(HostIPv4Address()));
    m_reportIp->setCurrentIndex(0);
}

void CPropertyPage_Connection::Store(SettingsValues& values) const {
    COptionsPage::Store(values);
    if (const int chosen = m_connectionType->checkedId(); chosen >= 0) {
        values.number[ConnectionType] = chosen;
    }
    values.text[ReportIP] = m_reportIp->currentText().toStdString();
}

}  // namespace velbrook
