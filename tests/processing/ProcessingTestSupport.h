#pragma once

// Stand-ins for what the processing layer talks to: a controller that records what reached it,
// a clock the test moves, and a model over a generated library.

#include "foundation/Paths.h"
#include "foundation/Threads.h"
#include "model/LibraryFile.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"
#include "model/SonorixStatus.h"
#include "model/TrackAccess.h"
#include "processing/ControllerHooks.h"
#include "processing/DisplayMessage.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sonorix::test {

// Records every call with the thread it came on.
class RecordingController : public SonorixControllerHooks {
public:
    struct Call {
        Call(std::string what, const void* item) : what(std::move(what)), item(item) {}

        std::string what; // "track", "revealTrack", "album", "revealAlbum", "message", "progress"
        const void* item = nullptr;
        bool withTexts = false;
        std::u16string text;
        std::u16string detail;
    };

    void refreshTrack(const std::shared_ptr<iTunesTrack>& track) override {
        record({"track", track.get()});
        if (onTrackRefresh) {
            onTrackRefresh(track);
        }
    }
    void refreshAlbum(const std::shared_ptr<SonorixAlbum>& album) override {
        record({"album", album.get()});
    }
    void revealTrack(const std::shared_ptr<iTunesTrack>& track) override {
        record({"revealTrack", track.get()});
    }
    void revealAlbum(const std::shared_ptr<SonorixAlbum>& album) override {
        record({"revealAlbum", album.get()});
    }
    void showDisplayMessage(const std::shared_ptr<DisplayMessage>& message) override {
        Call call{"message", message.get()};
        if (message) {
            call.text = message->text();
            call.detail = message->detail();
        }
        // The scheduler must not hold its lock while it calls us.
        if (scheduler) {
            EXPECT_EQ(scheduler->currentMessage(), message);
        }
        record(call);
    }
    void showProgress(const std::shared_ptr<DisplayProgress>& progress, bool withTexts) override {
        Call call{"progress", progress.get()};
        call.withTexts = withTexts;
        record(call);
    }
    void setSpeedometerValue(double speed) override {
        std::lock_guard<std::mutex> hold(mutex);
        speeds.push_back(speed);
    }

    void processorFinished(const std::shared_ptr<JobManager>& processor) override {
        record({"finished", processor.get()});
    }

    std::vector<Call> takeCalls() {
        std::lock_guard<std::mutex> hold(mutex);
        std::vector<Call> out;
        out.swap(calls);
        return out;
    }
    size_t count(const std::string& what, const void* item = nullptr) {
        std::lock_guard<std::mutex> hold(mutex);
        size_t n = 0;
        for (const auto& call : calls) {
            n += call.what == what && (!item || call.item == item);
        }
        return n;
    }

    std::mutex mutex;
    std::vector<Call> calls;
    std::vector<double> speeds;
    std::atomic<int> offMainThread{0};
    std::shared_ptr<DisplayMessageScheduler> scheduler;
    std::function<void(const std::shared_ptr<iTunesTrack>&)> onTrackRefresh;

private:
    void record(Call call) {
        if (!isMainThread()) {
            ++offMainThread;
        }
        std::lock_guard<std::mutex> hold(mutex);
        calls.push_back(std::move(call));
    }
};

// Seconds that move only when the test moves them; shared with whatever reads them.
struct TestClock {
    std::shared_ptr<std::atomic<double>> now = std::make_shared<std::atomic<double>>(1000.0);

    SecondsClock clock() const {
        auto value = now;
        return [value] { return value->load(); };
    }
    void advance(double seconds) { *now = now->load() + seconds; }
    double operator()() const { return now->load(); }
};

// A run loop on the test thread, a data folder of its own and a model over a generated library.
class ProcessingFixture : public ::testing::Test {
protected:
    ProcessingFixture() {
        setDataFolderOverride(m_dir.path() + "/data");
        loop = std::make_shared<BasicRunLoop>();
        setMainRunLoop(loop);
    }
    ~ProcessingFixture() override {
        // Lets waiting calls of ending workers through before the loop goes.
        loop->runUntil([] { return false; }, std::chrono::milliseconds(20));
        clearMainRunLoop();
        setDataFolderOverride("");
    }

    std::shared_ptr<SonorixModel> loadModel(const std::vector<LibraryTrack>& tracks,
                                            int32_t albumMode = SonorixOptions::kCombineAlbums) {
        std::string path = m_dir.file("Library.xml");
        writeFile(path, libraryXml(tracks));
        auto model = SonorixModel::create();
        // No real save timers: the tests never wait three minutes.
        model->setSaveTimerFactory([this](double, std::function<void()>) {
            ++saveRequests;
            return std::shared_ptr<SaveTimer>();
        });
        model->load(path);
        model->groups()->groupAt(0)->options().setAlbumMode(albumMode);
        return model;
    }

    static std::shared_ptr<SonorixGroup> defaultGroup(SonorixModel& model) {
        return model.groups()->groupAt(0);
    }

    static std::string fileUrl(const std::string& path) { return "file://" + path; }

    bool runLoopUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
        return loop->runUntil(done, timeout);
    }

    TempDir m_dir;
    std::shared_ptr<BasicRunLoop> loop;
    std::atomic<int> saveRequests{0};
};

} // namespace sonorix::test
