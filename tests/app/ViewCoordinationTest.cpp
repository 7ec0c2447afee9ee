#include "app/OutlineSort.h"
#include "app/SonorixController.h"
#include "audio/CommentTag.h"
#include "audio/SoundCheck.h"
#include "audio/iTunNORMTag.h"
#include "foundation/DateTimePoint.h"
#include "foundation/Localization.h"
#include "foundation/Log.h"
#include "foundation/Paths.h"
#include "foundation/Text.h"
#include "foundation/Threads.h"
#include "itunes/iTunesBackendLibraryFile.h"
#include "itunes/iTunesLibrary.h"
#include "model/LibraryFile.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"
#include "model/SonorixStatus.h"
#include "processing/DisplayMessage.h"
#include "processing/SonorixAdjustmentJob.h"
#include "processing/SonorixAutomaticAdjustmentJobManager.h"
#include "processing/SonorixManualAdjustmentJob.h"
#include "processing/SonorixRemoveCommentsJob.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace sonorix;
using namespace sonorix::test;

namespace {

// A front end that records the view hooks this part of the controller drives.
class Views final : public SonorixController {
public:
    using SonorixController::setViewTimings;
    using SonorixController::showAlert;

    void prepare(std::shared_ptr<DisplayMessageScheduler> scheduler) {
        setDisplayScheduler(std::move(scheduler));
        setContinuationDelay(0.01);
    }
    void startUp(bool) override {
        iTunesBackendLibraryFile::Options options;
        options.handedFile = libraryPath;
        auto backend = iTunesBackendLibraryFile::create(options);
        std::shared_ptr<iTunesControllerHooks> hooks = sharedFromThis();
        auto connection = std::make_shared<iTunesController>(backend, hooks);
        connection->connect();
        setITunesController(connection);
    }
    void showImportantNotice() override { ++notices; }
    void tracksChanged(const OutlineItem& item) override { item ? ++rowRedraws : ++reloads; }
    void revealItem(const OutlineItem& item) override { revealed.push_back(item); }
    void setGroupPaneHidden(bool) override {}
    void setStatusText(const std::string&) override {}
    void setGroupButtonsEnabled(bool add, bool remove) override {
        addEnabled = add;
        deleteEnabled = remove;
    }
    void updateGroupOptions() override {}
    void selectGroup(const std::shared_ptr<SonorixGroup>& group) override { selected = group; }
    void setStartEnabled(bool) override {}
    void setStartButtonRunning(bool running) override { buttonRunning = running; }
    void setSearchField(const std::u16string& text, bool) override { searchField = text; }
    void updateSpeedometer() override {}
    void preventSleep() override {}
    void allowSleep() override {}
    void showDisplayMessage(const std::shared_ptr<DisplayMessage>&) override {}
    void showProgress(const std::shared_ptr<DisplayProgress>&, bool) override {}
    void showAlert(const std::string&, const std::string&, const std::string&, bool) override {
        ++alerts;
    }
    int askAlert(const std::string& title, const std::string&, const std::vector<std::string>&,
                 bool) override {
        questions.push_back(title);
        return answer;
    }
    void processingFinished() override { ++finishedRuns; }
    void showPreferences() override {}
    void openURL(const std::string&) override {}
    void chooseLibraryFile() override {}
    void quitApplication() override { ++quits; }
    void showSortIndicator() override { ++sortIndicators; }
    void editCurrentGroupTitle() override { ++titleEdits; }

    std::string libraryPath;
    int answer = 0;
    std::vector<std::string> questions;
    std::vector<OutlineItem> revealed;
    std::shared_ptr<SonorixGroup> selected;
    std::u16string searchField;
    bool addEnabled = false, deleteEnabled = false, buttonRunning = false;
    int notices = 0, rowRedraws = 0, reloads = 0, alerts = 0, finishedRuns = 0, quits = 0,
        sortIndicators = 0, titleEdits = 0;
};

struct Audio {
    TempDir dir;
    std::vector<std::string> files;
    bool ok = true;
    Audio() {
        for (const char* source : {"anoisesrc=d=1:c=pink:a=0.5:r=44100", "sine=f=440:d=1:r=44100",
                                   "anoisesrc=d=1:c=brown:a=0.2:r=44100"}) {
            files.push_back(dir.file("t" + std::to_string(files.size()) + ".mp3"));
            ok = ok && makeStereoMp3(files.back(), source);
        }
    }
};

Audio& audio() {
    static Audio made;
    return made;
}

class ViewCoordination : public ::testing::Test {
protected:
    void SetUp() override {
        setDataFolderOverride(m_dir.file("data"));
        ASSERT_TRUE(openLog(m_dir.file("Sonorix.log")));
        loop = std::make_shared<BasicRunLoop>();
        setMainRunLoop(loop);
        scheduler = DisplayMessageScheduler::create();
    }
    void TearDown() override {
        quit();
        clearMainRunLoop();
        closeLog();
        setDataFolderOverride("");
    }

    void quit() {
        if (!app) {
            return;
        }
        std::vector<std::weak_ptr<JobManager>> processors;
        processors.emplace_back(app->adjustingProcessor());
        processors.emplace_back(app->manualProcessor());
        processors.emplace_back(app->removeCommentsProcessor());
        app->shutDown();
        for (const auto& p : processors) {
            EXPECT_TRUE(runUntil([&] { return p.expired(); }, std::chrono::seconds(30)));
        }
        runFor(std::chrono::milliseconds(20));
        app.reset();
        SonorixModel::setCurrent(nullptr);
        // Closing shut the loop's calls off for good: the next start needs a new registration.
        clearMainRunLoop();
        loop = std::make_shared<BasicRunLoop>();
        setMainRunLoop(loop);
    }

    std::string writeLibrary(const std::vector<LibraryTrack>& tracks) {
        std::string path = m_dir.file("Library.xml");
        writeFile(path, libraryXml(tracks));
        return path;
    }

    void launch(const std::string& libraryPath) {
        app = std::make_shared<Views>();
        app->libraryPath = libraryPath;
        app->prepare(scheduler);
        app->setViewTimings(0.3, 0.05);
        app->start(m_dir.file("sonorix.plist"));
        ASSERT_TRUE(runUntil([&] { return app->notices + app->quits > 0; }));
        ASSERT_TRUE(app->isLibraryLoaded());
    }

    void runFor(std::chrono::milliseconds duration) {
        loop->runUntil([] { return false; }, duration);
    }
    bool runUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        return loop->runUntil(done, timeout);
    }

    std::shared_ptr<SonorixGroups> groups() { return app->model()->groups(); }
    std::shared_ptr<iTunesTrack> trackWithId(uint64_t id) {
        return app->model()->library()->track(id);
    }
    // The names of the current group's rows, album rows and their tracks.
    std::vector<std::string> rowNames() {
        std::vector<std::string> names;
        for (const auto& album : app->currentGroup()->visibleAlbums()) {
            for (const auto& t : album->visibleTracks()) {
                names.push_back(toUtf8(t->name()));
            }
        }
        return names;
    }
    std::shared_ptr<SonorixGroup> addGroup(const std::string& title,
                                           const std::vector<uint64_t>& ids) {
        std::vector<OutlineItem> items;
        for (uint64_t id : ids) {
            items.push_back(trackWithId(id));
        }
        app->setCurrentGroup(groups()->groupAt(0), true);
        app->tracksTable().setSelectedItems(items);
        auto group = app->newGroup();
        app->renameGroup(group, toUtf16(title));
        return group;
    }

    TempDir m_dir;
    ScopedEnv m_home{"HOME", m_dir.path()};
    std::shared_ptr<BasicRunLoop> loop;
    std::shared_ptr<DisplayMessageScheduler> scheduler;
    std::shared_ptr<Views> app;
};

LibraryTrack song(uint64_t id, const std::string& name, const std::string& artist,
                  const std::string& album) {
    LibraryTrack t = track(id).named(name).by(artist).on(album);
    t.location = "file:///nowhere/" + std::to_string(id) + ".mp3";
    return t;
}

} // namespace

// ---- the current group

TEST_F(ViewCoordination, GroupsPersistAndTheDefaultGroupIsCurrentAfterLoading) {
    const std::string library =
        writeLibrary({song(1, "a", "X", "One"), song(2, "b", "X", "Two"), song(3, "c", "Y", "3")});
    launch(library);
    auto group = addGroup("Mine", {1, 2});
    EXPECT_EQ(app->currentGroup(), group);
    EXPECT_EQ(app->titleEdits, 1) << "the new group's title is open for editing at once";
    EXPECT_TRUE(app->deleteEnabled);
    EXPECT_EQ(group->trackCount(), 2u);
    EXPECT_EQ(groups()->groupAt(0)->trackCount(), 1u);
    quit(); // writes the pending save

    launch(library);
    ASSERT_EQ(groups()->count(), 2u);
    EXPECT_EQ(toUtf8(groups()->groupAt(1)->title()), "Mine");
    EXPECT_EQ(groups()->groupAt(1)->trackCount(), 2u);
    EXPECT_EQ(app->currentGroup(), groups()->groupAt(0));
    EXPECT_EQ(app->selected, groups()->groupAt(0));
    // The default group is neither deleted nor renamed, and no question is asked.
    EXPECT_FALSE(app->canDeleteGroup());
    EXPECT_FALSE(app->deleteEnabled);
    EXPECT_FALSE(app->deleteGroup());
    EXPECT_TRUE(app->questions.empty());
    EXPECT_FALSE(app->renameGroup(groups()->groupAt(0), u"Other"));
}

TEST_F(ViewCoordination, DeleteAsksAndGivesTheTracksToTheDefaultGroup) {
    launch(writeLibrary({song(1, "a", "X", "One"), song(2, "b", "X", "Two")}));
    auto group = addGroup("Mine", {1});
    app->answer = 1;
    EXPECT_FALSE(app->deleteGroup());
    ASSERT_EQ(app->questions.size(), 1u);
    EXPECT_EQ(groups()->count(), 2u);
    app->answer = 0;
    EXPECT_TRUE(app->deleteGroup());
    EXPECT_EQ(groups()->count(), 1u);
    EXPECT_EQ(groups()->groupAt(0)->trackCount(), 2u);
    EXPECT_EQ(app->currentGroup(), groups()->groupAt(0));
    EXPECT_EQ(groups()->groupOfTrack(1), groups()->groupAt(0));
}

TEST_F(ViewCoordination, MovesReachEveryPositionAndDropsWaitForRunningWork) {
    std::vector<LibraryTrack> tracks;
    for (uint64_t id = 1; id <= 23; ++id) {
        tracks.push_back(song(id, "s" + std::to_string(id), "X", "A" + std::to_string(id)));
    }
    launch(writeLibrary(tracks));
    // Positions 1…21: more groups than the menu has command ids for.
    for (uint64_t id = 1; id <= 21; ++id) {
        addGroup("G" + std::to_string(id), {id});
    }
    ASSERT_EQ(groups()->count(), 22u);
    app->setCurrentGroup(groups()->groupAt(0), true);
    app->tracksTable().setSelectedItems({trackWithId(22)});
    EXPECT_TRUE(app->moveToGroup(21));
    EXPECT_EQ(groups()->groupOfTrack(22), groups()->groupAt(21));
    EXPECT_FALSE(app->tracksTable().hasSelection());
    EXPECT_FALSE(app->moveToGroup(22)) << "no such position";

    // A drop below the last row goes to the current group; from outside any group gives way.
    app->setCurrentGroup(groups()->groupAt(3), true);
    EXPECT_TRUE(app->dropTracks({trackWithId(22), trackWithId(23)}, nullptr, false));
    EXPECT_EQ(groups()->groupOfTrack(22), groups()->groupAt(3));
    EXPECT_EQ(groups()->groupOfTrack(23), groups()->groupAt(3));
    // Dragged out of the outline, only tracks of the group on show move.
    EXPECT_TRUE(app->dropTracks({trackWithId(23), trackWithId(1)}, groups()->groupAt(0), true));
    EXPECT_EQ(groups()->groupOfTrack(23), groups()->groupAt(0));
    EXPECT_EQ(groups()->groupOfTrack(1), groups()->groupAt(1));

    app->setCurrentGroup(groups()->groupAt(0), true);
    ASSERT_TRUE(app->startAdjusting(SonorixController::kModeAll));
    EXPECT_FALSE(app->dropTracks({trackWithId(23)}, groups()->groupAt(2), false));
    EXPECT_EQ(groups()->groupOfTrack(23), groups()->groupAt(0));
    EXPECT_FALSE(app->canAddGroup());
    app->stopAdjusting();
}

// ---- sorting and searching

TEST_F(ViewCoordination, SortCommandsKeepTheirOrderOfKeys) {
    launch(writeLibrary(
        {song(1, "b", "X", "One"), song(2, "a", "X", "Two"), song(3, "c", "W", "Three")}));
    EXPECT_EQ(app->sortColumns(), std::vector<int32_t>{kSortAlbum});
    EXPECT_EQ(rowNames(), (std::vector<std::string>{"b", "c", "a"})); // One, Three, Two

    app->sortBy(kSortTitle);
    app->toggleSortDirection();
    EXPECT_EQ(rowNames(), (std::vector<std::string>{"c", "b", "a"}));
    // Choosing the first column again keeps the direction.
    app->sortBy(kSortTitle);
    EXPECT_TRUE(app->sortDescending());
    EXPECT_EQ(rowNames(), (std::vector<std::string>{"c", "b", "a"}));
    // Another column comes first, ascending, with Title as the next key.
    app->sortBy(kSortArtist);
    EXPECT_EQ(app->sortColumns(), (std::vector<int32_t>{kSortArtist, kSortTitle, kSortAlbum}));
    EXPECT_FALSE(app->sortDescending());
    EXPECT_EQ(rowNames(), (std::vector<std::string>{"c", "a", "b"}));

    // A header click on the first column turns it round, on another sorts by that one.
    app->sortByHeader(2); // Artist
    EXPECT_TRUE(app->sortDescending());
    EXPECT_EQ(rowNames(), (std::vector<std::string>{"b", "a", "c"}));
    app->sortByHeader(0); // Title
    EXPECT_EQ(app->sortColumns().front(), kSortTitle);
    EXPECT_FALSE(app->sortDescending());
    EXPECT_GT(app->sortIndicators, 0);
}

TEST_F(ViewCoordination, AdjustmentOrderPutsWorkFirstAndRowsWithoutValuesLast) {
    launch(writeLibrary(
        {song(1, "a", "X", "One"), song(2, "b", "X", "Two"), song(3, "c", "X", "Three")}));
    auto statuses = app->model()->statusLibrary();
    auto date = std::make_shared<DateTimePoint>(DateTimePoint::now());
    statuses->trackStatus(1, true)->setTag(SoundCheck::valuesForAdjustment({}, 3.0), date);
    statuses->trackStatus(2, true)->setTag(SoundCheck::valuesForAdjustment({}, -2.0), date);
    app->sortBy(kSortAdjustment);
    EXPECT_EQ(rowNames(), (std::vector<std::string>{"b", "a", "c"}));

    // The keys are read once per sort: a row that starts working moves up with the next reload.
    statuses->trackStatus(3, true)->addProcessing(1);
    app->currentGroup()->markDisplayDirty();
    app->reloadOutline();
    EXPECT_EQ(rowNames(), (std::vector<std::string>{"c", "b", "a"}));
    statuses->trackStatus(3, false)->addProcessing(-1);
}

TEST_F(ViewCoordination, SwitchingAwayAndBackResetsSortAndSearch) {
    launch(writeLibrary(
        {song(1, "b", "X", "One"), song(2, "a", "X", "Two"), song(3, "c", "W", "Three")}));
    auto other = addGroup("Other", {3});
    app->setCurrentGroup(groups()->groupAt(0), true);
    app->searchTextChanged(u"B");
    EXPECT_EQ(rowNames(), std::vector<std::string>{"b"});
    EXPECT_EQ(app->searchField, u"B");
    app->sortBy(kSortTitle);
    app->groupSelectionChanged(other, true);
    app->groupSelectionChanged(groups()->groupAt(0), true);
    EXPECT_EQ(app->sortColumns(), std::vector<int32_t>{kSortAlbum});
    EXPECT_FALSE(app->sortDescending());
    EXPECT_EQ(app->searchField, u"");
    EXPECT_EQ(rowNames(), (std::vector<std::string>{"b", "a"}));
}

// ---- following the work

TEST_F(ViewCoordination, TheUserTheManualModeAndOtherSortOrdersStopTheFollowing) {
    launch(writeLibrary({song(1, "a", "X", "One")}));
    EXPECT_TRUE(app->followsProgress());
    app->outlineSelectionChanged({trackWithId(1)}, true);
    EXPECT_FALSE(app->followsProgress());
    app->outlineSelectionChanged({}, false); // made by the controller: not the user
    EXPECT_TRUE(runUntil([&] { return app->followsProgress(); }, std::chrono::seconds(5)));
    app->outlineSelectionChanged({}, false);
    EXPECT_TRUE(app->followsProgress());

    app->sortBy(kSortStatus);
    EXPECT_FALSE(app->followsProgress());
    app->sortBy(kSortAlbum); // Album first again, ascending
    EXPECT_TRUE(app->followsProgress());
    app->toggleSortDirection();
    EXPECT_FALSE(app->followsProgress());
    app->toggleSortDirection();
    groups()->groupAt(0)->options().setOperationMode(SonorixOptions::kAdjustManually);
    EXPECT_FALSE(app->followsProgress());
}

TEST_F(ViewCoordination, FollowingNeverMovesBackUp) {
    launch(writeLibrary({song(1, "a", "X", "A1"), song(2, "b", "X", "A2"), song(3, "c", "X", "A3"),
                         song(4, "d", "X", "A4")}));
    auto first = addGroup("First", {1});
    auto second = addGroup("Second", {2, 3, 4});
    app->setCurrentGroup(groups()->groupAt(0), true);

    app->revealTrack(trackWithId(3));
    EXPECT_EQ(app->currentGroup(), second);
    // A group higher up in the list does not take the views back.
    app->revealTrack(trackWithId(1));
    EXPECT_EQ(app->currentGroup(), second);
    EXPECT_EQ(app->followedGroup(), second);
    // Nor does a row higher up in the outline.
    app->revealTrack(trackWithId(2));
    EXPECT_EQ(app->followedItem(), second->albumOfTrack(3));
    app->revealTrack(trackWithId(4));
    EXPECT_EQ(app->followedItem(), second->albumOfTrack(4));
    EXPECT_TRUE(app->revealed.empty()) << "scrolled only when the timer fires";
    ASSERT_TRUE(runUntil([&] { return !app->revealed.empty(); }, std::chrono::seconds(5)));
    runFor(std::chrono::milliseconds(100));
    EXPECT_EQ(app->revealed, std::vector<OutlineItem>{second->albumOfTrack(4)});

    // A new run starts following afresh.
    ASSERT_TRUE(app->startAdjusting(SonorixController::kModeAll));
    EXPECT_EQ(app->followedGroup(), nullptr);
    EXPECT_EQ(app->followedItem(), nullptr);
    app->stopAdjusting();
    (void)first;
}

// ---- manual adjustment and comment removal

class ManualWork : public ViewCoordination {
protected:
    void SetUp() override {
        ViewCoordination::SetUp();
        if (!audio().ok) {
            GTEST_SKIP() << "ffmpeg could not make the test audio";
        }
        for (size_t i = 0; i < audio().files.size(); ++i) {
            files.push_back(m_dir.file("copy" + std::to_string(i) + ".mp3"));
            writeFile(files.back(), readFile(audio().files[i]));
        }
    }
    std::vector<LibraryTrack> albumTracks() {
        std::vector<LibraryTrack> tracks;
        for (size_t i = 0; i < files.size(); ++i) {
            LibraryTrack t = track(i + 1).on("Album").named("T" + std::to_string(i + 1));
            t.trackNumber = static_cast<int>(i + 1);
            t.location = "file://" + files[i];
            tracks.push_back(t);
        }
        return tracks;
    }
    double fileAdjustment(const std::string& path) {
        int32_t hint = -1;
        auto tag = createITunNORMTag(path, hint, false, false);
        return tag->isPresent() ? SoundCheck::playbackAdjustment(tag->values(), 0x0C0000) : 0.0;
    }
    std::vector<std::string> files;
};

TEST_F(ManualWork, OneTrackOfAnAlbumIsWrittenAndTheWholeAlbumShowsNoStaleState) {
    launch(writeLibrary(albumTracks()));
    auto group = groups()->groupAt(0);
    group->options().setOperationMode(SonorixOptions::kAdjustManually);
    group->options().setAlbumMode(SonorixOptions::kCombineAlbums);
    group->markAlbumsDirty();
    auto album = group->albumOfTrack(2);
    ASSERT_EQ(album->tracks().size(), 3u);
    auto statuses = app->model()->statusLibrary();
    for (uint64_t id : {1, 2, 3}) {
        statuses->trackStatus(id, true)->setState(kStateFailed);
    }
    auto albumStatus = statuses->albumStatus(*album, true, false);
    albumStatus->setState(kStateDone);
    const std::string before0 = readFile(files[0]), before2 = readFile(files[2]);

    ASSERT_TRUE(app->adjustManually(nullptr, trackWithId(2), -1.25, true));
    EXPECT_EQ(statuses->trackStatus(1, false)->getState(), kStateNone);
    EXPECT_EQ(statuses->trackStatus(3, false)->getState(), kStateNone);
    EXPECT_EQ(albumStatus->getState(), kStateNone);
    // A final run lets nothing in until it ended.
    EXPECT_FALSE(app->adjustManually(nullptr, trackWithId(1), 4.0, true));
    EXPECT_FALSE(app->adjustManually(album, nullptr, 4.0, false));
    EXPECT_FALSE(app->canStart(SonorixController::kModeAll, false));
    ASSERT_TRUE(runUntil([&] { return !app->isAdjustingManually(); }));

    EXPECT_NEAR(fileAdjustment(files[1]), -1.3, 0.01);
    EXPECT_EQ(readFile(files[0]), before0);
    EXPECT_EQ(readFile(files[2]), before2);
    EXPECT_EQ(statuses->trackStatus(2, false)->getState(), kStateDone);
    EXPECT_EQ(app->finishedRuns, 0) << "a manual run plays no sound";

    // The next final run, for the whole album, writes every file.
    ASSERT_TRUE(app->adjustManually(album, nullptr, 1.25, true));
    ASSERT_TRUE(runUntil([&] { return !app->isAdjustingManually(); }));
    for (const auto& file : files) {
        EXPECT_NEAR(fileAdjustment(file), 1.3, 0.01) << file;
    }
}

TEST_F(ManualWork, APreviewIsReplacedByTheNextRequestAndNeverLandsAfterIt) {
    launch(writeLibrary(albumTracks()));
    groups()->groupAt(0)->options().setAlbumMode(SonorixOptions::kCombineAlbums);
    groups()->groupAt(0)->markAlbumsDirty();
    auto album = groups()->groupAt(0)->albums().front();
    ASSERT_EQ(album->tracks().size(), 3u);
    std::vector<std::weak_ptr<JobManager>> runs;
    for (double value : {2.0, 3.0, 4.0}) {
        ASSERT_TRUE(app->adjustManually(album, nullptr, value, false));
        runs.emplace_back(app->manualProcessor());
    }
    for (size_t i = 0; i + 1 < runs.size(); ++i) {
        auto run = runs[i].lock();
        EXPECT_TRUE(!run || run->isStopped()) << i;
    }
    ASSERT_TRUE(app->adjustManually(album, nullptr, -0.5, true));
    ASSERT_TRUE(runUntil([&] { return !app->isAdjustingManually(); }));
    for (const auto& run : runs) {
        EXPECT_TRUE(runUntil([&] { return run.expired(); }));
    }
    for (const auto& file : files) {
        EXPECT_NEAR(fileAdjustment(file), -0.5, 0.01) << file;
    }
}

TEST_F(ManualWork, CommentRemovalAsksFirstAndEndsWithOneFinishedNotice) {
    std::u16string stamped = u"Take 2";
    SonorixAdjustmentJob::updateCommentStamp(stamped);
    for (const auto& file : files) {
        ASSERT_TRUE(CommentTag::write(file, stamped));
    }
    launch(writeLibrary(albumTracks()));
    EXPECT_FALSE(app->removeComments()) << "nothing selected";
    EXPECT_TRUE(app->questions.empty());

    app->tracksTable().setSelectedItems({trackWithId(1), trackWithId(3)});
    app->answer = 1;
    EXPECT_FALSE(app->removeComments());
    EXPECT_EQ(app->questions.size(), 1u);
    EXPECT_FALSE(app->isRemovingComments());

    app->answer = 0;
    ASSERT_TRUE(app->removeComments());
    EXPECT_TRUE(app->buttonRunning);
    EXPECT_EQ(app->removeCommentsMenuTitle(),
              Localization::shared().localizedString("StopRemoveCommentsMenuTitle"));
    EXPECT_FALSE(app->canStart(SonorixController::kModeAll, false));
    ASSERT_TRUE(runUntil([&] { return !app->isRemovingComments(); }));
    runFor(std::chrono::milliseconds(20));
    EXPECT_EQ(app->finishedRuns, 1);
    EXPECT_FALSE(app->buttonRunning);
    std::u16string comment;
    ASSERT_TRUE(CommentTag::read(files[0], comment));
    EXPECT_EQ(comment, u"Take 2");
    ASSERT_TRUE(CommentTag::read(files[1], comment));
    EXPECT_EQ(comment, stamped) << "not selected";
    ASSERT_TRUE(CommentTag::read(files[2], comment));
    EXPECT_EQ(comment, u"Take 2");
}
