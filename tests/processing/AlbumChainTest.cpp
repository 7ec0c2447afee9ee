#include "ProcessingTestSupport.h"

#include "JobTestSupport.h"
#include "processing/AlbumChain.h"
#include "processing/SonorixJob.h"

#include <gtest/gtest.h>

#include <thread>

using namespace sonorix;
using namespace sonorix::test;
using namespace std::chrono_literals;

namespace {

// What the stand-in jobs saw, in the order it happened.
struct Timeline {
    std::mutex mutex;
    std::vector<std::string> events;
    void add(std::string event) {
        std::lock_guard<std::mutex> hold(mutex);
        events.push_back(std::move(event));
    }
    std::vector<std::string> copy() {
        std::lock_guard<std::mutex> hold(mutex);
        return events;
    }
};

// Stands in for an analyze or adjustment job: notes when it began and returned.
class StandInJob : public SonorixJob {
public:
    StandInJob(std::shared_ptr<SonorixAdjustmentJobManager> manager, std::string name,
               std::shared_ptr<Timeline> timeline, std::function<void()> body = {})
        : SonorixJob(std::move(manager)), name(std::move(name)), m_timeline(std::move(timeline)),
          m_body(std::move(body)) {}

    void run(const WorkerContext&) override {
        m_timeline->add(name + "+");
        if (m_body) {
            m_body();
        }
        m_timeline->add(name + "-");
    }

    const std::string name;

private:
    std::shared_ptr<Timeline> m_timeline;
    std::function<void()> m_body;
};

// Records the album start and end jobs through the album refreshes they cause.
class ChainManager : public SonorixAdjustmentJobManager {
public:
    ChainManager(std::shared_ptr<SonorixControllerHooks> controller, int workers,
                 std::shared_ptr<std::atomic<int>> finished)
        : SonorixAdjustmentJobManager(std::move(controller)), m_workers(workers),
          m_finished(std::move(finished)) {}
    void allJobsFinished() override { ++*m_finished; }

protected:
    int usableProcessors() override { return m_workers; }

private:
    int m_workers;
    std::shared_ptr<std::atomic<int>> m_finished;
};

class Chaining : public ProcessingFixture {
protected:
    void SetUp() override {
        controller = std::make_shared<RecordingController>();
        timeline = std::make_shared<Timeline>();
        finished = std::make_shared<std::atomic<int>>(0);
    }

    std::shared_ptr<ChainManager> makeManager(int workers) {
        return std::make_shared<ChainManager>(controller, workers, finished);
    }

    // Track ids: album number × 10 + position; an album of one when count is 1.
    std::shared_ptr<SonorixModel> library(const std::vector<int>& albumSizes) {
        std::vector<LibraryTrack> tracks;
        for (size_t a = 0; a < albumSizes.size(); ++a) {
            for (int t = 1; t <= albumSizes[a]; ++t) {
                tracks.push_back(track((a + 1) * 10 + t)
                                     .on("Album " + std::to_string(a + 1))
                                     .number(t)
                                     .named("T" + std::to_string(t)));
            }
        }
        return loadModel(tracks);
    }

    // Adds every album's jobs; stand-in names are "A<id>" and "D<id>". The album start and end
    // jobs show up as "S<n>" and "E<n>" through the processing count they change.
    // With one worker the start job has returned before an analysis begins; with more, they
    // may overlap.
    void chainAll(const std::shared_ptr<ChainManager>& manager, SonorixModel& model,
                  std::function<void()> analyzeBody = {}, bool expectMarked = false) {
        for (const auto& album : defaultGroup(model)->albums()) {
            auto name = [](const char* kind, const std::shared_ptr<iTunesTrack>& t) {
                return kind + std::to_string(ta::persistentId(*t));
            };
            addAlbumJobs(
                manager, album,
                [&, album](const std::shared_ptr<iTunesTrack>& t) -> std::shared_ptr<Job> {
                    auto status = model.statusLibrary()->albumStatus(*album, true, false);
                    return std::make_shared<StandInJob>(manager, name("A", t), timeline, [=] {
                        // The album is marked as being worked on while its tracks are.
                        if (expectMarked && album->tracks().size() > 1) {
                            EXPECT_EQ(status->processingCount(), 1);
                        }
                        if (analyzeBody) {
                            analyzeBody();
                        }
                    });
                },
                [&](const std::shared_ptr<iTunesTrack>& t) -> std::shared_ptr<Job> {
                    return std::make_shared<StandInJob>(manager, name("D", t), timeline);
                });
        }
    }

    bool runToEnd() {
        return runLoopUntil([this] { return *finished > 0; });
    }

    std::shared_ptr<RecordingController> controller;
    std::shared_ptr<Timeline> timeline;
    std::shared_ptr<std::atomic<int>> finished;
};

// Every adjustment job of an album began after every analyze job of the album returned.
void expectAnalysesBeforeAdjustments(const std::vector<std::string>& events) {
    auto position = [&](const std::string& event) {
        auto it = std::find(events.begin(), events.end(), event);
        EXPECT_NE(it, events.end()) << event;
        return it - events.begin();
    };
    for (const auto& event : events) {
        if (event[0] != 'D' || event.back() != '+') {
            continue;
        }
        const std::string album = event.substr(1, event.size() - 3); // "D23+" -> "2"
        for (const auto& other : events) {
            if (other[0] == 'A' && other.back() == '-' &&
                other.substr(1, other.size() - 3) == album) {
                EXPECT_LT(position(other), position(event)) << other << " before " << event;
            }
        }
    }
}

} // namespace

TEST_F(Chaining, OneWorkerRunsAlbumAfterAlbumInChainOrder) {
    auto model = library({3, 1, 2});
    auto manager = makeManager(1);
    chainAll(manager, *model, {}, true);
    EXPECT_EQ(manager->pendingCount(), 8u + 2u + 6u);
    manager->start();
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(
        timeline->copy(),
        (std::vector<std::string>{"A11+", "A11-", "A12+", "A12-", "A13+", "A13-", "D11+", "D11-",
                                  "D12+", "D12-", "D13+", "D13-", "A21+", "A21-", "D21+", "D21-",
                                  "A31+", "A31-", "A32+", "A32-", "D31+", "D31-", "D32+", "D32-"}));
    // Start and end jobs of the two albums of several tracks, none for the album of one.
    auto albums = defaultGroup(*model)->albums();
    EXPECT_EQ(controller->count("album", albums[0].get()), 2u);
    EXPECT_EQ(controller->count("album", albums[1].get()), 0u);
    EXPECT_EQ(controller->count("album", albums[2].get()), 2u);
    for (const auto& album : {albums[0], albums[2]}) {
        EXPECT_EQ(model->statusLibrary()->albumStatus(*album, false, false)->processingCount(), 0);
    }
}

TEST_F(Chaining, TwoWorkersNeverAdjustBeforeTheAlbumIsAnalysed) {
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        *finished = 0;
        timeline = std::make_shared<Timeline>();
        auto model = library({4, 1, 3, 2, 5});
        auto manager = makeManager(2);
        chainAll(manager, *model, [] { std::this_thread::sleep_for(200us); });
        manager->start();
        ASSERT_TRUE(runToEnd());
        auto events = timeline->copy();
        EXPECT_EQ(events.size(), 2u * 2u * 15u);
        expectAnalysesBeforeAdjustments(events);
        for (const auto& album : defaultGroup(*model)->albums()) {
            if (album->tracks().size() > 1) {
                EXPECT_EQ(
                    model->statusLibrary()->albumStatus(*album, false, false)->processingCount(),
                    0);
            }
        }
    }
}

TEST_F(Chaining, StoppedRunReturnsTheAlbumToItsFormerProcessingCount) {
    auto model = library({3, 2});
    auto albums = defaultGroup(*model)->albums();
    auto first = model->statusLibrary()->albumStatus(*albums[0], true, false);
    auto second = model->statusLibrary()->albumStatus(*albums[1], true, false);
    // Another run of the same album is under way too.
    first->addProcessing(1);

    Latch release;
    std::atomic<bool> analysing{false};
    auto manager = makeManager(1);
    chainAll(manager, *model, [&] {
        analysing = true;
        release.wait();
    });
    manager->start();
    ASSERT_TRUE(waitFor([&] { return analysing.load(); }));
    EXPECT_EQ(first->processingCount(), 2);
    manager->stop();
    release.open();
    ASSERT_TRUE(runToEnd());
    loop->processPending();
    // The end job ran when it was dropped; the second album never started.
    EXPECT_EQ(first->processingCount(), 1);
    EXPECT_EQ(second->processingCount(), 0);
    EXPECT_EQ(timeline->copy(), (std::vector<std::string>{"A11+", "A11-"}));
    EXPECT_EQ(controller->count("album", albums[0].get()), 2u);
    EXPECT_EQ(controller->count("album", albums[1].get()), 0u);
}

TEST_F(Chaining, RunStoppedBeforeItsStartJobLeavesTheCountAlone) {
    auto model = library({2});
    auto album = defaultGroup(*model)->albums().at(0);
    auto manager = makeManager(1);
    chainAll(manager, *model);
    manager->stop();
    manager->start();
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(model->statusLibrary()->albumStatus(*album, true, false)->processingCount(), 0);
    EXPECT_TRUE(timeline->copy().empty());
}

TEST_F(Chaining, PairedJobRunsAtReleaseOnlyWhenItsPartnerRanAndItDidNot) {
    auto model = library({2});
    auto album = defaultGroup(*model)->albums().at(0);
    auto status = model->statusLibrary()->albumStatus(*album, true, false);
    auto manager = makeManager(1);

    // Partner ran, the job did not: it runs as it goes.
    auto start = SonorixAlbumProgressJob::create(manager, album, +1);
    auto end = SonorixAlbumProgressJob::create(manager, album, -1);
    end->setPartner(start);
    start->perform({}, 0);
    EXPECT_EQ(status->processingCount(), 1);
    end.reset();
    EXPECT_EQ(status->processingCount(), 0);

    // The job ran already: nothing more at release.
    end = SonorixAlbumProgressJob::create(manager, album, -1);
    end->setPartner(start);
    end->perform({}, 0);
    end.reset();
    EXPECT_EQ(status->processingCount(), -1);
    status->addProcessing(1);

    // The partner never ran, or there is no partner: nothing.
    auto idleStart = SonorixAlbumProgressJob::create(manager, album, +1);
    end = SonorixAlbumProgressJob::create(manager, album, -1);
    end->setPartner(idleStart);
    end.reset();
    idleStart.reset();
    start.reset();
    EXPECT_EQ(status->processingCount(), 0);
}
