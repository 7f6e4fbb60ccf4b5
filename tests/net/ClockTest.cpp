// Timers as owned handles, on the clock a test moves and on the reactor's own.
#include "net/Clock.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "net/Reactor.h"
#include "net/TimerQueue.h"
#include "support/Loopback.h"
#include "support/ManualClock.h"

namespace velbrook {
namespace {

using namespace std::chrono_literals;

// What ran, and when, in milliseconds since the test began.
struct Journal {
    explicit Journal(const Clock& clock) : m_clock(clock), m_start(clock.Now()) {}
    auto Note(std::string what) {
        return [this, what] { Add(what); };
    }
    void Add(const std::string& what) {
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(m_clock.Now() - m_start);
        m_lines.push_back(what + "@" + std::to_string(ms.count()));
    }
    const Clock& m_clock;
    Time m_start;
    std::vector<std::string> m_lines;
};

TEST(Clock, TimersRunInTheOrderTheyFallDueEachAtItsOwnTime) {
    test::ManualClock clock;
    Journal journal(clock);
    Timer slow = clock.Every(1s, journal.Note("slow"));
    Timer fast = clock.Every(400ms, journal.Note("fast"));
    Timer once = clock.After(1200ms, journal.Note("once"));
    clock.Advance(999ms);
    EXPECT_EQ(journal.m_lines, (std::vector<std::string>{"fast@400", "fast@800"}));
    clock.Advance(1001ms);
    // At the same time, the one started first goes first.
    EXPECT_EQ(journal.m_lines,
              (std::vector<std::string>{"fast@400", "fast@800", "slow@1000", "fast@1200",
                                        "once@1200", "fast@1600", "slow@2000", "fast@2000"}));
    EXPECT_TRUE(slow.IsActive());
    EXPECT_FALSE(once.IsActive());
    // Gone or stopped, a timer never runs again; a moved one runs under its new owner.
    Timer moved = std::move(fast);
    EXPECT_FALSE(fast.IsActive());
    slow = Timer();
    clock.Advance(400ms);
    EXPECT_EQ(journal.m_lines.back(), "fast@2400");
    moved.Stop();
    clock.Advance(10s);
    EXPECT_EQ(journal.m_lines.size(), 9u);
    EXPECT_FALSE(clock.HasTimers());
}

// Whatever a handler does to the timers, its own included, no call runs for a timer that is no
// longer there, and one started for now runs in the same advance.
TEST(Clock, AHandlerMayStopStartOrDestroyTimersDueInTheSamePass) {
    test::ManualClock clock;
    Journal journal(clock);
    auto first = std::make_unique<Timer>();
    auto second = std::make_unique<Timer>();
    *first = clock.After(1s, [&] {
        journal.Add("first");
        second.reset();
    });
    *second = clock.After(1s, [&] {
        journal.Add("second");
        first.reset();
    });
    Timer self;
    int ticks = 0;
    self = clock.Every(300ms, [&] {
        // Slower after the second tick, gone after the fourth.
        if (++ticks == 2) {
            self = clock.Every(500ms, [&] {
                if (++ticks == 4) {
                    self.Stop();
                }
            });
        }
    });
    Timer later;
    Timer spawner = clock.After(1500ms, [&] { later = clock.After(0s, journal.Note("later")); });
    clock.Advance(5s);
    EXPECT_EQ(journal.m_lines, (std::vector<std::string>{"first@1000", "later@1500"}));
    EXPECT_EQ(ticks, 4);  // at 300, 600, 1100 and 1600 ms
    EXPECT_FALSE(self.IsActive());
    EXPECT_FALSE(clock.HasTimers());
}

// The reactor, woken late, does not run a periodic timer once for every period it missed.
TEST(TimerQueue, ATimerThatFellBehindRunsOnceAndKeepsToItsGrid) {
    TimerQueue queue;
    const Time start = Time() + 1h;
    int runs = 0;
    const uint64_t id = queue.Add(start + 10ms, 10ms, [&] { ++runs; });
    EXPECT_EQ(queue.RunDue(start + 9ms), 0);
    EXPECT_EQ(queue.RunDue(start + 55ms), 1);
    EXPECT_EQ(queue.Next(), start + 60ms);
    queue.Remove(id);
    EXPECT_EQ(queue.RunDue(start + 1h), 0);
    EXPECT_EQ(runs, 1);
}

TEST(ReactorClock, ItsTimersWakeTheLoopWhenTheyFallDue) {
    Reactor reactor;
    int ticks = 0;
    Timer repeating;
    repeating = reactor.Every(2ms, [&] {
        if (++ticks == 3) {
            repeating.Stop();
        }
    });
    bool once = false;
    Timer single = reactor.After(1ms, [&] { once = true; });
    EXPECT_TRUE(test::RunUntil(reactor, [&] { return once && !repeating.IsActive(); }));
    EXPECT_EQ(ticks, 3);
    EXPECT_FALSE(single.IsActive());
}

}  // namespace
}  // namespace velbrook
