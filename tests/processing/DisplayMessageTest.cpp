#include "ProcessingTestSupport.h"

#include "foundation/ScheduledTimer.h"
#include "processing/DisplayMessage.h"

#include <gtest/gtest.h>

#include <thread>

using namespace sonorix;
using namespace sonorix::test;
using namespace std::chrono_literals;

namespace {

// A wake-up the test fires by hand.
class ManualTimer : public ScheduledTimer {
public:
    ManualTimer(double delay, std::function<void()> fire) : delay(delay), m_fire(std::move(fire)) {}
    void fire() override {
        if (m_valid) {
            m_fire();
        }
    }
    void invalidate() override { m_valid = false; }
    bool isValid() const override { return m_valid; }

    const double delay;

private:
    std::function<void()> m_fire;
    bool m_valid = true;
};

class Scheduling : public ::testing::Test {
protected:
    void SetUp() override {
        loop = std::make_shared<BasicRunLoop>();
        setMainRunLoop(loop);
        scheduler = DisplayMessageScheduler::create(
            clock.clock(), [this](double delay, std::function<void()> fire) {
                timer = std::make_shared<ManualTimer>(delay, std::move(fire));
                return timer;
            });
        controller = std::make_shared<RecordingController>();
        controller->scheduler = scheduler;
        scheduler->setTarget(controller);
        controller->takeCalls();
    }
    void TearDown() override {
        scheduler->setTarget(nullptr);
        clearMainRunLoop();
    }

    std::shared_ptr<DisplayMessage> message(const std::u16string& text, int32_t kind,
                                            double delay = 0,
                                            std::shared_ptr<DisplayProgress> progress = {}) {
        return DisplayMessage::create(text, u"", std::move(progress), kind, delay, scheduler);
    }
    std::u16string onDisplay() {
        auto current = scheduler->currentMessage();
        return current ? current->text() : u"(none)";
    }
    // Moves the clock to the armed wake-up and fires it.
    void fireTimer() {
        ASSERT_TRUE(timer && timer->isValid());
        auto due = timer;
        clock.advance(due->delay);
        due->fire();
    }
    std::vector<std::u16string> shownTexts() {
        std::vector<std::u16string> texts;
        for (const auto& call : controller->takeCalls()) {
            if (call.what == "message") {
                texts.push_back(call.item ? call.text : u"(none)");
            }
        }
        return texts;
    }

    std::shared_ptr<BasicRunLoop> loop;
    TestClock clock;
    std::shared_ptr<ManualTimer> timer;
    std::shared_ptr<DisplayMessageScheduler> scheduler;
    std::shared_ptr<RecordingController> controller;
};

} // namespace

TEST_F(Scheduling, WorkerLinesTakeTurnsOfTwoSecondsInTheOrderShown) {
    auto a = message(u"A", 3), b = message(u"B", 3), c = message(u"C", 3);
    a->show();
    clock.advance(0.25);
    b->show();
    clock.advance(0.25);
    c->show();
    EXPECT_EQ(onDisplay(), u"A");
    // The first line's turn ends 2 s after it appeared, not after the others were shown.
    EXPECT_NEAR(timer->delay, 1.5, 1e-9);
    fireTimer();
    EXPECT_EQ(onDisplay(), u"B");
    EXPECT_NEAR(timer->delay, 2.0, 1e-9);
    fireTimer();
    EXPECT_EQ(onDisplay(), u"C");
    fireTimer();
    EXPECT_EQ(onDisplay(), u"A");
    EXPECT_EQ(shownTexts(), (std::vector<std::u16string>{u"A", u"B", u"C", u"A"}));
    EXPECT_EQ(controller->offMainThread, 0);
}

TEST_F(Scheduling, HidingTheLineOnDisplayStepsBackOrOnByTheTimeItWasShown) {
    for (bool turnOver : {false, true}) {
        SCOPED_TRACE(turnOver ? "after its turn" : "within its turn");
        auto a = message(u"A", 3), b = message(u"B", 3), c = message(u"C", 3);
        a->show();
        b->show();
        c->show();
        fireTimer();
        ASSERT_EQ(onDisplay(), u"B");
        clock.advance(turnOver ? 2.5 : 0.5);
        b->hide();
        EXPECT_EQ(onDisplay(), turnOver ? u"C" : u"A");
        a->hide();
        c->hide();
        EXPECT_EQ(onDisplay(), u"(none)");
        controller->takeCalls();
    }
}

TEST_F(Scheduling, RunMessageWaitsBehindWorkerLinesAndReturnsAfterThem) {
    auto progress = DisplayProgress::create(clock.clock(), scheduler);
    auto worker1 = message(u"W1", 3, 0, progress), worker2 = message(u"W2", 3, 0, progress);
    auto run = message(u"Run", 2, 0, progress);
    worker1->show();
    worker2->show();
    controller->takeCalls();
    run->show();
    EXPECT_TRUE(controller->takeCalls().empty());
    EXPECT_EQ(onDisplay(), u"W1");
    worker1->hide();
    EXPECT_EQ(onDisplay(), u"W2");
    worker2->hide();
    EXPECT_EQ(onDisplay(), u"Run");
    EXPECT_FALSE(timer && timer->isValid());
    // The progress stayed the same all along: no progress call.
    EXPECT_EQ(controller->count("progress"), 0u);
    EXPECT_EQ(shownTexts(), (std::vector<std::u16string>{u"W2", u"Run"}));
    run->hide();
    auto calls = controller->takeCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].what, "message");
    EXPECT_EQ(calls[0].item, nullptr);
    EXPECT_EQ(calls[1].what, "progress");
    EXPECT_EQ(calls[1].item, nullptr);
    EXPECT_TRUE(calls[1].withTexts);
}

TEST_F(Scheduling, DelayedMessagesComeDueInOrderOneMillisecondApart) {
    auto first = message(u"first", 3, 1.0), second = message(u"second", 3, 1.0);
    first->show();
    second->show();
    EXPECT_EQ(onDisplay(), u"(none)");
    EXPECT_NEAR(timer->delay, 1.0, 1e-9);
    fireTimer();
    EXPECT_EQ(onDisplay(), u"first");
    // The second is due a millisecond later, sooner than the first line's turn ends.
    EXPECT_NEAR(timer->delay, 0.001, 1e-6);
    fireTimer();
    EXPECT_EQ(onDisplay(), u"first");
    EXPECT_NEAR(timer->delay, 2.0 - 0.001, 1e-6);
    fireTimer();
    EXPECT_EQ(onDisplay(), u"second");
}

TEST_F(Scheduling, MessageHiddenBeforeItsDelayNeverAppears) {
    auto late = message(u"late", 3, 0.5);
    late->show();
    late->hide();
    EXPECT_FALSE(timer && timer->isValid());
    clock.advance(1.0);
    scheduler->updateDisplay();
    EXPECT_EQ(onDisplay(), u"(none)");
    EXPECT_TRUE(shownTexts().empty());
}

TEST_F(Scheduling, ShowingTwiceKeepsOneEntrySoOneHideRemovesIt) {
    auto line = message(u"line", 3);
    line->show();
    line->show();
    line->hide();
    EXPECT_EQ(onDisplay(), u"(none)");
    auto late = message(u"late", 3, 1.0);
    late->show();
    late->show();
    late->hide();
    clock.advance(2.0);
    scheduler->updateDisplay();
    EXPECT_EQ(onDisplay(), u"(none)");
}

TEST_F(Scheduling, ChangesReachTheControllerOnlyForWhatIsOnDisplay) {
    auto shownProgress = DisplayProgress::create(clock.clock(), scheduler);
    auto otherProgress = DisplayProgress::create(clock.clock(), scheduler);
    auto shown = message(u"shown", 3, 0, shownProgress);
    auto waiting = message(u"waiting", 2, 0, otherProgress);
    shown->show();
    waiting->show();
    controller->takeCalls();

    waiting->setDetail(u"hidden detail");
    otherProgress->addDone(1);
    EXPECT_TRUE(controller->takeCalls().empty());

    shown->setDetail(u"Analyzing “x”");
    shownProgress->addDone(1);
    auto calls = controller->takeCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].what, "message");
    EXPECT_EQ(calls[0].detail, u"Analyzing “x”");
    EXPECT_EQ(calls[1].what, "progress");
    EXPECT_EQ(calls[1].item, shownProgress.get());
    EXPECT_FALSE(calls[1].withTexts);
}

TEST_F(Scheduling, ProgressCountedByWorkersReachesTheMainThreadOnceForAllItsChanges) {
    auto progress = DisplayProgress::create(clock.clock(), scheduler);
    auto line = message(u"line", 3, 0, progress);
    line->show();
    controller->takeCalls();
    auto count = [&](int times) {
        std::thread([&] {
            for (int i = 0; i < times; ++i) {
                progress->addDone(1);
            }
        }).join();
        loop->processPending();
        return controller->takeCalls();
    };
    // One call for a hundred changes: the main thread shows the value it finds.
    auto calls = count(100);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].what, "progress");
    EXPECT_EQ(calls[0].item, progress.get());
    // A change after that call ran is sent again.
    EXPECT_EQ(count(1).size(), 1u);
    EXPECT_EQ(controller->offMainThread, 0);
}

TEST_F(Scheduling, WorkersShowAndHideWhileTheMainThreadDecides) {
    auto progress = DisplayProgress::create(clock.clock(), scheduler);
    std::vector<std::thread> workers;
    std::atomic<int> finished{0};
    for (int i = 0; i < 4; ++i) {
        workers.emplace_back([&, i] {
            auto line = message(u"worker" + std::u16string(1, u'0' + i), 3, 0, progress);
            for (int n = 0; n < 50; ++n) {
                line->show();
                line->setDetail(u"track");
                progress->addDone(1);
                line->hide();
                std::this_thread::yield();
            }
            ++finished;
        });
    }
    while (finished < 4) {
        loop->processPending(1ms);
    }
    for (auto& worker : workers) {
        worker.join();
    }
    loop->runUntil([] { return false; }, 50ms);
    EXPECT_EQ(onDisplay(), u"(none)");
    EXPECT_EQ(controller->offMainThread, 0);
    // Whatever was shown in between, the bar ends cleared.
    auto calls = controller->takeCalls();
    const RecordingController::Call* lastMessage = nullptr;
    for (const auto& call : calls) {
        if (call.what == "message") {
            lastMessage = &call;
        }
    }
    if (lastMessage) {
        EXPECT_EQ(lastMessage->item, nullptr);
    }
}

TEST(SchedulingWithRealTimers, DelayedMessageAppearsThroughTheTimerThread) {
    auto loop = std::make_shared<BasicRunLoop>();
    setMainRunLoop(loop);
    auto scheduler = DisplayMessageScheduler::create();
    auto controller = std::make_shared<RecordingController>();
    scheduler->setTarget(controller);
    auto line = DisplayMessage::create(u"soon", u"", nullptr, 3, 0.05, scheduler);
    line->show();
    EXPECT_EQ(scheduler->currentMessage(), nullptr);
    EXPECT_TRUE(loop->runUntil([&] { return scheduler->currentMessage() == line; }, 5s));
    line->hide();
    EXPECT_EQ(scheduler->currentMessage(), nullptr);
    scheduler->setTarget(nullptr);
    clearMainRunLoop();
}
