#include "ui/QtRunLoop.h"
#include "foundation/Threads.h"

#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

using namespace sonorix;

class QtRunLoopTest : public QObject {
    Q_OBJECT
private slots:
    // Records from several threads run on the loop's thread, each thread's in its own order.
    void postsFromThreadsRunInOrderOnTheLoopThread() {
        auto loop = std::make_shared<QtRunLoop>();
        const auto mainThread = std::this_thread::get_id();
        constexpr int kThreads = 4, kEach = 500;
        std::vector<std::vector<int>> seen(kThreads);
        std::atomic<int> wrongThread{0};
        std::vector<std::thread> posters;
        for (int t = 0; t < kThreads; ++t) {
            posters.emplace_back([&, t] {
                for (int i = 0; i < kEach; ++i) {
                    loop->post([&, t, i] {
                        if (std::this_thread::get_id() != mainThread) {
                            ++wrongThread;
                        }
                        seen[t].push_back(i);
                    });
                }
            });
        }
        for (auto& p : posters) {
            p.join();
        }
        QTRY_VERIFY_WITH_TIMEOUT(seen[0].size() + seen[1].size() + seen[2].size() +
                                         seen[3].size() ==
                                     size_t(kThreads * kEach),
                                 5000);
        QCOMPARE(wrongThread.load(), 0);
        for (const auto& s : seen) {
            for (int i = 0; i < kEach; ++i) {
                QCOMPARE(s[i], i);
            }
        }
    }

    void sendWaitsForTheRecordAndRunsAtOnceOnTheLoopThread() {
        auto loop = std::make_shared<QtRunLoop>();
        int ran = 0;
        QVERIFY(loop->send([&] { ++ran; }));
        QCOMPARE(ran, 1);

        std::atomic<bool> returned{false};
        int value = 0;
        std::thread sender([&] {
            loop->send([&] { value = 42; });
            returned = true;
        });
        // The sender waits until the event loop turned.
        QThread::msleep(50);
        QVERIFY(!returned);
        QTRY_VERIFY_WITH_TIMEOUT(returned.load(), 5000);
        sender.join();
        QCOMPARE(value, 42);
    }

    // The shut-off of main-thread calls runs queued calls through processPending while it
    // waits, without the event loop.
    void processPendingRunsQueuedRecords() {
        auto loop = std::make_shared<QtRunLoop>();
        int ran = 0;
        std::thread poster([&] { loop->post([&] { ++ran; }); });
        poster.join();
        QCOMPARE(loop->processPending(std::chrono::milliseconds(100)), size_t(1));
        QCOMPARE(ran, 1);
        QCOMPARE(loop->processPending(), size_t(0));
    }

    void mainThreadCallsGoThroughIt() {
        auto loop = std::make_shared<QtRunLoop>();
        setMainRunLoop(loop);
        std::atomic<bool> onMain{false};
        std::thread worker([&] { callOnMainThread([&] { onMain = isMainThread(); }, true); });
        QTRY_VERIFY_WITH_TIMEOUT(onMain.load(), 5000);
        worker.join();
        clearMainRunLoop();
    }
};

QTEST_MAIN(QtRunLoopTest)
#include "QtRunLoopTest.moc"
