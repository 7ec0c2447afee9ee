#include "itunes/iTunesController.h"

#include "foundation/Log.h"
#include "foundation/Value.h"
#include "itunes/iTunesLibrary.h"
#include "model/SonorixModel.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <thread>

using namespace sonorix;
using sonorix::test::readFile;
using sonorix::test::TempDir;

namespace {

// Records what the controller asked of the application.
struct RecordingHooks final : iTunesControllerHooks {
    std::mutex mutex;
    std::vector<std::string> titles;
    std::vector<std::string> messages;
    std::vector<std::string> urls;
    int chooseFile = 0;
    int quits = 0;
    std::function<void()> duringAlert;

    void showAlert(const std::string& title, const std::string& message,
                   const std::string&) override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            titles.push_back(title);
            messages.push_back(message);
        }
        if (duringAlert) {
            duringAlert();
        }
    }
    void openURL(const std::string& url) override { urls.push_back(url); }
    void chooseLibraryFile() override { ++chooseFile; }
    void quitApplication() override { ++quits; }
    size_t alerts() {
        std::lock_guard<std::mutex> lock(mutex);
        return titles.size();
    }
};

struct FileTrack final : iTunesRemoteTrack {
    std::string path; // empty: a stream
    explicit FileTrack(std::string p) : path(std::move(p)) {}
    iTunesResult location(std::string& out) override {
        if (path.empty()) {
            return iTunesCode::kNoInterface;
        }
        out = path;
        return iTunesCode::kOk;
    }
};

struct Tracks final : iTunesTrackCollection {
    std::vector<std::shared_ptr<iTunesRemoteTrack>> items;
    std::vector<uint64_t> ids;
    std::function<void()> onItem; // runs before each item is handed out
    iTunesResult count(int32_t& n) override {
        n = static_cast<int32_t>(items.size());
        return iTunesCode::kOk;
    }
    iTunesResult item(int32_t i, std::shared_ptr<iTunesRemoteTrack>& out) override {
        if (onItem) {
            onItem();
        }
        out = items.at(static_cast<size_t>(i - 1));
        return iTunesCode::kOk;
    }
    iTunesResult itemByPersistentId(uint64_t id, std::shared_ptr<iTunesRemoteTrack>& out) override {
        out.reset();
        for (size_t i = 0; i < ids.size(); ++i) {
            if (ids[i] == id) {
                out = items[i];
            }
        }
        return iTunesCode::kOk;
    }
    void add(const std::string& path, uint64_t id = 0) {
        items.push_back(std::make_shared<FileTrack>(path));
        ids.push_back(id);
    }
};

struct ScriptedPlaylist final : iTunesRemotePlaylist {
    std::u16string title;
    int32_t playlistKind = iTunesPlaylistKind::kUser;
    int32_t special = iTunesPlaylistKind::kSpecialMusic;
    std::shared_ptr<Tracks> all = std::make_shared<Tracks>();
    std::map<int32_t, std::shared_ptr<Tracks>> searchResults; // by field
    iTunesResult name(std::u16string& n) override {
        n = title;
        return iTunesCode::kOk;
    }
    iTunesResult kind(int32_t& k) override {
        k = playlistKind;
        return iTunesCode::kOk;
    }
    iTunesResult specialKind(int32_t& k) override {
        k = special;
        return iTunesCode::kOk;
    }
    iTunesResult tracks(std::shared_ptr<iTunesTrackCollection>& t) override {
        t = all;
        return iTunesCode::kOk;
    }
    iTunesResult search(const std::u16string&, int32_t field,
                        std::shared_ptr<iTunesTrackCollection>& found) override {
        auto it = searchResults.find(field);
        found = it == searchResults.end() ? nullptr : it->second;
        return iTunesCode::kOk;
    }
};

template <class T>
struct List final : iTunesCollection<T> {
    std::vector<std::shared_ptr<T>> items;
    iTunesResult count(int32_t& n) override {
        n = static_cast<int32_t>(items.size());
        return iTunesCode::kOk;
    }
    iTunesResult item(int32_t i, std::shared_ptr<T>& out) override {
        out = items.at(static_cast<size_t>(i - 1));
        return iTunesCode::kOk;
    }
};

struct ScriptedSource final : iTunesRemoteSource {
    std::shared_ptr<List<iTunesRemotePlaylist>> lists =
        std::make_shared<List<iTunesRemotePlaylist>>();
    iTunesResult playlists(std::shared_ptr<iTunesPlaylistCollection>& p) override {
        p = lists;
        return iTunesCode::kOk;
    }
};

// An iTunes whose answers a test writes down beforehand.
struct ScriptedBackend final : iTunesBackend {
    std::mutex mutex;
    int createFailures = 0;
    int createCalls = 0;
    int newestMinor = 11; // compatible with 1.0 … 1.newestMinor
    bool window = true;
    std::deque<iTunesResult> pathAnswers; // answered before the path; kOk gives it
    std::string path = "/music/iTunes Library.xml";
    int pathCalls = 0;
    iTunesResult selectionAnswer = iTunesCode::kOk;
    std::shared_ptr<Tracks> selection;
    std::shared_ptr<ScriptedSource> library = std::make_shared<ScriptedSource>();
    std::shared_ptr<List<iTunesRemoteSource>> sourceList =
        std::make_shared<List<iTunesRemoteSource>>();
    std::function<iTunesResult()> selectionScript;

    iTunesResult createApplication() override {
        ++createCalls;
        return createCalls <= createFailures ? iTunesCode::kFail : iTunesCode::kOk;
    }
    iTunesResult checkVersion(int32_t major, int32_t minor, bool& compatible) override {
        compatible = major == 1 && minor <= newestMinor;
        return iTunesCode::kOk;
    }
    bool hasWindow() const override { return window; }
    iTunesResult libraryXMLPath(std::string& out) override {
        std::lock_guard<std::mutex> lock(mutex);
        ++pathCalls;
        iTunesResult answer = iTunesCode::kOk;
        if (!pathAnswers.empty()) {
            answer = pathAnswers.front();
            pathAnswers.pop_front();
        }
        if (answer == iTunesCode::kOk) {
            out = path;
        }
        return answer;
    }
    iTunesResult selectedTracks(std::shared_ptr<iTunesTrackCollection>& out) override {
        if (selectionScript) {
            iTunesResult r = selectionScript();
            if (r != iTunesCode::kOk) {
                return r;
            }
        }
        if (!iTunesCode::failed(selectionAnswer)) {
            out = selection;
        }
        return selectionAnswer;
    }
    iTunesResult librarySource(std::shared_ptr<iTunesRemoteSource>& s) override {
        s = library;
        return iTunesCode::kOk;
    }
    iTunesResult sources(std::shared_ptr<iTunesSourceCollection>& s) override {
        s = sourceList;
        return iTunesCode::kOk;
    }
    iTunesResult showBrowserWindow() override { return iTunesCode::kOk; }
    std::shared_ptr<const iTunesTrackFactory> trackFactory() const override {
        return iTunesTrackFactory::defaultFactory();
    }
};

struct Fixture {
    std::shared_ptr<ScriptedBackend> backend = std::make_shared<ScriptedBackend>();
    std::shared_ptr<RecordingHooks> hooks = std::make_shared<RecordingHooks>();
    std::shared_ptr<iTunesController> connect() {
        auto c = std::make_shared<iTunesController>(backend, hooks);
        c->connect();
        return c;
    }
};

std::shared_ptr<iTunesLibrary>
libraryWith(const std::vector<std::pair<uint64_t, std::string>>& tracks) {
    DictRef entries = makeDict();
    int32_t trackId = 1;
    for (const auto& [id, path] : tracks) {
        DictRef d = makeDict();
        d->set("Track ID", makeInt32(trackId));
        d->set("Persistent ID", makeString(hexIdText(id)));
        d->set("Name", makeString(std::string("Song ") + std::to_string(trackId)));
        d->set("Location", makeString("file://" + path));
        entries->set(std::to_string(trackId++), d);
    }
    DictRef root = makeDict();
    root->set("Tracks", entries);
    return iTunesLibrary::fromRoot(root);
}

class LogCapture {
public:
    LogCapture() { openLog(m_dir.file("Sonorix.log")); }
    ~LogCapture() { closeLog(); }
    std::string text() const { return readFile(m_dir.file("Sonorix.log")); }

private:
    TempDir m_dir;
};

} // namespace

// ---- the calling discipline ----

TEST(iTunesControllerCalls, BusyAnswersAreRepeatedAfterTheAlertUntilTheyEnd) {
    Fixture f;
    auto itunes = f.connect();
    f.backend->pathAnswers = {iTunesCode::kCallRejected, iTunesCode::kRetryLater};
    EXPECT_EQ(itunes->libraryXMLPath(), f.backend->path);
    EXPECT_EQ(f.backend->pathCalls, 3);
    // Each busy answer came after the previous alert was dismissed: each got its alert.
    ASSERT_EQ(f.hooks->alerts(), 2u);
    EXPECT_EQ(f.hooks->titles[0], "iTunes is not responding.");
    EXPECT_EQ(f.hooks->messages[0], "Please make sure to close any open dialogs in iTunes.");
}

TEST(iTunesControllerCalls, TwoThreadsHittingABusyITunesShareOneAlert) {
    Fixture f;
    auto itunes = f.connect();
    std::mutex m;
    std::condition_variable cv;
    int busyAnswers = 0;
    bool dismissed = false;
    auto selection = std::make_shared<Tracks>();
    f.backend->selection = selection;
    f.backend->selectionScript = [&]() -> iTunesResult {
        std::unique_lock<std::mutex> lock(m);
        if (dismissed) {
            return iTunesCode::kOk;
        }
        ++busyAnswers;
        cv.notify_all();
        return iTunesCode::kRetryLater;
    };
    // The alert stays up until both threads were told "busy".
    f.hooks->duringAlert = [&] {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return busyAnswers >= 2; });
        dismissed = true;
    };
    auto library = libraryWith({});
    std::atomic<int> finished{0};
    auto worker = [&] {
        EXPECT_TRUE(itunes->selectedTracks(*library).empty());
        ++finished;
    };
    std::thread a(worker), b(worker);
    a.join();
    b.join();
    EXPECT_EQ(finished.load(), 2);
    EXPECT_EQ(f.hooks->alerts(), 1u);
    EXPECT_EQ(busyAnswers, 2);
}

TEST(iTunesControllerCalls, OtherFailuresAreLoggedWithTheirLineAndGiveNothing) {
    LogCapture log;
    Fixture f;
    auto itunes = f.connect();
    auto selection = std::make_shared<Tracks>();
    selection->add("/music/a.mp3", 1);
    f.backend->selection = selection;
    f.backend->selectionAnswer = iTunesCode::kFail;
    auto library = libraryWith({{1, "/music/a.mp3"}});
    EXPECT_TRUE(itunes->selectedTracks(*library).empty());
    EXPECT_NE(log.text().find("hr -2147467259 line "), std::string::npos) << log.text();
    EXPECT_EQ(f.hooks->alerts(), 0u);
}

TEST(iTunesControllerCalls, WithoutAConnectionQueriesThrowAndLookupsFindNothing) {
    Fixture f;
    f.backend->createFailures = 2;
    auto itunes = f.connect();
    EXPECT_FALSE(itunes->connected());
    EXPECT_THROW(itunes->libraryXMLPath(), SonorixModel::CantLoadiTunesException);
    EXPECT_THROW(itunes->playlistTrackPaths(u"x"), SonorixModel::CantLoadiTunesException);
    auto library = libraryWith({{7, "/music/a.mp3"}});
    EXPECT_EQ(itunes->findTrack(7, *library->track(7), "/music/a.mp3"), nullptr);

    Fixture g;
    auto connected = g.connect();
    g.backend->path.clear(); // iTunes names no file, twice
    EXPECT_THROW(connected->libraryXMLPath(), SonorixModel::CantLoadiTunesException);
    EXPECT_EQ(g.backend->pathCalls, 2);
}

// ---- connecting ----

TEST(iTunesControllerConnect, VersionDecidesRevealAndLookup) {
    struct Case {
        int newestMinor;
        bool window;
        bool reveal;
        bool lookup;
        int error;
    };
    const Case cases[] = {
        {11, true, true, true, 0},  {10, true, true, false, 0}, {9, true, false, false, 0},
        {8, true, false, false, 0}, {7, true, false, false, 2}, {11, false, false, true, 0},
    };
    for (const auto& c : cases) {
        Fixture f;
        f.backend->newestMinor = c.newestMinor;
        f.backend->window = c.window;
        auto itunes = f.connect();
        SCOPED_TRACE(c.newestMinor);
        EXPECT_EQ(itunes->revealSupported(), c.reveal);
        EXPECT_EQ(itunes->persistentIDLookupSupported(), c.lookup);
        EXPECT_EQ(itunes->startupError(), c.error);
    }
}

TEST(iTunesControllerConnect, OneFailedCreationIsRetriedOnceTwoAreFatal) {
    LogCapture log;
    Fixture once;
    once.backend->createFailures = 1;
    EXPECT_EQ(once.connect()->startupError(), 0);
    EXPECT_EQ(once.backend->createCalls, 2);
    EXPECT_NE(log.text().find("could not launch iTunes, hr="), std::string::npos);

    Fixture twice;
    twice.backend->createFailures = 5;
    auto itunes = twice.connect();
    EXPECT_EQ(itunes->startupError(), 1);
    EXPECT_EQ(twice.backend->createCalls, 2);
}

TEST(iTunesControllerConnect, HolderMakesAndConnectsOnFirstUseOnly) {
    auto backend = std::make_shared<ScriptedBackend>();
    int made = 0;
    iTunesControllerHolder holder([&] {
        ++made;
        return std::make_shared<iTunesController>(backend, std::weak_ptr<iTunesControllerHooks>());
    });
    EXPECT_FALSE(holder.created());
    auto first = holder.get();
    EXPECT_EQ(holder.get(), first);
    EXPECT_EQ(made, 1);
    EXPECT_EQ(backend->createCalls, 1);
    EXPECT_TRUE(first->connected());
}

// ---- start-up errors ----

TEST(iTunesControllerStartup, AnErrorFromConnectingWinsOverALaterOne) {
    Fixture f;
    f.backend->createFailures = 2;
    auto itunes = f.connect();
    itunes->showStartupError(3);
    ASSERT_EQ(f.hooks->alerts(), 1u);
    EXPECT_EQ(f.hooks->titles[0], "iTunes not found");
    EXPECT_EQ(f.hooks->urls.size(), 1u); // code 1 of iTunes itself: the download page
    EXPECT_EQ(f.hooks->quits, 1);
    EXPECT_TRUE(iTunesController::startupFailed());
}

TEST(iTunesControllerStartup, NoErrorShowsNothingAndLaterCodesShowTheirOwnTexts) {
    Fixture f;
    auto itunes = f.connect();
    itunes->showStartupError(0);
    EXPECT_EQ(f.hooks->alerts(), 0u);
    EXPECT_EQ(f.hooks->quits, 0);

    itunes->showStartupError(4);
    ASSERT_EQ(f.hooks->alerts(), 1u);
    EXPECT_EQ(f.hooks->titles[0], "Your iTunes library is empty");
    EXPECT_TRUE(f.hooks->urls.empty());
    EXPECT_EQ(f.hooks->quits, 1);
    // The first reported code stays.
    itunes->showStartupError(3);
    EXPECT_EQ(f.hooks->titles[1], "Your iTunes library is empty");

    EXPECT_EQ(itunes->startupAlert(2).action, StartupAlertAction::OpenDownloadPage);
    EXPECT_EQ(itunes->startupAlert(3).title, "Error reading the iTunes XML file");
}

// ---- finding tracks ----

TEST(iTunesControllerFind, PersistentIdsAreLookedUpInMusicAndPodcastPlaylistsOnly) {
    Fixture f;
    auto source = std::make_shared<ScriptedSource>();
    auto other = std::make_shared<ScriptedPlaylist>();
    other->special = iTunesPlaylistKind::kSpecialNone;
    other->all->add("/music/other.mp3", 5);
    auto podcasts = std::make_shared<ScriptedPlaylist>();
    podcasts->special = iTunesPlaylistKind::kSpecialPodcasts;
    podcasts->all->add("/music/cast.mp3", 9);
    source->lists->items = {other, podcasts};
    f.backend->sourceList->items = {source};
    auto itunes = f.connect();
    auto library = libraryWith({{9, "/music/cast.mp3"}, {5, "/music/other.mp3"}});

    std::string where;
    auto found = itunes->findTrack(9, *library->track(9), "/music/cast.mp3");
    ASSERT_NE(found, nullptr);
    found->location(where);
    EXPECT_EQ(where, "/music/cast.mp3");
    // Only in a playlist that is neither music nor podcasts, and no name search finds it.
    EXPECT_EQ(itunes->findTrack(5, *library->track(5), "/music/other.mp3"), nullptr);
}

TEST(iTunesControllerFind, NameSearchWalksTheSmallestResultAndComparesPaths) {
    Fixture f;
    f.backend->newestMinor = 10; // no persistent-id lookup
    auto playlist = std::make_shared<ScriptedPlaylist>();
    auto byName = std::make_shared<Tracks>();
    byName->add("/music/x.mp3");
    byName->add("/music/Song 1.mp3");
    byName->add("/music/song 1.mp3");
    auto byArtist = std::make_shared<Tracks>();
    for (int i = 0; i < 50; ++i) {
        byArtist->add("/music/artist" + std::to_string(i) + ".mp3");
    }
    byArtist->add("/music/song 1.mp3");
    int walkedByArtist = 0;
    byArtist->onItem = [&] { ++walkedByArtist; };
    playlist->searchResults = {{iTunesSearch::kSongNames, byName},
                               {iTunesSearch::kArtists, byArtist}};
    auto source = std::make_shared<ScriptedSource>();
    source->lists->items = {playlist};
    f.backend->sourceList->items = {source};
    auto itunes = f.connect();
    auto library = libraryWith({{1, "/music/song 1.mp3"}});

    auto found = itunes->findTrack(1, *library->track(1), "/music/song 1.mp3");
    ASSERT_NE(found, nullptr);
    std::string where;
    found->location(where);
    EXPECT_EQ(where, "/music/song 1.mp3"); // case counts in paths here
    EXPECT_EQ(walkedByArtist, 0);
}

TEST(iTunesControllerFind, NameSearchGivesUpAfterItsBudget) {
    LogCapture log;
    Fixture f;
    f.backend->newestMinor = 10;
    auto playlist = std::make_shared<ScriptedPlaylist>();
    auto byName = std::make_shared<Tracks>();
    for (int i = 0; i < 1000; ++i) {
        byName->add("/music/n" + std::to_string(i) + ".mp3");
    }
    int walked = 0;
    std::chrono::milliseconds now{0};
    byName->onItem = [&] {
        ++walked;
        now += std::chrono::milliseconds(10); // a slow iTunes: 10 ms per track
    };
    playlist->searchResults = {{iTunesSearch::kSongNames, byName}};
    auto source = std::make_shared<ScriptedSource>();
    source->lists->items = {playlist};
    f.backend->sourceList->items = {source};
    auto itunes = f.connect();
    itunes->setClock([&] { return now; });
    auto library = libraryWith({{1, "/music/missing.mp3"}});

    EXPECT_EQ(itunes->findTrack(1, *library->track(1), "/music/missing.mp3"), nullptr);
    // Checked before every 100th track: at 200 2.0 s had not passed yet, at 300 they had.
    EXPECT_EQ(walked, 299);
    EXPECT_EQ(log.text().find("Couldn't find track"), std::string::npos);

    // Without the budget running out, a miss is logged with the name.
    now = std::chrono::milliseconds(0);
    byName->onItem = nullptr;
    EXPECT_EQ(itunes->findTrack(1, *library->track(1), "/music/missing.mp3"), nullptr);
    EXPECT_NE(log.text().find("Couldn't find track with name: Song 1"), std::string::npos);
}

// ---- selection and playlists ----

TEST(iTunesControllerSelection, StreamsAndFilesOutsideTheLibraryAreSkipped) {
    Fixture f;
    auto selection = std::make_shared<Tracks>();
    selection->add("/music/b.mp3");
    selection->add(""); // a stream
    selection->add("/elsewhere/c.mp3");
    selection->add("/music/a.mp3");
    f.backend->selection = selection;
    auto itunes = f.connect();
    auto library = libraryWith({{1, "/music/a.mp3"}, {2, "/music/b.mp3"}});
    auto tracks = itunes->selectedTracks(*library);
    ASSERT_EQ(tracks.size(), 2u);
    EXPECT_EQ(tracks[0]->persistentId(), 2u); // iTunes' order
    EXPECT_EQ(tracks[1]->persistentId(), 1u);

    f.backend->selection = nullptr; // nothing selected
    EXPECT_TRUE(itunes->selectedTracks(*library).empty());
}
