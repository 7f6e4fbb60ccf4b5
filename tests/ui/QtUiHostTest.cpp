#include "ui/QtUiHost.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTest>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "net/AsyncSocket.h"
#include "net/Reactor.h"
#include "support/Loopback.h"
#include "support/ManualClock.h"
#include "support/ModalDialogs.h"
#include "support/QtPump.h"
#include "ui/EngineLoop.h"

namespace velbrook {
namespace {

using test::PumpUntil;

class CountingSocket : public AsyncSocket {
public:
    size_t received = 0;

protected:
    void OnReceive(int) override {
        char buffer[65536];
        ssize_t n = 0;
        while ((n = Receive(buffer, sizeof buffer)) > 0) {
            received += static_cast<size_t>(n);
        }
    }
};

QString BoxText(QDialog* dialog) {
    auto* box = qobject_cast<QMessageBox*>(dialog);
    return box ? box->text() : QString();
}

// An engine handler asks in the middle of a transfer. No dialog opens inside the handler; while
// the box is open the transfer runs to its end and what another copy hands over is taken; the
// answer comes once the box has closed, from Qt's own loop, where the engine may be entered.
TEST(QtUiHost, AQuestionLeavesTheEngineRunningAndIsAnsweredFromQtsLoop) {
    Reactor reactor;
    EngineLoop loop(reactor);
    QtUiHost ui(reactor);
    test::RawListener listener;
    CountingSocket receiver;
    ASSERT_TRUE(receiver.Create(0, kSocketRead | kSocketClose) &&
                receiver.Connect("127.0.0.1", listener.m_port));
    const int sender = listener.Accept([] { QTest::qWait(5); });
    ASSERT_GE(sender, 0);
    constexpr size_t kTotal = 8 << 20;
    const std::string chunk(65536, 'v');
    size_t sent = 0;
    QMessageBox* box = nullptr;
    // A quarter before the box is up, the rest only while it is.
    const auto send = [&] {
        const size_t upTo = box ? kTotal : kTotal / 4;
        ssize_t n = 0;
        while (sent < upTo && (n = ::send(sender, chunk.data(), std::min(chunk.size(), upTo - sent),
                                          MSG_DONTWAIT | MSG_NOSIGNAL)) > 0) {
            sent += static_cast<size_t>(n);
        }
    };
    int handOffs[2];
    ASSERT_EQ(::pipe2(handOffs, O_NONBLOCK | O_CLOEXEC), 0);
    int handed = 0;
    loop.Watch(handOffs[0], [&] {
        char byte = 0;
        while (::read(handOffs[0], &byte, 1) > 0) {
            ++handed;
        }
    });

    bool asked = false;
    bool openedInHandler = false;
    std::optional<bool> answer;
    int enteredFromAnswer = -1;
    const Timer asking = reactor.Every(std::chrono::milliseconds(5), [&] {
        if (asked || receiver.received < kTotal / 8) {
            return;
        }
        asked = true;
        ui.AskYesNo(&asked, "Go on?", [&](bool yes) {
            answer = yes;
            reactor.Post([] {});
            enteredFromAnswer = reactor.RunOnce(0);
        });
        openedInHandler = QApplication::activeModalWidget() != nullptr || ui.ShownDialog();
    });

    size_t receivedAtOpen = 0;
    const test::OnModal<QMessageBox> opened([&](QMessageBox* shown) {
        box = shown;
        receivedAtOpen = receiver.received;
        ASSERT_EQ(::write(handOffs[1], "h", 1), 1);
    });
    EXPECT_TRUE(PumpUntil([&] {
        send();
        return receiver.received == kTotal && handed == 1;
    }));
    ASSERT_NE(box, nullptr);
    EXPECT_FALSE(openedInHandler);
    EXPECT_EQ(box->text(), "Go on?");
    EXPECT_EQ(ui.ShownDialog(), box);  // still open: everything above happened under it
    EXPECT_LE(receivedAtOpen, kTotal / 4);
    EXPECT_FALSE(answer.has_value());

    QTest::mouseClick(box->button(QMessageBox::Yes), Qt::LeftButton);
    EXPECT_FALSE(answer.has_value());  // not from inside the click
    EXPECT_TRUE(PumpUntil([&] { return answer.has_value(); }));
    EXPECT_EQ(answer, true);
    EXPECT_GE(enteredFromAnswer, 1);
    ::close(sender);
    ::close(handOffs[0]);
    ::close(handOffs[1]);
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
