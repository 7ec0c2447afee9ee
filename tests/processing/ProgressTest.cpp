#include "ProcessingTestSupport.h"

#include "processing/DisplayProgress.h"
#include "processing/SonorixAdjustmentJobManager.h"
#include "processing/SonorixJob.h"

#include <gtest/gtest.h>

#include <thread>

using namespace sonorix;
using namespace sonorix::test;
using namespace std::chrono_literals;

namespace {

std::shared_ptr<DisplayProgress> progressOn(const TestClock& clock) {
    return DisplayProgress::create(clock.clock(), DisplayMessageScheduler::create(clock.clock()));
}

// Reports on behalf of a track and an album, as a job's worker does.
class ReportingJob : public SonorixJob {
public:
    using SonorixJob::SonorixJob;
    void run(const WorkerContext&) override {}
};

class Reporting : public ProcessingFixture {
protected:
    void SetUp() override {
        controller = std::make_shared<RecordingController>();
        manager = std::make_shared<SonorixAdjustmentJobManager>(
            controller, clock.clock(), DisplayMessageScheduler::create(clock.clock()));
        job = std::make_shared<ReportingJob>(manager);
        model = loadModel({track(1).on("X"), track(2).on("X")});
        album = defaultGroup(*model)->albums().at(0);
        trackItem = album->tracks().at(0);
    }
    std::vector<std::string> delivered() {
        loop->processPending();
        std::vector<std::string> out;
        for (const auto& call : controller->takeCalls()) {
            out.push_back(call.what);
        }
        return out;
    }

    TestClock clock;
    std::shared_ptr<RecordingController> controller;
    std::shared_ptr<SonorixAdjustmentJobManager> manager;
    std::shared_ptr<ReportingJob> job;
    std::shared_ptr<SonorixModel> model;
    std::shared_ptr<SonorixAlbum> album;
    std::shared_ptr<iTunesTrack> trackItem;
};

} // namespace

TEST(Progress, FractionCoversEmptyOverfullAndIndeterminate) {
    TestClock clock;
    auto progress = progressOn(clock);
    EXPECT_EQ(progress->fraction(), 0.0);
    progress->addTotal(30);
    progress->addDone(7.5);
    EXPECT_DOUBLE_EQ(progress->fraction(), 0.25);
    progress->addDone(40);
    EXPECT_EQ(progress->fraction(), 1.0);
    progress->setIndeterminate(true);
    EXPECT_EQ(progress->fraction(), -1.0);
    auto negative = progressOn(clock);
    negative->addTotal(-5);
    negative->addDone(1);
    EXPECT_EQ(negative->fraction(), 0.0);
}

TEST(Progress, SpeedIsMeasuredOnlyWhileAnalysesRunAndSmoothed) {
    TestClock clock;
    auto progress = progressOn(clock);
    EXPECT_EQ(progress->speed(), -1.0);

    progress->analysisStarted();
    progress->addAudioSeconds(3);
    clock.advance(0.25);
    // Too soon after the start for a measurement.
    EXPECT_EQ(progress->speed(), -1.0);
    clock.advance(0.75);
    EXPECT_DOUBLE_EQ(progress->speed(), 3.0);

    // A second analysis beside the first does not restart the measurement.
    progress->analysisStarted();
    progress->addAudioSeconds(12);
    clock.advance(2);
    EXPECT_DOUBLE_EQ(progress->speed(), 3.0 * 0.75 + 6.0 * 0.25);
    const double smoothed = progress->speed();

    // Too little audio since the last measurement: unchanged, and the window keeps growing.
    progress->addAudioSeconds(0.05);
    clock.advance(1);
    EXPECT_DOUBLE_EQ(progress->speed(), smoothed);
    progress->addAudioSeconds(0.95);
    EXPECT_DOUBLE_EQ(progress->speed(), smoothed * 0.75 + (1.0 / 1.0) * 0.25);

    progress->analysisEnded();
    EXPECT_GT(progress->speed(), 0.0);
    progress->analysisEnded();
    EXPECT_EQ(progress->speed(), -1.0);
    EXPECT_EQ(progress->runningAnalyses(), 0);

    // A new analysis starts a fresh measurement: the earlier audio does not count.
    clock.advance(10);
    progress->analysisStarted();
    progress->addAudioSeconds(2);
    clock.advance(1);
    EXPECT_DOUBLE_EQ(progress->speed(), 2.0);
}

TEST_F(Reporting, SecondReportWithinFiftyMillisecondsIsDroppedUnlessForced) {
    job->reportTrackProgress(trackItem, false);
    clock.advance(0.02);
    job->reportTrackProgress(trackItem, false);
    EXPECT_EQ(delivered(), (std::vector<std::string>{"track"}));

    clock.advance(0.01);
    job->reportTrackProgress(trackItem, true);
    EXPECT_EQ(delivered(), (std::vector<std::string>{"track", "revealTrack"}));

    // The interval counts from the forced report.
    clock.advance(0.04);
    job->reportTrackProgress(trackItem, false);
    EXPECT_TRUE(delivered().empty());
    clock.advance(0.02);
    job->reportTrackProgress(trackItem, false);
    EXPECT_EQ(delivered(), (std::vector<std::string>{"track"}));
}

TEST_F(Reporting, TrackAndAlbumReportsAreThrottledApart) {
    job->reportTrackProgress(trackItem, false);
    job->reportAlbumProgress(album, false);
    clock.advance(0.01);
    job->reportAlbumProgress(album, false);
    job->reportAlbumProgress(album, true);
    EXPECT_EQ(delivered(), (std::vector<std::string>{"track", "album", "album", "revealAlbum"}));
    EXPECT_EQ(controller->offMainThread, 0);
}

TEST_F(Reporting, FinalReportIsNeverDropped) {
    job->reportTrackProgress(trackItem, false);
    job->finalTrackReport(trackItem);
    job->reportAlbumProgress(album, false);
    job->finalAlbumReport(album);
    EXPECT_EQ(delivered(), (std::vector<std::string>{"track", "track", "album", "album"}));
}

TEST_F(Reporting, WorkersDoNotWaitForTheMainThread) {
    std::thread worker([&] {
        for (int i = 0; i < 10; ++i) {
            manager->trackProgress(trackItem, i == 0);
            manager->albumProgress(album, false);
        }
    });
    // The main thread runs nothing until the worker is done.
    worker.join();
    EXPECT_TRUE(controller->takeCalls().empty());
    loop->processPending();
    auto calls = controller->takeCalls();
    ASSERT_EQ(calls.size(), 21u);
    EXPECT_EQ(calls[0].what, "track");
    EXPECT_EQ(calls[0].item, trackItem.get());
    EXPECT_EQ(calls[1].what, "revealTrack");
    EXPECT_EQ(calls[2].what, "album");
    EXPECT_EQ(calls[2].item, album.get());
    EXPECT_EQ(controller->offMainThread, 0);
}
