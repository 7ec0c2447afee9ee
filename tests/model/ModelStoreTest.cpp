#include "ModelFixture.h"

#include "foundation/PropertyList.h"
#include "foundation/RunLoop.h"
#include "foundation/Text.h"
#include "foundation/Threads.h"
#include "foundation/Value.h"
#include "itunes/iTunesLibrary.h"
#include "model/ModelValues.h"
#include "model/SonorixPreferences.h"
#include "model/SonorixStatus.h"

#include <filesystem>
#include <thread>

using namespace sonorix;
using namespace sonorix::test;

namespace {

class ModelStore : public ModelFixture {
protected:
    std::string modelFile() const { return dataFile("sonorix.A1B2C3D4E5F607.plist"); }

    std::vector<std::string> dataFiles() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(m_dir.path() + "/data")) {
            names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

// Timers on a clock the test moves; due timers fire through the main run loop, as the timer
// thread does.
class ManualClock {
public:
    struct Timer final : SaveTimer {
        double due = 0;
        std::function<void()> callback;
        bool valid = true;
        void fire() override {
            if (valid) {
                valid = false;
                callback();
            }
        }
        void invalidate() override { valid = false; }
    };

    SaveTimerFactory factory() {
        return [this](double seconds, std::function<void()> callback) {
            auto timer = std::make_shared<Timer>();
            timer->due = m_now + seconds;
            timer->callback = std::move(callback);
            m_timers.push_back(timer);
            return timer;
        };
    }

    void advanceTo(double time, BasicRunLoop& loop) {
        m_now = time;
        for (const auto& timer : m_timers) {
            if (timer->valid && timer->due <= m_now) {
                loop.post([timer] { timer->fire(); });
            }
        }
        loop.processPending();
    }

private:
    double m_now = 0;
    std::vector<std::shared_ptr<Timer>> m_timers;
};

} // namespace

TEST(ModelFileName, FromLibraryPersistentId) {
    EXPECT_EQ(SonorixModel::modelFileName(0x00A1B2C3D4E5F607ull), "sonorix.A1B2C3D4E5F607.plist");
}

TEST_F(ModelStore, StartUpResultCodes) {
    auto code = [&](const std::string& version, std::vector<LibraryTrack> tracks) {
        writeFile(m_dir.file("lib.xml"), libraryXml(tracks, version));
        return SonorixModel::create()->loadForStartUp(m_dir.file("lib.xml"), {});
    };
    EXPECT_EQ(code("6.0.3", {track(1)}), SonorixModel::kiTunesTooOld);
    EXPECT_EQ(code("6.0.4", {track(1)}), SonorixModel::kLoaded);
    EXPECT_EQ(code("10.0", {track(1)}), SonorixModel::kLoaded);
    EXPECT_EQ(code("10.0", {}), SonorixModel::kLibraryEmpty);
    writeFile(m_dir.file("lib.xml"), "<plist><array/></plist>");
    EXPECT_EQ(SonorixModel::create()->loadForStartUp(m_dir.file("lib.xml"), {}),
              SonorixModel::kCantLoadiTunesXML);
    EXPECT_EQ(SonorixModel::create()->loadForStartUp(m_dir.file("none.xml"), {}),
              SonorixModel::kCantLoadiTunesXML);
    writeFile(m_dir.file("lib.xml"), libraryXml({track(1)}, "6.0.3"));
    EXPECT_THROW(SonorixModel::create()->load(m_dir.file("lib.xml")),
                 SonorixModel::iTunesTooOldException);
}

TEST_F(ModelStore, StatusesAndGroupsSurviveARestart) {
    {
        auto model = load({track(1), track(2)});
        EXPECT_EQ(model->modelPath(), modelFile());
        auto status = model->statusLibrary()->trackStatus(0x1, true);
        status->setGainAndPeak(-8.25, 31000, mv::now(false));
        status->setError(3);
        ASSERT_TRUE(model->save());
    }
    auto model = load({track(1), track(2)});
    auto status = model->statusLibrary()->trackStatus(1, false);
    ASSERT_NE(status, nullptr);
    double gain = 0, peak = 0;
    ASSERT_TRUE(status->getGainAndPeak(gain, peak));
    EXPECT_DOUBLE_EQ(gain, -8.25);
    EXPECT_EQ(status->getError(), 3);
    EXPECT_EQ(model->statusLibrary()->trackStatus(2, false), nullptr);
    EXPECT_EQ(model->groups()->groupAt(0)->trackCount(), 2u);
}

TEST_F(ModelStore, ModelWithoutGroupsGetsTheDefaultGroup) {
    makeFolders(m_dir.path() + "/data");
    auto root = makeDict();
    auto library = makeDict();
    auto entry = makeDict();
    entry->set("gain", makeDouble(-3.0));
    library->set("1", entry);
    root->set("Library", library);
    ASSERT_TRUE(savePropertyList(*root, modelFile()));
    auto model = load({track(1), track(2)});
    EXPECT_EQ(model->groups()->count(), 1u);
    EXPECT_EQ(model->groups()->groupAt(0)->trackCount(), 2u);
    EXPECT_TRUE(mv::has(*model->root(), "Groups"));
    EXPECT_NE(model->statusLibrary()->trackStatus(1, false), nullptr);
}

TEST_F(ModelStore, UnreadableModelFileIsKeptAside) {
    makeFolders(m_dir.path() + "/data");
    writeFile(modelFile(), "<plist><dict><key>Library</key>");
    auto model = load({track(1)});
    EXPECT_EQ(mv::getDict(*model->root(), "Library")->count(), 0u);
    auto files = dataFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].rfind("sonorix.A1B2C3D4E5F607.plist.unreadable-", 0), 0u) << files[0];
    EXPECT_EQ(readFile(dataFile(files[0])), "<plist><dict><key>Library</key>");
    // The next save writes a fresh file beside the kept one.
    ASSERT_TRUE(model->save());
    EXPECT_EQ(dataFiles().size(), 2u);
    // A missing file is simply a first start: nothing to keep.
    std::filesystem::remove(modelFile());
    load({track(1)});
    EXPECT_EQ(dataFiles().size(), 1u);
}

TEST_F(ModelStore, FailedSaveReportsAndKeepsTheOldFile) {
    auto model = load({track(1)});
    ASSERT_TRUE(model->save());
    std::string before = readFile(modelFile());
    model->statusLibrary()->trackStatus(1, true)->setError(4);
    // A folder in the way of the temporary file makes writing fail, even for root.
    std::filesystem::create_directory(modelFile() + ".tmp");
    std::filesystem::create_directory(modelFile() + ".tmp/x");
    EXPECT_FALSE(model->save());
    EXPECT_EQ(readFile(modelFile()), before);
}

TEST_F(ModelStore, SaveTimerWaitsAndPostponingRestartsIt) {
    auto loop = std::make_shared<BasicRunLoop>();
    setMainRunLoop(loop);
    ManualClock clock;
    auto model = load({track(1)});
    model->setSaveTimerFactory(clock.factory());

    // Requests within the wait produce one save, 180 s after the first.
    model->setNeedsSave(false);
    clock.advanceTo(60, *loop);
    model->setNeedsSave(false);
    clock.advanceTo(179, *loop);
    EXPECT_FALSE(fileExists(modelFile()));
    clock.advanceTo(180, *loop);
    EXPECT_TRUE(fileExists(modelFile()));
    EXPECT_FALSE(model->hasPendingSave());
    std::filesystem::remove(modelFile());
    clock.advanceTo(400, *loop);
    EXPECT_FALSE(fileExists(modelFile()));

    // Postponing: the save comes 180 s after the last request.
    model->setNeedsSave(true);
    clock.advanceTo(500, *loop);
    model->setNeedsSave(true);
    clock.advanceTo(580, *loop);
    EXPECT_FALSE(fileExists(modelFile()));
    clock.advanceTo(680, *loop);
    EXPECT_TRUE(fileExists(modelFile()));
    std::filesystem::remove(modelFile());

    // A worker's request reaches the main thread through the loop.
    std::thread worker([&] { model->setNeedsSave(false); });
    worker.join();
    EXPECT_FALSE(model->hasPendingSave());
    loop->processPending();
    EXPECT_TRUE(model->hasPendingSave());

    // Quitting writes the pending save at once.
    model->saveNowIfPending();
    EXPECT_TRUE(fileExists(modelFile()));
    EXPECT_FALSE(model->hasPendingSave());
    std::filesystem::remove(modelFile());
    model->saveNowIfPending();
    EXPECT_FALSE(fileExists(modelFile()));
    clearMainRunLoop();
}

TEST_F(ModelStore, SyncExclusionIsSetOnceWithAPostponedSave) {
    auto loop = std::make_shared<BasicRunLoop>();
    setMainRunLoop(loop);
    ManualClock clock;
    auto model = load({track(1)});
    model->setSaveTimerFactory(clock.factory());
    model->ensureSyncExclusion();
    EXPECT_TRUE(model->hasPendingSave());
    EXPECT_TRUE(mv::getBool(*model->root(), SonorixModel::kSyncExclusionKey, false));
    model->saveNowIfPending();
    model->ensureSyncExclusion();
    EXPECT_FALSE(model->hasPendingSave());
    clearMainRunLoop();
}

TEST_F(ModelStore, FirstStartCreatesPreferencesWithOnlyTheSyncKey) {
    SonorixPreferences preferences;
    preferences.load();
    EXPECT_EQ(preferences.path(), dataFile("sonorix.plist"));
    auto root = readPropertyList(dataFile("sonorix.plist"));
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->count(), 1u);
    EXPECT_TRUE(root->getBool("com.apple.PreferenceSync.ExcludeAllSyncKeys", false));
    EXPECT_EQ(preferences.startButtonMode(), -1);
    EXPECT_EQ(preferences.perceivedLoudness(), 92.0);
    EXPECT_TRUE(preferences.modifyComments());
    EXPECT_TRUE(preferences.resetManualAdjustments());
    EXPECT_TRUE(preferences.preventSleep());
    EXPECT_FALSE(preferences.directShow());
    EXPECT_FALSE(preferences.debugMenu());
    EXPECT_TRUE(preferences.iTunesLibraryXMLPath().empty());
    EXPECT_TRUE(preferences.locationPrefixMap().empty());
}

TEST_F(ModelStore, SettingsRoundTripWithTypesChecked) {
    SonorixPreferences preferences;
    preferences.load();
    std::string error;
    auto set = [&](const char* key, std::vector<std::string> values) {
        return preferences.setFromText(*findSetting(key), values, error);
    };
    EXPECT_TRUE(set("PerceivedLoudness", {"89.5"}));
    EXPECT_FALSE(set("PerceivedLoudness", {"loud"}));
    EXPECT_TRUE(set("StartButtonMode", {"2"}));
    EXPECT_FALSE(set("StartButtonMode", {"70000"}));
    EXPECT_FALSE(set("ModifyComments", {"maybe"}));
    EXPECT_TRUE(set("ModifyComments", {"false"}));
    EXPECT_TRUE(set("DEBUG.DebugMenu", {"true"}));
    EXPECT_TRUE(set("iTunesLibraryXMLPath", {"/music/Library.xml"}));
    EXPECT_FALSE(set("LocationPrefixMap", {"C:/Music/"}));
    EXPECT_TRUE(
        set("LocationPrefixMap", {"C:/Music/", "/mnt/music/", "/Users/ann/", "/home/ann/"}));
    ASSERT_TRUE(preferences.save());

    SonorixPreferences again;
    again.load();
    EXPECT_EQ(again.perceivedLoudness(), 89.5);
    EXPECT_EQ(again.startButtonMode(), 2);
    EXPECT_FALSE(again.modifyComments());
    EXPECT_TRUE(again.debugMenu());
    EXPECT_EQ(again.iTunesLibraryXMLPath(), "/music/Library.xml");
    auto map = again.locationPrefixMap();
    ASSERT_EQ(map.size(), 2u);
    EXPECT_EQ(map[0], (std::pair<std::string, std::string>{"C:/Music/", "/mnt/music/"}));
    EXPECT_EQ(map[1].second, "/home/ann/");
    EXPECT_TRUE(again.isSet(*findSetting("DEBUG.DebugMenu")));
    EXPECT_FALSE(again.isSet(*findSetting("PreventSleep")));
    EXPECT_EQ(again.displayValue(*findSetting("PreventSleep")), "true");
}

TEST_F(ModelStore, LibraryImportUsesTheLocationMap) {
    writeFile(m_dir.file("song.mp3"), "x");
    LibraryTrack t = track(1);
    t.location = "file://localhost/C:/Music/song.mp3";
    writeFile(m_dir.file("lib.xml"), libraryXml({t}));
    auto model = SonorixModel::create();
    model->load(m_dir.file("lib.xml"), {{"C:/Music/", m_dir.path() + "/"}});
    EXPECT_EQ(model->library()->track(1)->filePath(true, false, false), m_dir.file("song.mp3"));
}
