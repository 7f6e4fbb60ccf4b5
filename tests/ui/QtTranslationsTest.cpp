#include "ui/QtTranslations.h"

#include <gtest/gtest.h>

#include <QMessageBox>
#include <QPushButton>

namespace velbrook {
namespace {

// Qt's own buttons speak the language of the program's labels while the translations are
// installed, and Qt's English again once they are gone.
TEST(QtTranslations, QtsOwnButtonsSpeakChinese) {
    const auto yes = [] {
        QMessageBox box(QMessageBox::Question, "", "", QMessageBox::Yes | QMessageBox::No);
        return box.button(QMessageBox::Yes)->text();
    };
    {
        const auto installed = InstallQtTranslations();
        ASSERT_NE(installed, nullptr);
        EXPECT_EQ(yes(), "是(&Y)");
    }
    EXPECT_EQ(yes(), "&Yes");
}

}  // namespace
}  // namespace velbrook
