#include "foundation/ScheduledTimer.h"
#include "foundation/Threads.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <vector>

using namespace sonorix;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

class TimerTest : public ::testing::Test {
protected:
    void SetUp() override {
        loop = std::make_shared<BasicRunLoop>();
        setMainRunLoop(loop);
    }
    void TearDown() override { clearMainRunLoop(); }

    std::shared_ptr<BasicRunLoop> loop;
};

} // namespace

TEST(TimerDue, TruncatesToMillisecondsAndNeverBelowOne) {
    EXPECT_EQ(timerDueMilliseconds(0.0), 1);
    EXPECT_EQ(timerDueMilliseconds(-3.0), 1);
    EXPECT_EQ(timerDueMilliseconds(0.0004), 1);
    EXPECT_EQ(timerDueMilliseconds(0.0019), 1);
    EXPECT_EQ(timerDueMilliseconds(0.25), 250);
    EXPECT_EQ(timerDueMilliseconds(1.9999), 1999);
    EXPECT_EQ(timerDueMilliseconds(180.0), 180000);
    EXPECT_EQ(timerDueMilliseconds(std::nan("")), 1);
}

TEST_F(TimerTest, OneShotFiresOnceOnTheMainThreadAndKeepsItselfAlive) {
    int fired = 0;
    bool onMain = false;
    std::weak_ptr<ScheduledTimer> weak = ScheduledTimer::scheduledTimer(
        0.01,
        [&] {
            ++fired;
            onMain = isMainThread();
        },
        false);
    // Nobody holds the timer: the armed entry does.
    EXPECT_TRUE(loop->runUntil([&] { return fired == 1; }, 10s));
    EXPECT_TRUE(onMain);
    loop->runUntil([] { return false; }, 50ms);
    EXPECT_EQ(fired, 1);
    for (int i = 0; i < 10000 && !weak.expired(); ++i) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(weak.expired());
}

TEST_F(TimerTest, RepeatingTimerStopsWhenItsDelegateInvalidatesIt) {
    std::vector<Clock::time_point> firings;
    std::shared_ptr<ScheduledTimer> timer;
    timer = ScheduledTimer::scheduledTimer(
        0.0,
        [&] {
            firings.push_back(Clock::now());
            if (firings.size() == 3) {
                timer->invalidate();
            }
        },
        true);
    EXPECT_TRUE(loop->runUntil([&] { return firings.size() == 3; }, 10s));
    loop->runUntil([] { return false; }, 100ms);
    EXPECT_EQ(firings.size(), 3u);
    EXPECT_FALSE(timer->isValid());
    // Interval 0 still waits a millisecond between firings.
    for (size_t i = 1; i < firings.size(); ++i) {
        EXPECT_GE(firings[i] - firings[i - 1], 1ms);
    }
}

TEST_F(TimerTest, InvalidatedBeforeItIsDueNeverFires) {
    bool fired = false;
    auto timer = ScheduledTimer::scheduledTimer(
        0.03, [&] { fired = true; }, false);
    timer->invalidate();
    loop->runUntil([] { return false; }, 100ms);
    EXPECT_FALSE(fired);
}

TEST_F(TimerTest, RepeatingFiringsDoNotOverlapWhenTheMainThreadIsSlow) {
    int fired = 0;
    int inside = 0;
    int overlaps = 0;
    auto timer = ScheduledTimer::scheduledTimer(
        0.001,
        [&] {
            overlaps += inside;
            ++inside;
            std::this_thread::sleep_for(5ms);
            --inside;
            ++fired;
        },
        true);
    EXPECT_TRUE(loop->runUntil([&] { return fired >= 5; }, 10s));
    timer->invalidate();
    loop->runUntil([] { return false; }, 30ms); // a firing already under way still runs
    EXPECT_EQ(overlaps, 0);
    // Every firing is one waiting main-thread call: nothing piles up behind a slow one.
    EXPECT_LE(loop->pendingRecords(), 1u);
}
