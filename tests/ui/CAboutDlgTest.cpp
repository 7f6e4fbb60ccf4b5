#include "ui/CAboutDlg.h"

#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

#include "support/ModalDialogs.h"
#include "ui/CHyperLink.h"

namespace velbrook {
namespace {

// Takes the addresses the program asks the desktop to open, instead of a browser.
class Browser : public QObject {
    Q_OBJECT
public:
    QList<QUrl> m_opened;
public slots:
    void Open(const QUrl& url) { m_opened.push_back(url); }
};

TEST(AboutBox, ShowsNameVersionAndAWorkingLink) {
    Browser browser;
    QDesktopServices::setUrlHandler("https", &browser, "Open");
    const test::OnModal<CAboutDlg> reader([](CAboutDlg* about) {
        EXPECT_EQ(about->windowTitle(), "关于 Velbrook");
        QStringList texts;
        for (const QLabel* label : about->findChildren<QLabel*>()) {
            texts << (label->pixmap().isNull() ? label->text() : "(icon)");
        }
        auto* link = about->findChild<CHyperLink*>();
        EXPECT_EQ(texts, QStringList({"(icon)", "Velbrook 0.33 beta版",
                                      "下载最新版本: ", CAboutDlg::kHomePage}));
        EXPECT_EQ(link->toolTip(), CAboutDlg::kHomePage);
        EXPECT_TRUE(link->font().underline());
        EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);
        QTest::mouseClick(link, Qt::LeftButton);
        auto* ok = about->findChild<QPushButton*>();
        EXPECT_EQ(ok->text(), "确定");
        QTest::mouseClick(ok, Qt::LeftButton);
    });
    ShowAboutBox(nullptr);
    QDesktopServices::unsetUrlHandler("https");
    EXPECT_EQ(browser.m_opened, QList<QUrl>{QUrl(CAboutDlg::kHomePage)});
}

}  // namespace
}  // namespace velbrook

#include "CAboutDlgTest.moc"
