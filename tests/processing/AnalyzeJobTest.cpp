#include "ProcessingTestSupport.h"

#include "audio/TrackAnalysis.h"
#include "foundation/Log.h"
#include "foundation/Text.h"
#include "processing/AlbumChain.h"
#include "processing/SonorixAnalyzeJob.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace sonorix;
using namespace sonorix::test;
using namespace std::chrono_literals;

namespace {

// Audio made once for every test of the suite.
struct AudioFiles {
    TempDir dir;
    std::string first, second, longer, tooShort, protectedFile;
    bool ok = false;

    AudioFiles() {
        first = dir.file("first.mp3");
        second = dir.file("second.mp3");
        longer = dir.file("longer.mp3");
        tooShort = dir.file("short.mp3");
        protectedFile = dir.file("store.m4a");
        ok = makeStereoMp3(first, "anoisesrc=d=3:c=pink:a=0.3:r=44100") &&
             makeStereoMp3(second, "sine=f=440:d=2:r=44100") &&
             makeStereoMp3(longer, "anoisesrc=d=8:c=brown:a=0.5:r=44100") &&
             makeStereoMp3(tooShort, "sine=f=1000:d=0.02:r=44100") &&
             makeAudio(protectedFile, "sine=f=300:d=1:r=44100", {"-c:a", "aac", "-b:a", "64k"}) &&
             markEncrypted(protectedFile);
    }

    // An iTunes Store purchase keeps its audio in a "drms" sample entry instead of "mp4a".
    static bool markEncrypted(const std::string& path) {
        std::string bytes = readFile(path);
        size_t stsd = bytes.find("stsd");
        size_t entry = stsd == std::string::npos ? stsd : bytes.find("mp4a", stsd);
        if (entry == std::string::npos) {
            return false;
        }
        bytes.replace(entry, 4, "drms");
        writeFile(path, bytes);
        return true;
    }
};

AudioFiles& audio() {
    static AudioFiles files;
    return files;
}

// A manager like the automatic one: each worker has its own display line.
class AnalyzeManager : public SonorixAdjustmentJobManager {
public:
    AnalyzeManager(std::shared_ptr<RecordingController> controller,
                   std::shared_ptr<DisplayMessageScheduler> scheduler,
                   std::shared_ptr<std::atomic<int>> finished)
        : SonorixAdjustmentJobManager(controller, {}, scheduler), m_scheduler(scheduler),
          m_finished(std::move(finished)) {}

    WorkerContext createWorkerContext() override {
        return {DisplayMessage::create(u"Processing Tracks", u"", progress(),
                                       DisplayMessage::kWorkerLine, 0, m_scheduler)};
    }
    void allJobsFinished() override { ++*m_finished; }

protected:
    int usableProcessors() override { return 1; }

private:
    std::shared_ptr<DisplayMessageScheduler> m_scheduler;
    std::shared_ptr<std::atomic<int>> m_finished;
};

class Analyzing : public ProcessingFixture {
protected:
    void SetUp() override {
        if (!audio().ok) {
            GTEST_SKIP() << "ffmpeg could not make the test audio";
        }
        ASSERT_TRUE(openLog(m_dir.file("Sonorix.log")));
        controller = std::make_shared<RecordingController>();
        scheduler = DisplayMessageScheduler::create();
        scheduler->setTarget(controller);
    }
    void TearDown() override {
        if (scheduler) {
            scheduler->setTarget(nullptr);
        }
        closeLog();
    }

    LibraryTrack fileTrack(uint64_t id, const std::string& path, int ms,
                           const std::string& album = "Songs") {
        LibraryTrack t = track(id).on(album).named("T" + std::to_string(id));
        t.trackNumber = static_cast<int>(id);
        t.location = fileUrl(path);
        t.totalTimeMs = ms;
        return t;
    }

    // Analyses every album of the default group with one worker and returns the manager.
    std::shared_ptr<AnalyzeManager> analyseAll(SonorixModel& model) {
        auto finished = std::make_shared<std::atomic<int>>(0);
        auto manager = std::make_shared<AnalyzeManager>(controller, scheduler, finished);
        auto group = defaultGroup(model);
        for (const auto& album : group->albums()) {
            addAlbumJobs(manager, group, album, {});
        }
        manager->start();
        EXPECT_TRUE(runLoopUntil([&] { return *finished > 0; }));
        loop->processPending();
        return manager;
    }

    std::shared_ptr<SonorixTrackStatus> status(SonorixModel& model, uint64_t id) {
        return model.statusLibrary()->trackStatus(id, false);
    }

    size_t analysisLogLines() {
        std::string log = readFile(m_dir.file("Sonorix.log"));
        size_t count = 0;
        for (size_t at = log.find("Sonorix: Analyzing "); at != std::string::npos;
             at = log.find("Sonorix: Analyzing ", at + 1)) {
            ++count;
        }
        return count;
    }

    std::shared_ptr<RecordingController> controller;
    std::shared_ptr<DisplayMessageScheduler> scheduler;
};

} // namespace

TEST_F(Analyzing, StoresTheMeasurementOfEachTrackOnce) {
    // Copies, since this test takes them away again.
    const std::string first = m_dir.file("first.mp3"), second = m_dir.file("second.mp3");
    writeFile(first, readFile(audio().first));
    writeFile(second, readFile(audio().second));
    auto model = loadModel({fileTrack(1, first, 3000), fileTrack(2, second, 2000)});
    auto album = defaultGroup(*model)->albums().at(0);
    ASSERT_EQ(album->tracks().size(), 2u);
    auto albumStatus = model->statusLibrary()->albumStatus(*album, true, false);

    auto manager = analyseAll(*model);

    for (auto [id, path] : {std::pair{1, first}, std::pair{2, second}}) {
        SCOPED_TRACE(path);
        auto s = status(*model, id);
        ASSERT_TRUE(s);
        double gain = 0, peak = 0;
        std::shared_ptr<DateTimePoint> date;
        ASSERT_TRUE(s->getGainAndPeak(gain, peak, &date));
        ASSERT_TRUE(date);
        // The same arithmetic as the bare measurement of the file.
        TrackAnalysis bare = analyzeFile(path);
        EXPECT_FLOAT_EQ(static_cast<float>(gain), bare.gain);
        EXPECT_FLOAT_EQ(static_cast<float>(peak), bare.peak);
        // The file had no Sound Check text yet: that stays known, but the state is clear.
        EXPECT_EQ(s->getError(), kErrorTag);
        EXPECT_EQ(s->getState(), kStateNone);
        EXPECT_EQ(s->getAnalyzeError(), kErrorNone);
        EXPECT_NEAR(s->progressDone(), SonorixAnalyzeJob::kTrackUnits, 1e-9);
        EXPECT_EQ(s->processingCount(), 0);
    }
    EXPECT_NEAR(albumStatus->progressDone(), 2 * SonorixAnalyzeJob::kAlbumUnits, 1e-9);
    EXPECT_EQ(albumStatus->processingCount(), 0);
    EXPECT_EQ(manager->progress()->total(), 60.0);
    EXPECT_NEAR(manager->progress()->done(), 60.0, 1e-9);
    EXPECT_EQ(manager->progress()->speed(), -1.0);
    EXPECT_GT(saveRequests, 0);

    std::string log = readFile(m_dir.file("Sonorix.log"));
    EXPECT_NE(log.find("Sonorix: Analyzing Band - Songs - T1 (" + first + ") ..."),
              std::string::npos)
        << log;
    EXPECT_EQ(analysisLogLines(), 2u);

    // Each track was brought into view as its job began; the rows were refreshed.
    EXPECT_EQ(controller->count("revealTrack"), 2u);
    EXPECT_EQ(controller->count("revealAlbum", album.get()), 2u);
    EXPECT_EQ(controller->offMainThread, 0);
    // A worker's line named a track while it was measured and went away afterwards. Which
    // track is on display when depends on how the lines took turns.
    bool named = false;
    const void* lastMessage = nullptr;
    for (const auto& call : controller->takeCalls()) {
        if (call.what == "message") {
            const std::string detail = toUtf8(call.detail);
            named = named || detail.find("T1") != std::string::npos ||
                    detail.find("T2") != std::string::npos;
            lastMessage = call.item;
        }
    }
    EXPECT_TRUE(named);
    EXPECT_EQ(lastMessage, nullptr);

    // A second run finds the results and never looks at the files.
    ASSERT_EQ(::unlink(first.c_str()), 0);
    ASSERT_EQ(::unlink(second.c_str()), 0);
    double before = 0, peakBefore = 0;
    status(*model, 1)->getGainAndPeak(before, peakBefore);
    auto again = analyseAll(*model);
    EXPECT_EQ(analysisLogLines(), 2u);
    double after = 0, peakAfter = 0;
    ASSERT_TRUE(status(*model, 1)->getGainAndPeak(after, peakAfter));
    EXPECT_EQ(after, before);
    EXPECT_EQ(status(*model, 1)->getState(), kStateNone);
    EXPECT_EQ(status(*model, 1)->getError(), kErrorTag);
    EXPECT_NEAR(again->progress()->done(), 60.0, 1e-9);
    EXPECT_NEAR(status(*model, 2)->progressDone(), SonorixAnalyzeJob::kTrackUnits, 1e-9);
    for (const auto& call : controller->takeCalls()) {
        EXPECT_NE(call.what, "message") << "no track was named";
    }
}

TEST_F(Analyzing, FilesThatCannotBeMeasuredGetTheirErrors) {
    const std::string missing = m_dir.file("deleted.mp3");
    auto model =
        loadModel({fileTrack(1, missing, 3000, "A"), fileTrack(2, audio().tooShort, 20, "B"),
                   fileTrack(3, audio().protectedFile, 1000, "C")});
    auto manager = analyseAll(*model);

    struct Expected {
        uint64_t id;
        int16_t error;
    };
    for (auto [id, error] :
         {Expected{1, kErrorFile}, Expected{2, kErrorAnalyze}, Expected{3, kErrorProtected}}) {
        SCOPED_TRACE(id);
        auto s = status(*model, id);
        double gain = 0, peak = 0;
        EXPECT_FALSE(s->getGainAndPeak(gain, peak));
        EXPECT_EQ(s->getError(), error);
        EXPECT_EQ(s->getAnalyzeError(), error);
        EXPECT_EQ(s->getState(), kStateFailed);
        EXPECT_NEAR(s->progressDone(), SonorixAnalyzeJob::kTrackUnits, 1e-9);
        EXPECT_EQ(s->processingCount(), 0);
    }
    EXPECT_EQ(status(*model, 1)->getFileError(), kFileErrorNotFound);
    // The missing file was never opened for measuring; the other two were.
    std::string log = readFile(m_dir.file("Sonorix.log"));
    EXPECT_EQ(log.find("deleted.mp3) ..."), std::string::npos);
    EXPECT_EQ(analysisLogLines(), 2u);
    EXPECT_NEAR(manager->progress()->done(), 90.0, 1e-9);
    // Albums of one track have no album row to update.
    EXPECT_EQ(controller->count("album"), 0u);
    EXPECT_EQ(controller->count("revealAlbum"), 0u);
}

TEST_F(Analyzing, StopDuringTheFileStoresNothingAndCompletesTheUnits) {
    auto model = loadModel({fileTrack(1, audio().longer, 8000)});
    auto group = defaultGroup(*model);
    auto album = group->albums().at(0);
    auto trackItem = album->tracks().at(0);
    auto s = model->statusLibrary()->trackStatus(1, true);

    // Every report passes the throttle, so the job can be stopped at its first partial report.
    double ticks = 1000;
    auto manager = std::make_shared<SonorixAdjustmentJobManager>(
        controller, [&ticks] { return ticks += 1; }, scheduler);
    auto job = std::make_shared<SonorixAnalyzeJob>(manager, group, album, trackItem);
    int partialReports = 0;
    controller->onTrackRefresh = [&](const std::shared_ptr<iTunesTrack>&) {
        const double done = s->progressDone();
        if (done > 0 && done < SonorixAnalyzeJob::kTrackUnits) {
            ++partialReports;
            job->cancel();
        }
    };
    // On this thread, so that the refresh runs while the job is between two buffers.
    job->perform({}, 0);
    controller->onTrackRefresh = nullptr;

    EXPECT_EQ(partialReports, 1);
    double gain = 0, peak = 0;
    EXPECT_FALSE(s->getGainAndPeak(gain, peak));
    EXPECT_EQ(s->getState(), kStateNone);
    EXPECT_EQ(s->getAnalyzeError(), kErrorNone);
    EXPECT_NEAR(s->progressDone(), SonorixAnalyzeJob::kTrackUnits, 1e-9);
    EXPECT_EQ(s->processingCount(), 0);
    EXPECT_NEAR(manager->progress()->done(), SonorixAnalyzeJob::kTrackUnits, 1e-9);
    EXPECT_EQ(manager->progress()->runningAnalyses(), 0);

    // A later run measures the track.
    analyseAll(*model);
    EXPECT_TRUE(s->getGainAndPeak(gain, peak));
    EXPECT_EQ(s->getState(), kStateNone);
}

TEST_F(Analyzing, LogLineLeavesOutMissingParts) {
    auto model = loadModel({[] {
        LibraryTrack t = track(7).named("Name");
        t.artist.clear();
        t.albumArtist = "Various";
        return t;
    }()});
    auto t = defaultGroup(*model)->albums().at(0)->tracks().at(0);
    EXPECT_EQ(analysisLogLine(*t, "/m/x.mp3"), "Sonorix: Analyzing Various - Name (/m/x.mp3) ...");
}
