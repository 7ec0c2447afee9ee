#include "app/SonorixController.h"
#include "foundation/DateTimePoint.h"
#include "foundation/Localization.h"
#include "foundation/Log.h"
#include "foundation/Paths.h"
#include "foundation/Threads.h"
#include "itunes/iTunesBackendLibraryFile.h"
#include "itunes/iTunesLibrary.h"
#include "model/LibraryFile.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"
#include "model/SonorixPreferences.h"
#include "model/SonorixStatus.h"
#include "processing/DisplayMessage.h"
#include "processing/SonorixAutomaticAdjustmentJobManager.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

using namespace sonorix;
using namespace sonorix::test;

namespace {

std::string text(const char* key) {
    return Localization::shared().localizedString(key);
}

struct Alert {
    std::string title;
    std::string message;
    std::vector<std::string> buttons;
    bool tall = false;
};

// A front end that records what the controller asked of it. Its connection is the library file
// named by libraryPath (none: the usual places, which the tests leave empty).
class RecordingFrontEnd final : public SonorixController {
public:
    using SonorixController::showAlert;

    void prepare(std::shared_ptr<DisplayMessageScheduler> scheduler) {
        setDisplayScheduler(std::move(scheduler));
        setContinuationDelay(0.01);
    }

    void startUp(bool) override {
        iTunesBackendLibraryFile::Options options;
        options.handedFile = libraryPath;
        backend = iTunesBackendLibraryFile::create(options);
        std::shared_ptr<iTunesControllerHooks> hooks = sharedFromThis();
        auto connection = std::make_shared<iTunesController>(backend, hooks);
        connection->connect();
        setITunesController(connection);
    }
    void showImportantNotice() override { ++notices; }
    void tracksChanged(const OutlineItem& item) override { item ? ++rowRedraws : ++reloads; }
    void revealItem(const OutlineItem&) override { ++reveals; }
    void setGroupPaneHidden(bool hidden) override { paneHidden = hidden; }
    void setStatusText(const std::string& text) override { statusText = text; }
    void setGroupButtonsEnabled(bool add, bool remove) override {
        addEnabled = add;
        deleteEnabled = remove;
    }
    void updateGroupOptions() override {}
    void selectGroup(const std::shared_ptr<SonorixGroup>& group) override { selectedGroup = group; }
    void setStartEnabled(bool enabled) override { startEnabled = enabled; }
    void setStartButtonRunning(bool running) override { buttonRunning = running; }
    void setSearchField(const std::u16string&, bool) override {}
    void updateSpeedometer() override {}
    void preventSleep() override { ++sleepPrevented; }
    void allowSleep() override { ++sleepAllowed; }
    void showDisplayMessage(const std::shared_ptr<DisplayMessage>& message) override {
        if (message) {
            messages.push_back(message->text());
        }
    }
    void showProgress(const std::shared_ptr<DisplayProgress>&, bool) override {}
    void showAlert(const std::string& title, const std::string& message, const std::string& button,
                   bool tall) override {
        alerts.push_back({title, message, {button}, tall});
    }
    int askAlert(const std::string& title, const std::string& message,
                 const std::vector<std::string>& buttons, bool tall) override {
        questions.push_back({title, message, buttons, tall});
        return answer;
    }
    void processingFinished() override { ++finishedRuns; }
    void showPreferences() override { ++preferencesShown; }
    void openURL(const std::string&) override { ++urlsOpened; }
    void chooseLibraryFile() override { ++libraryChoices; }
    void quitApplication() override { ++quits; }

    std::string libraryPath;
    std::shared_ptr<iTunesBackendLibraryFile> backend;
    int answer = 0;
    std::vector<Alert> alerts;
    std::vector<Alert> questions;
    std::vector<std::u16string> messages;
    std::shared_ptr<SonorixGroup> selectedGroup;
    std::string statusText;
    bool paneHidden = true;
    bool addEnabled = false;
    bool deleteEnabled = false;
    bool startEnabled = false;
    bool buttonRunning = false;
    int notices = 0, rowRedraws = 0, reloads = 0, reveals = 0, sleepPrevented = 0, sleepAllowed = 0,
        finishedRuns = 0, preferencesShown = 0, urlsOpened = 0, libraryChoices = 0, quits = 0;
};

// Short generated tracks, made once per run.
struct Audio {
    TempDir dir;
    std::vector<std::string> files;
    bool ok = true;
    Audio() {
        const char* sources[] = {"anoisesrc=d=1:c=pink:a=0.5:r=44100", "sine=f=440:d=1:r=44100",
                                 "anoisesrc=d=1:c=brown:a=0.2:r=44100"};
        for (const char* source : sources) {
            files.push_back(dir.file("t" + std::to_string(files.size()) + ".mp3"));
            ok = ok && makeStereoMp3(files.back(), source);
        }
    }
};

Audio& audio() {
    static Audio made;
    return made;
}

class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        setDataFolderOverride(m_dir.file("data"));
        ASSERT_TRUE(openLog(m_dir.file("Sonorix.log")));
        loop = std::make_shared<BasicRunLoop>();
        setMainRunLoop(loop);
        scheduler = DisplayMessageScheduler::create();
    }
    void TearDown() override {
        if (app) {
            std::weak_ptr<JobManager> processor = app->adjustingProcessor();
            app->shutDown();
            waitUntilGone(processor);
        }
        runFor(std::chrono::milliseconds(20));
        app.reset();
        clearMainRunLoop();
        closeLog();
        setDataFolderOverride("");
    }

    std::string writeLibrary(const std::vector<LibraryTrack>& tracks,
                             const std::string& version = "10.0.1") {
        std::string path = m_dir.file("Library.xml");
        writeFile(path, libraryXml(tracks, version));
        return path;
    }

    // Tracks 1…n on one album, over files that need not exist.
    std::vector<LibraryTrack> albumTracks(const std::vector<std::string>& files) {
        std::vector<LibraryTrack> tracks;
        for (size_t i = 0; i < files.size(); ++i) {
            LibraryTrack t = track(i + 1).on("Album").named("T" + std::to_string(i + 1));
            t.trackNumber = static_cast<int>(i + 1);
            t.totalTimeMs = 1000;
            t.location = "file://" + files[i];
            tracks.push_back(t);
        }
        return tracks;
    }

    std::vector<std::string> copiesOfAudio() {
        std::vector<std::string> copies;
        for (const auto& file : audio().files) {
            copies.push_back(m_dir.file("copy-" + std::to_string(copies.size()) + ".mp3"));
            writeFile(copies.back(), readFile(file));
        }
        return copies;
    }

    // Starts the application and runs the main loop until the start-up has played out: the
    // notice after a good start, the quit after a failed one.
    void launch(const std::string& libraryPath) {
        app = std::make_shared<RecordingFrontEnd>();
        app->libraryPath = libraryPath;
        app->prepare(scheduler);
        app->start(m_dir.file("sonorix.plist"));
        ASSERT_TRUE(loop->runUntil([&] { return app->notices + app->quits > 0; },
                                   std::chrono::seconds(20)));
        // Long enough for a continuation that should not come.
        runFor(std::chrono::milliseconds(50));
    }

    void runFor(std::chrono::milliseconds duration) {
        loop->runUntil([] { return false; }, duration);
    }

    bool runUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            loop->processPending(std::chrono::milliseconds(5));
        }
        return true;
    }

    // A stopped processor still lets its running jobs finish; they must not outlive the test.
    void waitUntilGone(const std::weak_ptr<JobManager>& processor) {
        EXPECT_TRUE(runUntil([&] { return processor.expired(); }, std::chrono::seconds(30)));
    }

    std::string log() { return readFile(m_dir.file("Sonorix.log")); }

    std::shared_ptr<SonorixGroup> defaultGroup() { return app->model()->groups()->groupAt(0); }

    std::shared_ptr<SonorixTrackStatus> status(uint64_t id) {
        return app->model()->statusLibrary()->trackStatus(id, false);
    }

    TempDir m_dir;
    ScopedEnv m_home{"HOME", m_dir.path()};
    std::shared_ptr<BasicRunLoop> loop;
    std::shared_ptr<DisplayMessageScheduler> scheduler;
    std::shared_ptr<RecordingFrontEnd> app;
};

// ---- start-up

TEST_F(ControllerTest, GoodStartShowsTheDefaultGroupAndThenTheNotice) {
    launch(writeLibrary(albumTracks({"/nowhere/a.mp3", "/nowhere/b.mp3", "/nowhere/c.mp3"})));

    EXPECT_EQ(app->startupResult(), SonorixModel::kLoaded);
    ASSERT_TRUE(app->isLibraryLoaded());
    EXPECT_EQ(SonorixModel::current(), app->model());
    EXPECT_EQ(app->currentGroup(), defaultGroup());
    EXPECT_EQ(app->selectedGroup, defaultGroup());
    EXPECT_FALSE(app->paneHidden);
    EXPECT_TRUE(app->addEnabled);
    EXPECT_FALSE(app->deleteEnabled); // the default group cannot be deleted
    EXPECT_TRUE(app->startEnabled);
    EXPECT_FALSE(app->buttonRunning);
    EXPECT_EQ(app->statusText, formatString(text("StatusFormatString").c_str(), 3,
                                            static_cast<int>(defaultGroup()->albums().size())));
    EXPECT_EQ(app->notices, 1);
    EXPECT_TRUE(app->alerts.empty());
    EXPECT_EQ(app->quits, 0);
    EXPECT_EQ(scheduler->currentMessage(), nullptr); // the loading message is gone

    const std::string written = log();
    EXPECT_NE(written.find("active processor cores found"), std::string::npos);
    EXPECT_NE(written.find("appLanguage="), std::string::npos);
    EXPECT_NE(written.find("Update Check ..."), std::string::npos);
    EXPECT_NE(written.find("... Started."), std::string::npos);
}

TEST_F(ControllerTest, NoticeIsLeftOutWhenTheUserTurnedItOff) {
    SonorixPreferences preferences;
    preferences.load(m_dir.file("sonorix.plist"));
    preferences.setDontShowQuickStartGuide(true);
    ASSERT_TRUE(preferences.save());

    app = std::make_shared<RecordingFrontEnd>();
    app->libraryPath = writeLibrary(albumTracks({"/nowhere/a.mp3"}));
    app->prepare(scheduler);
    app->start(m_dir.file("sonorix.plist"));
    ASSERT_TRUE(runUntil([&] { return log().find("... Started.") != std::string::npos; },
                         std::chrono::seconds(20)));
    EXPECT_TRUE(app->isLibraryLoaded());
    EXPECT_EQ(app->notices, 0);
}

struct StartupCase {
    const char* name;
    int32_t code;
    const char* alertTitle;
    const char* logLine;
};

class StartupErrors : public ControllerTest, public ::testing::WithParamInterface<StartupCase> {};

TEST_P(StartupErrors, EndTheRunWithOneAlert) {
    const StartupCase& c = GetParam();
    std::string path;
    if (std::string(c.name) == "garbage") {
        path = m_dir.file("Library.xml");
        writeFile(path, "this is not a property list");
    } else if (std::string(c.name) == "named-but-missing") {
        path = m_dir.file("absent.xml");
    } else if (std::string(c.name) == "too-old") {
        path = writeLibrary(albumTracks({"/nowhere/a.mp3"}), "6.0.3");
    } else if (std::string(c.name) == "empty") {
        path = writeLibrary({});
    }
    launch(path);

    EXPECT_EQ(app->startupResult(), c.code);
    EXPECT_FALSE(app->isLibraryLoaded());
    EXPECT_FALSE(app->startEnabled);
    EXPECT_EQ(app->notices, 0);
    ASSERT_EQ(app->alerts.size(), 1u);
    EXPECT_EQ(app->alerts[0].title, text(c.alertTitle));
    EXPECT_EQ(app->quits, 1);
    EXPECT_NE(log().find(c.logLine), std::string::npos) << log();
    // Start does nothing without a library.
    app->startButtonClicked();
    EXPECT_FALSE(app->canStart(SonorixController::kModeAll, false));
    EXPECT_TRUE(app->questions.empty());
    EXPECT_FALSE(app->isAdjusting());
}

INSTANTIATE_TEST_SUITE_P(
    Codes, StartupErrors,
    ::testing::Values(
        // No file handed and none in the usual places: the connection finds nothing.
        StartupCase{"not-found", SonorixModel::kCantLoadiTunes, "iTunesLibraryNotFound_Title",
                    "CantLoadiTunesException"},
        // A named file that is not there is told apart from one that cannot be read.
        StartupCase{"named-but-missing", SonorixModel::kCantLoadiTunesXML,
                    "iTunesLibraryMissing_Title", "CantLoadiTunesXMLException"},
        StartupCase{"garbage", SonorixModel::kCantLoadiTunesXML, "iTunesXMLError_Title",
                    "CantLoadiTunesXMLException"},
        StartupCase{"too-old", SonorixModel::kiTunesTooOld, "iTunesTooOld_Title",
                    "iTunesTooOldException"},
        StartupCase{"empty", SonorixModel::kLibraryEmpty, "iTunesLibraryEmpty_Title",
                    "iTunes Library Empty"}),
    [](const auto& info) {
        std::string name = info.param.name;
        std::replace(name.begin(), name.end(), '-', '_');
        return name;
    });

// ---- no tracks to process

TEST_F(ControllerTest, EachModeExplainsWhyNothingWasQueued) {
    auto tracks = albumTracks({m_dir.file("a.mp3"), m_dir.file("b.mp3")});
    LibraryTrack video = track(9).named("Clip");
    video.video = true;
    tracks.push_back(video);
    writeFile(m_dir.file("a.mp3"), "");
    launch(writeLibrary(tracks));
    ASSERT_TRUE(app->isLibraryLoaded());
    auto expectAlert = [&](int32_t mode, const char* title, const char* message,
                           bool tall = false) {
        app->alerts.clear();
        const int allowedBefore = app->sleepAllowed;
        EXPECT_FALSE(app->startAdjusting(mode)) << message;
        ASSERT_EQ(app->alerts.size(), 1u) << message;
        EXPECT_EQ(app->alerts[0].title, text(title));
        EXPECT_EQ(app->alerts[0].message, text(message));
        EXPECT_EQ(app->alerts[0].buttons, std::vector<std::string>{text("ProcessorEmpty_OK")});
        EXPECT_EQ(app->alerts[0].tall, tall) << message;
        EXPECT_FALSE(app->isAdjusting());
        EXPECT_FALSE(app->buttonRunning);
        EXPECT_EQ(app->sleepAllowed, allowedBefore + 1) << "sleep is allowed again";
    };

    // An empty selection in Sonorix, and nothing selected in iTunes.
    expectAlert(SonorixController::kModeSelectedInSonorix, "ProcessorEmpty_SelectionEmpty_Title",
                "ProcessorEmpty_SelectionEmpty_Message");
    expectAlert(SonorixController::kModeSelectedInITunes,
                "ProcessorEmpty_iTunesSelectionEmpty_Title",
                "ProcessorEmpty_iTunesSelectionEmpty_Message");

    // The current group set to Adjust Manually is named as the reason, not an empty group.
    defaultGroup()->options().setOperationMode(SonorixOptions::kAdjustManually);
    expectAlert(SonorixController::kModeAll, "ProcessorEmpty_All_Title",
                "ProcessorEmpty_All_Message");
    expectAlert(SonorixController::kModeCurrentGroup, "ProcessorEmpty_GroupNotAutomatic_Title",
                "ProcessorEmpty_GroupNotAutomatic_Message");
    app->tracksTable().setSelectedItems({defaultGroup()->albums().front()});
    expectAlert(SonorixController::kModeSelectedInSonorix, "ProcessorEmpty_GroupNotAutomatic_Title",
                "ProcessorEmpty_GroupNotAutomatic_Message");
    // Tracks selected in iTunes that Sonorix knows, none of them in an automatic group.
    app->backend->setHandedFiles({m_dir.file("a.mp3")});
    expectAlert(SonorixController::kModeSelectedInITunes,
                "ProcessorEmpty_iTunesSelectionNotAutomatic_Title",
                "ProcessorEmpty_iTunesSelectionNotAutomatic_Message");

    app->setCurrentGroup(nullptr, true);
    EXPECT_TRUE(app->paneHidden);
    EXPECT_EQ(app->statusText, "");
    EXPECT_FALSE(app->canStart(SonorixController::kModeCurrentGroup, true));
    EXPECT_TRUE(app->canStart(SonorixController::kModeCurrentGroup, false));
    expectAlert(SonorixController::kModeCurrentGroup, "ProcessorEmpty_NoGroup_Title",
                "ProcessorEmpty_NoGroup_Message");
    EXPECT_EQ(app->sleepPrevented, 7);
}

TEST_F(ControllerTest, AnAutomaticGroupWithoutTracksIsCalledEmpty) {
    LibraryTrack video = track(9).named("Clip");
    video.video = true;
    launch(writeLibrary({video}));
    ASSERT_TRUE(app->isLibraryLoaded());
    EXPECT_FALSE(app->startAdjusting(SonorixController::kModeCurrentGroup));
    ASSERT_EQ(app->alerts.size(), 1u);
    EXPECT_EQ(app->alerts[0].message, text("ProcessorEmpty_GroupEmpty_Message"));
}

TEST_F(ControllerTest, ITunes9LibraryGetsTheTallSelectionMessage) {
    launch(writeLibrary(albumTracks({"/nowhere/a.mp3"}), "9.0.0"));
    ASSERT_TRUE(app->isLibraryLoaded());
    EXPECT_FALSE(app->startAdjusting(SonorixController::kModeSelectedInITunes));
    ASSERT_EQ(app->alerts.size(), 1u);
    EXPECT_EQ(app->alerts[0].title, text("ProcessorEmpty_iTunesSelectionEmpty_Title"));
    EXPECT_EQ(app->alerts[0].message, text("ProcessorEmpty_iTunes9WinSelectionEmpty_Message"));
    EXPECT_TRUE(app->alerts[0].tall);
}

// ---- the Start button

TEST_F(ControllerTest, FirstStartAsksOnceThenAdjustsAllAndASecondPressStops) {
    launch(writeLibrary(albumTracks({"/nowhere/a.mp3", "/nowhere/b.mp3"})));
    ASSERT_TRUE(app->isLibraryLoaded());
    ASSERT_EQ(app->preferences()->startButtonMode(), -1);

    app->startButtonClicked();
    ASSERT_EQ(app->questions.size(), 1u);
    EXPECT_EQ(app->questions[0].title, text("StartConfigurable_Title"));
    EXPECT_EQ(app->questions[0].buttons,
              (std::vector<std::string>{text("StartConfigurable_Start"),
                                        text("StartConfigurable_ShowPrefs")}));
    EXPECT_TRUE(app->questions[0].tall);
    ASSERT_TRUE(app->isAdjusting());
    std::weak_ptr<JobManager> processor = app->adjustingProcessor();
    EXPECT_EQ(app->adjustingProcessor()->mode(), SonorixController::kModeAll);
    EXPECT_TRUE(app->buttonRunning);
    EXPECT_FALSE(app->addEnabled);
    EXPECT_EQ(app->sleepPrevented, 1);
    EXPECT_EQ(app->adjustingMenuTitle(), text("StopAdjustingMenuTitle"));
    // Only the running mode's item is offered: it stops the run.
    EXPECT_TRUE(app->canStart(SonorixController::kModeAll, true));
    EXPECT_FALSE(app->canStart(SonorixController::kModeCurrentGroup, false));

    // Stored for the next start as well.
    EXPECT_EQ(app->preferences()->startButtonMode(), 0);
    SonorixPreferences reread;
    reread.load(m_dir.file("sonorix.plist"));
    EXPECT_EQ(reread.startButtonMode(), 0);

    app->startButtonClicked();
    EXPECT_FALSE(app->isAdjusting());
    EXPECT_EQ(app->questions.size(), 1u);
    EXPECT_FALSE(app->buttonRunning);
    EXPECT_TRUE(app->addEnabled);
    EXPECT_EQ(app->sleepAllowed, 1);
    EXPECT_EQ(app->adjustingMenuTitle(), text("StartAdjustingMenuTitle"));
    waitUntilGone(processor);
    EXPECT_EQ(app->finishedRuns, 0); // stopped by the user: no sound

    // The question does not come again.
    app->startButtonClicked();
    EXPECT_EQ(app->questions.size(), 1u);
    EXPECT_TRUE(app->isAdjusting());
    app->startOrStop(SonorixController::kModeCurrentGroup); // another mode's item: disabled
    EXPECT_TRUE(app->isAdjusting());
    processor = app->adjustingProcessor();
    app->startOrStop(SonorixController::kModeAll);
    EXPECT_FALSE(app->isAdjusting());
    waitUntilGone(processor);
}

TEST_F(ControllerTest, OpenPreferencesOnTheFirstStartChangesNothing) {
    launch(writeLibrary(albumTracks({"/nowhere/a.mp3"})));
    app->answer = 1;
    app->startButtonClicked();
    EXPECT_EQ(app->questions.size(), 1u);
    EXPECT_EQ(app->preferencesShown, 1);
    EXPECT_FALSE(app->isAdjusting());
    EXPECT_EQ(app->preferences()->startButtonMode(), -1);
}

// ---- runs over real files

TEST_F(ControllerTest, CompleteRunFinishesOnceAndLetsTheProcessorGo) {
    if (!audio().ok) {
        GTEST_SKIP() << "ffmpeg could not make the test audio";
    }
    launch(writeLibrary(albumTracks(copiesOfAudio())));
    ASSERT_TRUE(app->isLibraryLoaded());
    ASSERT_TRUE(app->startAdjusting(SonorixController::kModeAll));
    std::weak_ptr<JobManager> processor = app->adjustingProcessor();
    ASSERT_TRUE(runUntil([&] { return !app->isAdjusting(); }));
    waitUntilGone(processor);
    runFor(std::chrono::milliseconds(20));

    EXPECT_EQ(app->finishedRuns, 1);
    EXPECT_FALSE(app->buttonRunning);
    EXPECT_EQ(app->sleepPrevented, 1);
    EXPECT_EQ(app->sleepAllowed, 1);
    EXPECT_GT(app->rowRedraws, 0);
    // The last scroll may still wait for its timer.
    EXPECT_TRUE(runUntil([&] { return app->reveals > 0; }, std::chrono::seconds(5)));
    for (uint64_t id = 1; id <= 3; ++id) {
        auto s = status(id);
        ASSERT_TRUE(s) << id;
        EXPECT_EQ(s->getState(), kStateDone) << id;
        double gain = 0, peak = 0;
        EXPECT_TRUE(s->getGainAndPeak(gain, peak)) << id;
    }
}

TEST_F(ControllerTest, RunStoppedByTheUserNeverReportsFinished) {
    if (!audio().ok) {
        GTEST_SKIP() << "ffmpeg could not make the test audio";
    }
    launch(writeLibrary(albumTracks(copiesOfAudio())));
    ASSERT_TRUE(app->startAdjusting(SonorixController::kModeCurrentGroup));
    std::weak_ptr<JobManager> processor = app->adjustingProcessor();
    runFor(std::chrono::milliseconds(5));
    app->stopAdjusting();
    EXPECT_FALSE(app->isAdjusting());
    waitUntilGone(processor);
    runFor(std::chrono::milliseconds(20));
    EXPECT_EQ(app->finishedRuns, 0);
}

TEST_F(ControllerTest, SelectionModeQueuesOnlyTheSelectedAlbum) {
    auto tracks = albumTracks({"/nowhere/a.mp3", "/nowhere/b.mp3"});
    LibraryTrack other = track(7).on("Other").named("Elsewhere");
    other.location = "file:///nowhere/c.mp3";
    tracks.push_back(other);
    launch(writeLibrary(tracks));
    auto group = defaultGroup();
    auto album = group->albumOfTrack(7);
    ASSERT_TRUE(album);
    app->tracksTable().setSelectedItems({album->tracks().front()});
    ASSERT_TRUE(app->canStart(SonorixController::kModeSelectedInSonorix, true));
    ASSERT_TRUE(app->startAdjusting(SonorixController::kModeSelectedInSonorix));
    // One track: one analysis and one adjustment.
    EXPECT_LE(app->adjustingProcessor()->pendingCount(), 2u);
    std::weak_ptr<JobManager> processor = app->adjustingProcessor();
    ASSERT_TRUE(runUntil([&] { return !app->isAdjusting(); }));
    waitUntilGone(processor);
    EXPECT_EQ(app->finishedRuns, 1);
    ASSERT_TRUE(status(7));
    EXPECT_EQ(status(7)->getState(), kStateFailed); // its file is missing
    EXPECT_TRUE(!status(1) || status(1)->getState() == kStateNone);
}

TEST_F(ControllerTest, RowsAreRedrawnAndFollowedOnlyInTheGroupOnShow) {
    launch(writeLibrary(albumTracks({"/nowhere/a.mp3", "/nowhere/b.mp3"})));
    auto track = app->model()->library()->track(1);
    auto album = defaultGroup()->albumOfTrack(1);
    app->refreshTrack(track);
    app->refreshAlbum(album);
    app->revealTrack(track);
    EXPECT_EQ(app->rowRedraws, 2);
    // At most ten scrolls a second: the scroll waits for its timer.
    EXPECT_TRUE(runUntil([&] { return app->reveals == 1; }, std::chrono::seconds(5)));

    // A group in "Adjust Manually" belongs to the user: the views stay where they are.
    defaultGroup()->options().setOperationMode(SonorixOptions::kAdjustManually);
    EXPECT_FALSE(app->followsProgress());
    app->revealAlbum(album);
    runFor(std::chrono::milliseconds(150));
    EXPECT_EQ(app->reveals, 1);

    defaultGroup()->options().setOperationMode(SonorixOptions::kAdjustAutomatically);
    app->setCurrentGroup(nullptr, true);
    app->refreshTrack(track);
    EXPECT_EQ(app->rowRedraws, 2);
    // Following the work brings its group back on show, and moves on down the outline.
    app->revealTrack(app->model()->library()->track(2));
    EXPECT_EQ(app->currentGroup(), defaultGroup());
    EXPECT_TRUE(runUntil([&] { return app->reveals == 2; }, std::chrono::seconds(5)));
}

// ---- forgetting results and shutting down

TEST_F(ControllerTest, ForgetResultsAndShutDownWriteThePendingSave) {
    launch(writeLibrary(albumTracks({"/nowhere/a.mp3", "/nowhere/b.mp3"})));
    ASSERT_TRUE(app->isLibraryLoaded());
    auto date = std::make_shared<DateTimePoint>(DateTimePoint::now());
    for (uint64_t id : {1, 2}) {
        auto s = app->model()->statusLibrary()->trackStatus(id, true);
        s->setGainAndPeak(-4.0, 20000, date);
        s->setState(kStateDone);
    }
    double gain = 0, peak = 0;
    app->model()->saveNowIfPending();
    ASSERT_FALSE(app->model()->hasPendingSave());

    // Nothing selected: nothing asked. Cancel keeps everything.
    app->forgetResults(true);
    EXPECT_TRUE(app->questions.empty());
    app->tracksTable().setSelectedItems({app->model()->library()->track(1)});
    app->answer = 1;
    app->forgetResults(true);
    ASSERT_EQ(app->questions.size(), 1u);
    EXPECT_EQ(app->questions[0].title, text("ForgetResults_Title"));
    EXPECT_EQ(app->questions[0].buttons,
              (std::vector<std::string>{text("ForgetResults_Yes"), text("ForgetResults_No")}));
    EXPECT_TRUE(status(1)->getGainAndPeak(gain, peak));
    EXPECT_FALSE(app->model()->hasPendingSave());

    app->answer = 0;
    const int reloadsBefore = app->reloads;
    app->forgetResults(true);
    EXPECT_FALSE(status(1)->getGainAndPeak(gain, peak));
    EXPECT_EQ(status(1)->getState(), kStateNone);
    EXPECT_TRUE(status(2)->getGainAndPeak(gain, peak));
    EXPECT_GT(app->reloads, reloadsBefore);

    app->forgetResults(false); // every track, without asking
    EXPECT_EQ(app->questions.size(), 2u);
    EXPECT_FALSE(status(2)->getGainAndPeak(gain, peak));
    ASSERT_TRUE(app->model()->hasPendingSave()); // forgotten results stay forgotten

    const std::string modelPath = app->model()->modelPath();
    app->shutDown();
    EXPECT_FALSE(app->model()->hasPendingSave());
    ASSERT_TRUE(fileExists(modelPath));
    EXPECT_EQ(readFile(modelPath).find("<key>gain</key>"), std::string::npos);
    EXPECT_EQ(app->iTunes(), nullptr);
    EXPECT_NE(log().find("exitApplication()"), std::string::npos);
    app->shutDown(); // twice is harmless
}

TEST_F(ControllerTest, ShutDownStopsARunningProcessor) {
    launch(writeLibrary(albumTracks({"/nowhere/a.mp3", "/nowhere/b.mp3"})));
    ASSERT_TRUE(app->startAdjusting(SonorixController::kModeAll));
    std::weak_ptr<JobManager> processor = app->adjustingProcessor();
    app->shutDown();
    EXPECT_FALSE(app->isAdjusting());
    EXPECT_TRUE(processor.lock() == nullptr || processor.lock()->isStopped());
    // Its finished jobs are no longer delivered after shut-down; they must not keep it alive.
    waitUntilGone(processor);
    EXPECT_EQ(app->finishedRuns, 0); // even when the run ended while closing
    EXPECT_EQ(app->sleepAllowed, 1);
}

} // namespace
