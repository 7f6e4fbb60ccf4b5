#include "ui/QtUiHost.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTest>

#include <optional>
#include <string>
#include <vector>

#include "net/Reactor.h"
#include "support/ManualClock.h"
#include "support/ModalDialogs.h"
#include "support/QtPump.h"
#include "ui/EngineLoop.h"

namespace velbrook {
namespace {

using test::PumpUntil;

QString BoxText(QDialog* dialog) {
    auto* box = qobject_cast<QMessageBox*>(dialog);
    return box ? box->text() : QString();
}

// An engine handler asks. No dialog opens inside the handler; while the box is open the engine's
// loop keeps running; the answer comes once the box has closed, from Qt's own loop, where the
// engine may be entered.
TEST(QtUiHost, AQuestionLeavesTheEngineRunningAndIsAnsweredFromQtsLoop) {
    using namespace std::chrono_literals;
    Reactor reactor;
    EngineLoop loop(reactor);
    QtUiHost ui(reactor);
    bool openedInHandler = false;
    std::optional<bool> answer;
    int enteredFromAnswer = -1;
    const Timer asking = reactor.After(1ms, [&] {
        ui.AskYesNo(&answer, "Go on?", [&](bool yes) {
            answer = yes;
            reactor.Post([] {});
            enteredFromAnswer = reactor.RunOnce(0);
        });
        openedInHandler = QApplication::activeModalWidget() != nullptr || ui.ShownDialog();
    });
    int ticks = 0;
    const Timer ticking = reactor.Every(2ms, [&] { ++ticks; });
    QMessageBox* box = nullptr;
    int ticksAtOpen = 0;
    const test::OnModal<QMessageBox> opened([&](QMessageBox* shown) {
        box = shown;
        ticksAtOpen = ticks;
    });
    EXPECT_TRUE(PumpUntil([&] { return box && ticks > ticksAtOpen + 5; }));
    ASSERT_NE(box, nullptr);
    EXPECT_FALSE(openedInHandler);
    EXPECT_EQ(box->text(), "Go on?");
    EXPECT_EQ(ui.ShownDialog(), box);  // still open: the ticks above came under it
    EXPECT_FALSE(answer.has_value());

    QTest::mouseClick(box->button(QMessageBox::Yes), Qt::LeftButton);
    EXPECT_FALSE(answer.has_value());  // not from inside the click
    EXPECT_TRUE(PumpUntil([&] { return answer.has_value(); }));
    EXPECT_EQ(answer, true);
    EXPECT_GE(enteredFromAnswer, 1);
}

// Dialogs take turns in the order asked. A withdrawn question goes from the screen or the queue
// and its answer never comes, also when the person had already answered it.
TEST(QtUiHost, DialogsTakeTurnsAndAWithdrawnQuestionIsNeverAnswered) {
    test::ManualClock clock;
    QtUiHost ui(clock);
    const int first = 0;
    const int second = 0;
    std::vector<std::string> answers;
    const auto note = [&](const std::string& who) {
        return [&answers, who](bool yes) { answers.push_back(who + (yes ? " yes" : " no")); };
    };
    ui.AskYesNo(&first, "first?", note("first"));
    ui.AskYesNo(&second, "second?", note("second"));
    ui.ShowMessage("told", MessageIcon::Information);
    ui.AskYesNo(&first, "third?", note("third"));
    EXPECT_EQ(ui.ShownDialog(), nullptr);  // not while the asker runs
    ASSERT_TRUE(PumpUntil([&] { return ui.ShownDialog() != nullptr; }));
    EXPECT_EQ(BoxText(ui.ShownDialog()), "first?");
    EXPECT_EQ(ui.QueuedDialogs(), 3u);

    QPointer<QDialog> withdrawn = ui.ShownDialog();
    ui.Withdraw(&first);
    EXPECT_EQ(ui.QueuedDialogs(), 2u);
    ASSERT_TRUE(PumpUntil([&] { return withdrawn.isNull() && ui.ShownDialog() != nullptr; }));
    EXPECT_EQ(BoxText(ui.ShownDialog()), "second?");

    auto* box = qobject_cast<QMessageBox*>(ui.ShownDialog());
    QTest::keyClick(box, Qt::Key_Escape);  // counts as No
    ASSERT_TRUE(PumpUntil([&] { return BoxText(ui.ShownDialog()) == "told"; }));
    EXPECT_EQ(answers, std::vector<std::string>{"second no"});

    ui.AskYesNo(&second, "again?", note("again"));
    qobject_cast<QMessageBox*>(ui.ShownDialog())->accept();
    ASSERT_TRUE(PumpUntil([&] { return BoxText(ui.ShownDialog()) == "again?"; }));
    box = qobject_cast<QMessageBox*>(ui.ShownDialog());
    QTest::mouseClick(box->button(QMessageBox::Yes), Qt::LeftButton);
    ui.Withdraw(&second);  // gone before its answer was handed over
    EXPECT_TRUE(PumpUntil([&] { return ui.Idle(); }));
    EXPECT_EQ(answers, std::vector<std::string>{"second no"});
}

// However many torrents change at once, the views redraw once for all of them, never from inside
// the handler that changed them, and at most once in a redraw interval.
TEST(QtUiHost, ABurstOfUpdatesIsOneRedrawAndRedrawsKeepTheirDistance) {
    using namespace std::chrono_literals;
    test::ManualClock clock;
    QtUiHost ui(clock);
    int redraws = 0;
    ui.SetRedraw([&] { ++redraws; });
    for (int i = 0; i < 1000; ++i) {
        ui.PostUpdateAllViews();
    }
    EXPECT_EQ(redraws, 0);
    clock.RunDue();
    EXPECT_EQ(redraws, 1);
    clock.Advance(3 * QtUiHost::kRedrawInterval);
    EXPECT_EQ(redraws, 1);
    ui.PostUpdateAllViews();  // long after the last one: at once
    clock.RunDue();
    EXPECT_EQ(redraws, 2);
    ui.PostUpdateAllViews();  // right after it: once the interval has passed
    ui.PostUpdateAllViews();
    clock.Advance(QtUiHost::kRedrawInterval - 1ms);
    EXPECT_EQ(redraws, 2);
    clock.Advance(1ms);
    EXPECT_EQ(redraws, 3);
}

}  // namespace
}  // namespace velbrook
