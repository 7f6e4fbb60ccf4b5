#include "ui/COptionsSheet.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QRadioButton>
#include <QTabWidget>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

#include "engine/CVelbrookDoc.h"
#include "net/Reactor.h"
#include "support/ManualClock.h"
#include "support/ModalDialogs.h"
#include "support/QtPump.h"
#include "support/TempDir.h"
#include "ui/CIntegerEdit.h"
#include "ui/QtUiHost.h"

namespace velbrook {
namespace {

using test::ClickButton;
using test::MessageFrom;
using test::OnModal;

template <class Widget = CIntegerEdit>
Widget* Field(QWidget* sheet, int key) {
    auto* field = sheet->findChild<Widget*>(SettingsKeyName(key));
    EXPECT_NE(field, nullptr) << SettingsKeyName(key);
    return field;
}

QRadioButton* Radio(QWidget* sheet, const QString& label) {
    for (QRadioButton* radio : sheet->findChildren<QRadioButton*>()) {
        if (radio->text() == label) {
            return radio;
        }
    }
    return nullptr;
}

int PageOf(QWidget* field) {
    auto* tabs = field->window()->findChild<QTabWidget*>();
    int page = tabs->count() - 1;
    while (page > 0 && !tabs->widget(page)->isAncestorOf(field)) {
        --page;
    }
    return page;
}

// As a person would: open the field's page, select everything, type over it.
void Type(QLineEdit* edit, const QString& text) {
    edit->window()->findChild<QTabWidget*>()->setCurrentIndex(PageOf(edit));
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, text);
}

// On the box or circle: a wide button takes clicks only on its indicator and text.
void Tick(QAbstractButton* button) {
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(6, button->height() / 2));
}

QString PressOk(QWidget* dialog) {
    return MessageFrom([&] { ClickButton(dialog, QDialogButtonBox::Ok); });
}

// Every integer field refuses a value outside the range the settings file takes for its key,
// and non-numbers, with the field's page shown and the field focused; nothing reaches the values
// until all of them pass.
TEST(OptionsSheet, RefusesEachFieldOutsideItsRangeUntilAllPass) {
    const Settings defaults;
    COptionsSheet sheet(defaults.Values());
    sheet.show();
    auto* tabs = sheet.findChild<QTabWidget*>();
    EXPECT_EQ(sheet.windowTitle(), "Options");

    struct Range {
        int key;
        int64_t min, max;
    };
    constexpr int64_t kLargest = 2147483647;
    const Range ranges[] = {
        {MaxDownloadSpeed, 0, kLargest}, {MaxUploadSpeed, 0, kLargest},
        {MaxConnectedPeers, 0, 65535},   {ListenPort, 0, 65535},
        {SocksPort, 0, 65535},           {MaxUpLoadSlots, 0, 65535},
        {UpDownRatio, 0, kLargest},      {MinUploadRate, 0, kLargest},
        {LogPeerCommLines, 0, 100000},
    };
    for (const Range& range : ranges) {
        SCOPED_TRACE(SettingsKeyName(range.key));
        CIntegerEdit* field = Field(&sheet, range.key);
        for (const int wrong : {range.min - 1, range.max + 1}) {
            Type(field, QString::number(wrong));
            tabs->setCurrentIndex((PageOf(field) + 1) % tabs->count());
            EXPECT_EQ(PressOk(&sheet), QStringLiteral("Please enter an integer between %1 and %2.")
                                           .arg(range.min)
                                           .arg(range.max));
            EXPECT_TRUE(sheet.isVisible());
            EXPECT_EQ(tabs->currentIndex(), PageOf(field));
            EXPECT_EQ(sheet.focusWidget(), field);
        }
        Type(field, QString::number(range.max));
    }
    CIntegerEdit* peers = Field(&sheet, MaxConnectedPeers);
    Type(peers, "4O");
    EXPECT_EQ(PressOk(&sheet), "Please enter an integer.");
    Type(peers, "99999999999999999999");
    EXPECT_EQ(PressOk(&sheet), "Please enter an integer between 0 and 65535.");
    EXPECT_EQ(sheet.Values().number[MaxConnectedPeers], 40);

    Type(peers, " 55 ");
    EXPECT_EQ(PressOk(&sheet), "");
    EXPECT_EQ(sheet.result(), QDialog::Accepted);
    for (const Range& range : ranges) {
        EXPECT_EQ(sheet.Values().number[range.key], range.key == MaxConnectedPeers ? 55 : range.max)
            << SettingsKeyName(range.key);
    }
}

// Whatever the settings file holds, the sheet confirms unchanged: values the pages once refused
// (fewer than 10 peers, a ratio under 100 %, a faster limit than 9999 kB/s) came from the file,
// and OK must not be barred until the person changes settings they never touched.
TEST(OptionsSheet, ConfirmsEveryValueTheSettingsFileHolds) {
    test::TempDir profile;
    test::WriteFile(profile / "Velbrook.xml",
                    "<Tarnwick><Settings>"
                    "<MaxConnectedPeers type=\"int\" value=\"5\"/>"
                    "<MaxUpLoadSlots type=\"int\" value=\"0\"/>"
                    "<MaxUploadSpeed type=\"int\" value=\"20000\"/>"
                    "<MaxDownloadSpeed type=\"int\" value=\"2147483647\"/>"
                    "<UpDownRatio type=\"int\" value=\"50\"/>"
                    "<MinUploadRate type=\"int\" value=\"1\"/>"
                    "<LogPeerCommLines type=\"int\" value=\"100000\"/>"
                    "</Settings></Tarnwick>\n");
    Settings settings;
    std::vector<std::string> refused;
    settings.Load(profile / "Velbrook.xml",
                  [&](const std::string& line) { refused.push_back(line); });
    ASSERT_TRUE(refused.empty()) << refused.front();
    COptionsSheet sheet(settings.Values());
    sheet.show();
    EXPECT_EQ(PressOk(&sheet), "");
    EXPECT_EQ(sheet.result(), QDialog::Accepted);
    for (const int key : {MaxConnectedPeers, MaxUpLoadSlots, MaxUploadSpeed, MaxDownloadSpeed,
                          UpDownRatio, MinUploadRate, LogPeerCommLines}) {
        EXPECT_EQ(sheet.Values().number[key], settings.GetInt(key)) << SettingsKeyName(key);
    }
}

// What OK changes in the running program: listening restarts only for a new port or connection
// type; an emptied proxy address falls back to the default; a new download folder is made; the
// address list offers the host's own address, whatever address was stored.
TEST(OptionsSheet, TheDocumentAppliesTheSheetAndRelistensOnlyWhenItMust) {
    Reactor reactor;
    test::TempDir profile;
    test::WriteAnyPortSettings(profile, "<SocksServer type=\"string\" value=\"proxy.example\"/>");
    QtUiHost ui(reactor);  // the person answers with the real sheet
    CVelbrookDoc doc(profile.Dir(), ui, reactor);
    ASSERT_TRUE(doc.StartListening());
    const uint16_t port = doc.ListenPort();
    const std::string id = doc.OwnPeerId();
    const Settings& settings = doc.CurrentSettings();

    char name[256] = {};
    ASSERT_EQ(::gethostname(name, sizeof name - 1), 0);
    const hostent* host = ::gethostbyname(name);
    const QString hostAddress =
        host ? ::inet_ntoa(*reinterpret_cast<const in_addr*>(host->h_addr_list[0])) : "";
    Settings stored = settings;
    stored.SetString(ReportIP, "10.9.8.7");
    doc.ApplySettings(stored);

    const std::string folder = profile / "elsewhere";
    const auto edit = [&](const std::function<void(QWidget*)>& change) {
        bool done = false;
        const OnModal<COptionsSheet> person([&](COptionsSheet* sheet) {
            change(sheet);
            ClickButton(sheet, QDialogButtonBox::Ok);
            done = true;
        });
        doc.OnOptions();
        doc.OnOptions();  // already open: not a second sheet
        EXPECT_TRUE(test::PumpUntil([&] { return done && ui.Idle(); }));
    };
    edit([&](QWidget* sheet) {
        auto* list = Field<QComboBox>(sheet, ReportIP);
        EXPECT_EQ(list->count(), 1);
        EXPECT_EQ(list->currentText(), hostAddress);
        EXPECT_EQ(Field<QLineEdit>(sheet, SocksServer)->text(), "proxy.example");
        Type(Field(sheet, SocksPort), "1081");
        Tick(Field<QCheckBox>(sheet, FastResume));
        Type(Field<QLineEdit>(sheet, SocksServer), "");
        Type(Field<QLineEdit>(sheet, DefaultDownloadPath), QString::fromStdString(folder));
        Type(Field<QLineEdit>(sheet, WatchFolder), QString::fromStdString(folder));
    });
    EXPECT_EQ(doc.OwnPeerId(), id);
    EXPECT_EQ(doc.ListenPort(), port);
    EXPECT_EQ(settings.GetString(ReportIP), hostAddress.toStdString());
    EXPECT_EQ(settings.GetInt(SocksPort), 1081);
    EXPECT_EQ(settings.GetInt(FastResume), 0);
    EXPECT_FALSE(settings.IsSet(SocksServer));
    EXPECT_EQ(settings.GetString(SocksServer), "");
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_EQ(settings.GetString(WatchFolder), folder);
    EXPECT_NE(
        test::ReadFile(profile / "Velbrook.xml").find("<SocksPort type=\"int\" value=\"1081\""),
        std::string::npos);

    edit([](QWidget* sheet) {
        EXPECT_TRUE(Radio(sheet, "监听端口")->isChecked());
        Tick(Radio(sheet, "防火墙内（不监听端口）"));
    });
    EXPECT_EQ(settings.GetInt(ConnectionType), 1);
    EXPECT_NE(doc.OwnPeerId(), id);
    EXPECT_FALSE(doc.IsListening());
}

// The folder picker opens where the engine asks and hands back the folder the person picks.
TEST(FolderPicker, StartsAtTheGivenFolderAndReturnsTheChoice) {
    test::TempDir root;
    std::filesystem::create_directory(root / "sub");
    const OnModal<QFileDialog> person([&](QFileDialog* dialog) {
        EXPECT_EQ(dialog->directory().absolutePath().toStdString() + "/", root.Dir());
        test::TypeFileName(dialog, root / "sub");
    });
    test::ManualClock clock;
    QtUiHost ui(clock);
    std::optional<std::string> chosen;
    ui.ChooseFolder(nullptr, root.Dir(),
                    [&](std::optional<std::string> folder) { chosen = std::move(folder); });
    ASSERT_TRUE(test::PumpUntil([&] { return chosen.has_value(); }));
    EXPECT_EQ(*chosen, root / "sub");
}

}  // namespace
}  // namespace velbrook
