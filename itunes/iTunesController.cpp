#include "itunes/iTunesController.h"

#include "foundation/Localization.h"
#include "foundation/Locks.h"
#include "foundation/Log.h"
#include "foundation/Text.h"
#include "itunes/CantLoadiTunes.h"
#include "itunes/iTunesLibrary.h"
#include "itunes/iTunesTrack.h"

#include <algorithm>
#include <exception>

namespace sonorix {
namespace {

// Only the thread that holds this shows the busy alert; the others wait for its dismissal.
const std::shared_ptr<MutexLock> g_busyLock = MutexLock::create();
// Counts dismissed busy alerts, so that a thread whose call was answered "busy" while an alert
// was up retries after it instead of showing another one.
std::atomic<uint64_t> g_busyAlertsDismissed{0};
std::atomic<bool> g_startupFailed{false};

std::chrono::milliseconds steadyNow() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
}

// Tracks that are not files answer "no such interface"; that is an answer, not a failure.
iTunesResult fileLocation(iTunesRemoteTrack& track, std::string& location) {
    iTunesResult r = track.location(location);
    if (r == iTunesCode::kNoInterface) {
        location.clear();
        return iTunesCode::kFalse;
    }
    return r;
}

std::string text(const char* key) {
    return Localization::shared().localizedString(key);
}

} // namespace

#define CALL(expression) SONORIX_ITUNES_CALL(*this, expression)

iTunesController::iTunesController(std::shared_ptr<iTunesBackend> backend,
                                   std::weak_ptr<iTunesControllerHooks> hooks)
    : m_backend(std::move(backend)), m_hooks(std::move(hooks)), m_clock(steadyNow) {}

iTunesController::~iTunesController() {
    writeLog("Disconnecting from iTunes");
    if (m_connected.exchange(false)) {
        m_backend->releaseApplication();
    }
}

bool iTunesController::startupFailed() {
    return g_startupFailed.load();
}

void iTunesController::connect() {
    writeLog("Establishing iTunes connection...");
    m_backend->startApplication();
    iTunesResult created = m_backend->createApplication();
    if (iTunesCode::failed(created)) {
        writeLog("could not launch iTunes, hr=%p",
                 reinterpret_cast<void*>(static_cast<uintptr_t>(static_cast<uint32_t>(created))));
        created = m_backend->createApplication();
        if (iTunesCode::failed(created)) {
            m_startupError = kNotFound;
            return;
        }
    }
    m_connected = true;
    bool canShowTracks = m_backend->hasWindow();
    if (checkVersion(1, 11)) {
        m_persistentIDLookupSupported = true;
        m_revealSupported = canShowTracks;
    } else if (checkVersion(1, 10)) {
        m_revealSupported = canShowTracks;
    } else if (!checkVersion(1, 8)) {
        m_startupError = kTooOld;
    }
}

bool iTunesController::checkVersion(int32_t major, int32_t minor) {
    bool compatible = false;
    iTunesResult r = m_backend->checkVersion(major, minor, compatible);
    if (iTunesCode::failed(r)) {
        writeLog("Checking for iTunes version %d.%d, hr=%p", major, minor,
                 reinterpret_cast<void*>(static_cast<uintptr_t>(static_cast<uint32_t>(r))));
        return false;
    }
    writeLog("Checking for iTunes version %d.%d, result=%d", major, minor, compatible ? 1 : 0);
    return compatible;
}

iTunesResult iTunesController::callITunes(const std::function<iTunesResult()>& call, int line) {
    for (;;) {
        uint64_t alertsBefore = g_busyAlertsDismissed.load();
        iTunesResult r = call();
        if (iTunesCode::isBusy(r)) {
            busyHandler(alertsBefore);
            continue;
        }
        if (iTunesCode::failed(r)) {
            writeLog("hr %d line %d", static_cast<int>(r), line);
        }
        return r;
    }
}

void iTunesController::busyHandler(uint64_t alertsBeforeCall) {
    if (g_busyLock->tryLock()) {
        // An alert that closed after this call was answered covered it: just ask again.
        if (g_busyAlertsDismissed.load() == alertsBeforeCall) {
            if (auto hooks = m_hooks.lock()) {
                try {
                    hooks->showAlert(text("iTunesBlockingTitle"), text("iTunesBlockingMessage"),
                                     text("iTunesBlockingButton"));
                } catch (...) {
                    ++g_busyAlertsDismissed;
                    g_busyLock->unlock();
                    throw;
                }
            }
            ++g_busyAlertsDismissed;
        }
        g_busyLock->unlock();
        return;
    }
    g_busyLock->lock();
    g_busyLock->unlock();
}

std::shared_ptr<iTunesBackend> iTunesController::application() {
    if (!m_connected) {
        throw CantLoadiTunesException();
    }
    return m_backend;
}

std::shared_ptr<const iTunesTrackFactory> iTunesController::trackFactory() const {
    return m_backend->trackFactory();
}

std::string iTunesController::libraryXMLPath() {
    auto app = application();
    std::string path;
    CALL(app->libraryXMLPath(path));
    if (path.empty()) {
        CALL(app->libraryXMLPath(path));
    }
    if (path.empty()) {
        throw CantLoadiTunesException();
    }
    return path;
}

std::vector<std::shared_ptr<iTunesTrack>>
iTunesController::selectedTracks(const iTunesLibrary& library) {
    std::vector<std::shared_ptr<iTunesTrack>> result;
    auto app = application();
    std::shared_ptr<iTunesTrackCollection> selection;
    CALL(app->selectedTracks(selection));
    if (!selection) {
        return result;
    }
    int32_t count = 0;
    CALL(selection->count(count));
    for (int32_t i = 1; i <= count; ++i) {
        std::shared_ptr<iTunesRemoteTrack> item;
        CALL(selection->item(i, item));
        if (!item) {
            continue;
        }
        std::string location;
        if (iTunesCode::failed(CALL(fileLocation(*item, location))) || location.empty()) {
            continue;
        }
        if (auto track = library.trackForPath(location)) {
            result.push_back(std::move(track));
        }
    }
    return result;
}

std::vector<std::string> iTunesController::playlistTrackPaths(const std::u16string& name) {
    std::vector<std::string> paths;
    auto app = application();
    try {
        std::shared_ptr<iTunesRemoteSource> source;
        CALL(app->librarySource(source));
        std::shared_ptr<iTunesPlaylistCollection> playlists;
        if (source) {
            CALL(source->playlists(playlists));
        }
        int32_t count = 0;
        if (playlists) {
            CALL(playlists->count(count));
        }
        int matches = 0;
        for (int32_t i = 1; i <= count; ++i) {
            std::shared_ptr<iTunesRemotePlaylist> playlist;
            CALL(playlists->item(i, playlist));
            if (!playlist) {
                continue;
            }
            std::u16string playlistName;
            CALL(playlist->name(playlistName));
            if (playlistName != name) {
                continue;
            }
            if (++matches > 1) {
                continue;
            }
            std::shared_ptr<iTunesTrackCollection> tracks;
            CALL(playlist->tracks(tracks));
            int32_t trackCount = 0;
            if (tracks) {
                CALL(tracks->count(trackCount));
            }
            paths.reserve(static_cast<size_t>(std::max(trackCount, 0)));
            for (int32_t j = 1; j <= trackCount; ++j) {
                std::shared_ptr<iTunesRemoteTrack> track;
                CALL(tracks->item(j, track));
                std::string location;
                if (track && !iTunesCode::failed(CALL(fileLocation(*track, location))) &&
                    !location.empty()) {
                    paths.push_back(std::move(location));
                }
            }
        }
        // Two playlists of one name: which one the user meant is unknown.
        if (matches > 1) {
            paths.clear();
        }
    } catch (const std::exception& e) {
        writeLog("%s", e.what());
    }
    return paths;
}

std::vector<std::shared_ptr<iTunesRemotePlaylist>>
iTunesController::libraryPlaylists(iTunesBackend& app) {
    std::vector<std::shared_ptr<iTunesRemotePlaylist>> result;
    std::shared_ptr<iTunesSourceCollection> sources;
    CALL(app.sources(sources));
    int32_t sourceCount = 0;
    if (sources) {
        CALL(sources->count(sourceCount));
    }
    for (int32_t i = 1; i <= sourceCount; ++i) {
        std::shared_ptr<iTunesRemoteSource> source;
        CALL(sources->item(i, source));
        std::shared_ptr<iTunesPlaylistCollection> playlists;
        if (source) {
            CALL(source->playlists(playlists));
        }
        int32_t count = 0;
        if (playlists) {
            CALL(playlists->count(count));
        }
        for (int32_t j = 1; j <= count; ++j) {
            std::shared_ptr<iTunesRemotePlaylist> playlist;
            CALL(playlists->item(j, playlist));
            if (!playlist) {
                continue;
            }
            int32_t kind = 0;
            CALL(playlist->kind(kind));
            if (kind != iTunesPlaylistKind::kUser) {
                continue;
            }
            int32_t special = 0;
            CALL(playlist->specialKind(special));
            if (special == iTunesPlaylistKind::kSpecialMusic ||
                special == iTunesPlaylistKind::kSpecialPodcasts) {
                result.push_back(std::move(playlist));
            }
        }
    }
    return result;
}

std::shared_ptr<iTunesRemoteTrack> iTunesController::findByPersistentId(iTunesBackend& app,
                                                                        uint64_t id) {
    for (const auto& playlist : libraryPlaylists(app)) {
        std::shared_ptr<iTunesTrackCollection> tracks;
        CALL(playlist->tracks(tracks));
        if (!tracks) {
            continue;
        }
        std::shared_ptr<iTunesRemoteTrack> found;
        CALL(tracks->itemByPersistentId(id, found));
        if (found) {
            return found;
        }
    }
    return nullptr;
}

std::shared_ptr<iTunesRemoteTrack> iTunesController::findByName(iTunesBackend& app,
                                                                const iTunesTrack& track,
                                                                const std::string& path) {
    const auto start = m_clock();
    for (const auto& playlist : libraryPlaylists(app)) {
        struct Found {
            std::shared_ptr<iTunesTrackCollection> tracks;
            int32_t count = 0;
        };
        std::vector<Found> results;
        const std::pair<std::u16string, int32_t> searches[] = {
            {track.name(), iTunesSearch::kSongNames},
            {track.album(), iTunesSearch::kAlbums},
            {track.artist(), iTunesSearch::kArtists},
        };
        for (const auto& [searchText, field] : searches) {
            Found f;
            CALL(playlist->search(searchText, field, f.tracks));
            if (f.tracks) {
                CALL(f.tracks->count(f.count));
                results.push_back(std::move(f));
            }
        }
        if (results.empty()) {
            continue;
        }
        // The track is in every result; the smallest is the cheapest to walk.
        std::stable_sort(results.begin(), results.end(),
                         [](const Found& a, const Found& b) { return a.count < b.count; });
        const Found& smallest = results.front();
        for (int32_t i = 1; i <= smallest.count; ++i) {
            if (i % 100 == 0 && m_clock() - start > kSearchBudget) {
                return nullptr;
            }
            std::shared_ptr<iTunesRemoteTrack> item;
            CALL(smallest.tracks->item(i, item));
            std::string location;
            if (item && !iTunesCode::failed(CALL(fileLocation(*item, location))) &&
                !location.empty() && location == path) {
                return item;
            }
        }
    }
    writeLog("Couldn't find track with name: %s", toUtf8(track.name()).c_str());
    return nullptr;
}

std::shared_ptr<iTunesRemoteTrack> iTunesController::findTrack(uint64_t persistentId,
                                                               const iTunesTrack& track,
                                                               const std::string& path) {
    if (!m_connected) {
        return nullptr;
    }
    auto app = m_backend;
    if (m_persistentIDLookupSupported) {
        if (auto found = findByPersistentId(*app, persistentId)) {
            return found;
        }
    }
    return findByName(*app, track, path);
}

void iTunesController::bringITunesToFront() {
    auto app = application();
    CALL(app->showBrowserWindow());
    app->raiseWindow();
}

StartupAlert iTunesController::startupAlert(int32_t code) const {
    StartupAlert alert;
    if (m_backend->startupAlert(code, alert)) {
        return alert;
    }
    // Each alert's texts share a key prefix: "<prefix>_Title", "_Message" and the button.
    auto make = [](const std::string& prefix, const char* button, StartupAlertAction action) {
        auto key = [&](const std::string& part) { return text((prefix + "_" + part).c_str()); };
        return StartupAlert{key("Title"), key("Message"), key(button), action};
    };
    switch (code) {
    case kNotFound:
        return make("iTunesNotInstalled", "Download", StartupAlertAction::OpenDownloadPage);
    case kTooOld:
        return make("iTunesTooOld", "Download", StartupAlertAction::OpenDownloadPage);
    case kLibraryEmpty:
        return make("iTunesLibraryEmpty", "Quit", StartupAlertAction::Quit);
    default:
        // kXMLError; an unknown code still ends the application, with the nearest wording we have.
        return make("iTunesXMLError", "Quit", StartupAlertAction::Quit);
    }
}

void iTunesController::showStartupError(int32_t code) {
    int32_t expected = kNoError;
    m_startupError.compare_exchange_strong(expected, code);
    int32_t shown = m_startupError.load();
    if (shown == kNoError) {
        return;
    }
    StartupAlert alert = startupAlert(shown);
    auto hooks = m_hooks.lock();
    if (hooks) {
        hooks->showAlert(alert.title, alert.message, alert.button);
        switch (alert.action) {
        case StartupAlertAction::OpenDownloadPage:
            hooks->openURL(text("iTunesDownloadURL"));
            break;
        case StartupAlertAction::ChooseLibraryFile:
            hooks->chooseLibraryFile();
            break;
        case StartupAlertAction::Quit:
            break;
        }
    }
    g_startupFailed = true;
    if (hooks) {
        hooks->quitApplication();
    }
}

std::shared_ptr<iTunesController> iTunesControllerHolder::get() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_controller) {
        m_controller = m_maker();
        m_controller->connect();
    }
    return m_controller;
}

bool iTunesControllerHolder::created() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_controller != nullptr;
}

void iTunesControllerHolder::release() {
    std::shared_ptr<iTunesController> controller;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        controller.swap(m_controller);
    }
}

} // namespace sonorix
