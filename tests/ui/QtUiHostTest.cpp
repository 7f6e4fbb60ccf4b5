#include "ui/QtUiHost.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QMessageBox>
#include <QTest>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/AsyncSocket.h"
#include "net/Reactor.h"
#include "support/Loopback.h"
#include "support/ModalDialogs.h"
#include "support/QtPump.h"
#include "ui/EngineLoop.h"

namespace velbrook {
namespace {

class CountingSocket : public AsyncSocket {
public:
    size_t received = 0;
    int notifications = 0;

protected:
    void OnReceive(int) override {
        ++notifications;
        char buffer[65536];
        ssize_t n = 0;
        while ((n = Receive(buffer, sizeof buffer)) > 0) {
            received += static_cast<size_t>(n);
        }
    }
};

// The engine asks a question in the middle of a transfer. While the box is open nothing enters
// the engine: no socket or timer handler runs, a dispatch from inside is refused, and what
// another copy hands over waits; once it is answered the transfer runs to its end.
TEST(QtUiHost, AQuestionFromTheEngineHoldsItUntilAnsweredThenTheTransferGoesOn) {
    Reactor reactor;
    EngineLoop loop(reactor);
    QtUiHost ui(loop);
    test::RawListener listener;
    CountingSocket receiver;
    ASSERT_TRUE(receiver.Create(0, kSocketRead | kSocketClose) &&
                receiver.Connect("127.0.0.1", listener.m_port));
    const int sender = listener.Accept([] { QTest::qWait(5); });
    ASSERT_GE(sender, 0);
    constexpr size_t kTotal = 8 << 20;
    const std::string chunk(65536, 'v');
    size_t sent = 0;
    const auto send = [&] {
        ssize_t n = 0;
        while (sent < kTotal &&
               (n = ::send(sender, chunk.data(), std::min(chunk.size(), kTotal - sent),
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

    int ticks = 0;
    int asked = 0;
    MessageAnswer answer = MessageAnswer::No;
    int handlersAtOpen = -1;
    int handlersAtAnswer = -1;
    int inner = -1;
    int handedWhileOpen = -1;
    reactor.StartTimer(5, [&](uint64_t) {
        ++ticks;
        if (asked > 0 || receiver.received < kTotal / 8) {
            return;
        }
        ++asked;
        const test::OnModal<QMessageBox> answerIt([&](QMessageBox* box) {
            handlersAtOpen = ticks + receiver.notifications;
            ASSERT_EQ(::write(handOffs[1], "h", 1), 1);
            for (int i = 0; i < 20; ++i) {
                send();
                QTest::qWait(10);
            }
            inner = reactor.RunOnce(0);
            handlersAtAnswer = ticks + receiver.notifications;
            handedWhileOpen = handed;
            QTest::mouseClick(box->button(QMessageBox::Yes), Qt::LeftButton);
        });
        answer = ui.ShowMessage("Go on?", MessageIcon::Question, MessageButtons::YesNo);
    });
    EXPECT_TRUE(test::PumpUntil([&] {
        send();
        return receiver.received == kTotal && handed == 1;
    }));
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(answer, MessageAnswer::Yes);
    EXPECT_EQ(handlersAtAnswer, handlersAtOpen);
    EXPECT_EQ(inner, 0);
    EXPECT_EQ(handedWhileOpen, 0);
    ::close(sender);
    ::close(handOffs[0]);
    ::close(handOffs[1]);
}

// However many torrents change at once, the views redraw once for all of them.
TEST(QtUiHost, ABurstOfUpdatesIsOneRedraw) {
    Reactor reactor;
    EngineLoop loop(reactor);
    QtUiHost ui(loop);
    int redraws = 0;
    ui.SetRedraw([&] { ++redraws; });
    for (int i = 0; i < 1000; ++i) {
        ui.PostUpdateAllViews();
    }
    EXPECT_TRUE(test::PumpUntil([&] { return redraws > 0; }));
    QTest::qWait(3 * QtUiHost::kRedrawIntervalMs);
    EXPECT_EQ(redraws, 1);
    ui.PostUpdateAllViews();
    EXPECT_TRUE(test::PumpUntil([&] { return redraws == 2; }));
}

}  // namespace
}  // namespace velbrook
