#include "ProcessingTestSupport.h"

#include "processing/SonorixStatusUpdater.h"

#include <gtest/gtest.h>

#include <thread>

using namespace sonorix;
using namespace sonorix::test;
using namespace std::chrono_literals;

namespace {

class StatusRefreshing : public ProcessingFixture {
protected:
    void SetUp() override {
        controller = std::make_shared<RecordingController>();
        std::vector<LibraryTrack> tracks;
        for (uint64_t id = 1; id <= 3; ++id) {
            LibraryTrack t = track(id).on("Trio").named("T" + std::to_string(id));
            t.trackNumber = static_cast<int>(id);
            t.location = fileUrl(m_dir.file("missing" + std::to_string(id) + ".mp3"));
            tracks.push_back(t);
        }
        LibraryTrack lone = track(9).on("Lone").named("Lone");
        lone.location = fileUrl(m_dir.file("lone.mp3"));
        tracks.push_back(lone);
        model = loadModel(tracks);
        group = defaultGroup(*model);
        trio = group->albumOfTrack(1);
        ASSERT_TRUE(trio);
        ASSERT_EQ(trio->tracks().size(), 3u);
    }
    void TearDown() override {
        if (refresh) {
            refresh->shutDown();
            // The workers end and let go of the processor; statusUpdater must then give none.
            // The last worker lets go after its final main-thread call: poll for that.
            for (int i = 0; i < 500 && statusUpdater(); ++i) {
                loop->runUntil([] { return false; }, 10ms);
            }
            EXPECT_FALSE(statusUpdater());
        }
    }

    // Waits until n track rows were redrawn by refresh jobs, then a little longer for extras.
    size_t settle(size_t n) {
        runLoopUntil([&] { return controller->count("track") >= n; }, 20s);
        loop->runUntil([] { return false; }, 100ms);
        return controller->count("track");
    }

    std::shared_ptr<RecordingController> controller;
    std::shared_ptr<SonorixModel> model;
    std::shared_ptr<SonorixGroup> group;
    std::shared_ptr<SonorixAlbum> trio;
    std::unique_ptr<SonorixStatusRefresh> refresh;
};

} // namespace

TEST_F(StatusRefreshing, EachTrackIsCheckedOnceUntilForgotten) {
    refresh = std::make_unique<SonorixStatusRefresh>(controller);
    EXPECT_FALSE(refresh->hasProcessor());
    refresh->refreshAlbumStatus(trio, {});
    auto processor = statusUpdater();
    ASSERT_TRUE(processor);
    EXPECT_EQ(processor, refresh->processor());
    EXPECT_EQ(settle(3), 3u);
    EXPECT_EQ(controller->count("album", trio.get()), 3u);
    // The files are missing: the check recorded that, so the model wants saving.
    EXPECT_EQ(model->statusLibrary()->trackStatus(1, false)->getError(), kErrorFile);
    EXPECT_GT(saveRequests.load(), 0);

    // Shown again: nothing new, neither for the album row nor for a track row.
    refresh->refreshAlbumStatus(trio, {});
    refresh->refreshTrackStatus(trio->tracks()[1], group, {});
    EXPECT_EQ(settle(3), 3u);

    processor->forgetTrack(*trio->tracks()[1]);
    refresh->refreshTrackStatus(trio->tracks()[1], group, {});
    refresh->refreshTrackStatus(trio->tracks()[1], group, {});
    EXPECT_EQ(settle(4), 4u);
    EXPECT_EQ(controller->offMainThread.load(), 0);
}

TEST_F(StatusRefreshing, FollowingRunningWorkPausesTheRefreshButCommentRemovalDoesNot) {
    refresh = std::make_unique<SonorixStatusRefresh>(controller);
    ProcessingActivity following{true, true, false};
    refresh->refreshAlbumStatus(trio, following);
    auto processor = refresh->processor();
    EXPECT_TRUE(processor->isPaused());
    EXPECT_FALSE(processor->isQueued(1));

    // Work runs but the views do not follow it: rows are refreshed.
    refresh->refreshTrackStatus(trio->tracks()[0], group, {true, false, false});
    EXPECT_FALSE(processor->isPaused());
    EXPECT_TRUE(processor->isQueued(1));

    refresh->refreshTrackStatus(trio->tracks()[1], group, following);
    EXPECT_TRUE(processor->isPaused());
    EXPECT_FALSE(processor->isQueued(2));
    refresh->refreshAlbumStatus(trio, {true, true, true});
    EXPECT_FALSE(processor->isPaused());
    EXPECT_TRUE(processor->isQueued(2) && processor->isQueued(3));
    EXPECT_EQ(settle(3), 3u);
}

TEST_F(StatusRefreshing, TracksMayBeForgottenFromOtherThreadsWhileRowsAreQueued) {
    refresh = std::make_unique<SonorixStatusRefresh>(controller);
    auto processor = refresh->processor();
    std::atomic<bool> done{false};
    std::thread forgetter([&] {
        for (int i = 0; i < 2000; ++i) {
            if (auto updater = statusUpdater()) {
                updater->forgetTrack(static_cast<uint64_t>(1 + i % 3));
            }
        }
        done = true;
    });
    while (!done) {
        refresh->refreshAlbumStatus(trio, {});
        loop->processPending();
    }
    forgetter.join();
    loop->runUntil([] { return false; }, 200ms);
    // Whatever the interleaving, every track is queued once more after the last forget.
    refresh->refreshAlbumStatus(trio, {});
    EXPECT_TRUE(processor->isQueued(1) && processor->isQueued(2) && processor->isQueued(3));
    EXPECT_FALSE(processor->isQueued(9));
}

TEST_F(StatusRefreshing, CheckingAGroupReportsOnceEveryVisibleTrackWasDelivered) {
    refresh = std::make_unique<SonorixStatusRefresh>(controller);
    // The search hides the lone track: only what the outline shows is read.
    group->setSearchText(u"Trio");
    int reports = 0;
    size_t redrawnThen = 0;
    refresh->checkTags(*group, {}, [&] {
        ++reports;
        redrawnThen = controller->count("track");
    });
    EXPECT_EQ(reports, 0) << "the checks run on the workers";
    ASSERT_TRUE(runLoopUntil([&] { return reports > 0; }, 20s));
    EXPECT_EQ(redrawnThen, 3u);
    EXPECT_EQ(model->statusLibrary()->trackStatus(2, false)->getError(), kErrorFile);
    EXPECT_FALSE(model->statusLibrary()->trackStatus(9, false));
    EXPECT_GT(saveRequests.load(), 0);

    // Checked already: nothing to wait for, the answer comes at once.
    refresh->checkTags(*group, {}, [&] { ++reports; });
    EXPECT_EQ(reports, 2);
    loop->runUntil([] { return false; }, 100ms);
    EXPECT_EQ(reports, 2);
    EXPECT_EQ(controller->count("track"), 3u);
}

TEST_F(StatusRefreshing, ChecksAskedForWhileTheViewsFollowWorkWaitForIt) {
    refresh = std::make_unique<SonorixStatusRefresh>(controller);
    bool reported = false;
    refresh->checkTags(*group, {true, true, false}, [&] { reported = true; });
    auto processor = refresh->processor();
    EXPECT_TRUE(processor->isPaused());
    EXPECT_TRUE(processor->isQueued(1) && processor->isQueued(9));
    loop->runUntil([] { return false; }, 100ms);
    EXPECT_FALSE(reported);
    refresh->refreshAlbumStatus(nullptr, {});
    EXPECT_TRUE(runLoopUntil([&] { return reported; }, 20s));
}
