#include "itunes/iTunesBackendLibraryFile.h"

#include "foundation/Localization.h"
#include "foundation/Log.h"
#include "foundation/Paths.h"
#include "foundation/Text.h"
#include "itunes/iTunesController.h"
#include "itunes/iTunesLibrary.h"
#include "itunes/iTunesTrackLibraryFile.h"

#include <cstdlib>
#include <cwctype>
#include <filesystem>
#include <pwd.h>
#include <unistd.h>
#include <unordered_map>

namespace sonorix {
namespace {

using TrackList = std::vector<std::shared_ptr<iTunesTrack>>;

// A track of the library as the connection hands it out.
class LibraryRemoteTrack final : public iTunesRemoteTrack {
public:
    explicit LibraryRemoteTrack(std::shared_ptr<iTunesTrack> track) : m_track(std::move(track)) {}
    iTunesResult location(std::string& path) override {
        return m_track->getLocationFromITunes(path) ? iTunesCode::kOk : iTunesCode::kNoInterface;
    }

private:
    std::shared_ptr<iTunesTrack> m_track;
};

// An audio file handed to the application; it may or may not be in the library.
class HandedFileTrack final : public iTunesRemoteTrack {
public:
    explicit HandedFileTrack(std::string path) : m_path(std::move(path)) {}
    iTunesResult location(std::string& path) override {
        path = m_path;
        return iTunesCode::kOk;
    }

private:
    std::string m_path;
};

class TrackCollection final : public iTunesTrackCollection {
public:
    // byId: when given, persistent ids are looked up in the whole library (which this
    // collection then holds entirely).
    TrackCollection(TrackList tracks, std::shared_ptr<iTunesLibrary> byId = nullptr)
        : m_tracks(std::move(tracks)), m_byId(std::move(byId)) {}
    iTunesResult count(int32_t& n) override {
        n = static_cast<int32_t>(m_tracks.size());
        return iTunesCode::kOk;
    }
    iTunesResult item(int32_t index, std::shared_ptr<iTunesRemoteTrack>& item) override {
        if (index < 1 || static_cast<size_t>(index) > m_tracks.size()) {
            item.reset();
            return iTunesCode::kInvalidArgument;
        }
        item = std::make_shared<LibraryRemoteTrack>(m_tracks[static_cast<size_t>(index - 1)]);
        return iTunesCode::kOk;
    }
    iTunesResult itemByPersistentId(uint64_t id,
                                    std::shared_ptr<iTunesRemoteTrack>& track) override {
        track.reset();
        std::shared_ptr<iTunesTrack> found;
        if (m_byId) {
            found = m_byId->track(id);
        } else {
            for (const auto& t : m_tracks) {
                if (t->persistentId() == id) {
                    found = t;
                    break;
                }
            }
        }
        if (found) {
            track = std::make_shared<LibraryRemoteTrack>(std::move(found));
        }
        return iTunesCode::kOk;
    }

private:
    TrackList m_tracks;
    std::shared_ptr<iTunesLibrary> m_byId;
};

class HandedFiles final : public iTunesTrackCollection {
public:
    explicit HandedFiles(std::vector<std::string> paths) : m_paths(std::move(paths)) {}
    iTunesResult count(int32_t& n) override {
        n = static_cast<int32_t>(m_paths.size());
        return iTunesCode::kOk;
    }
    iTunesResult item(int32_t index, std::shared_ptr<iTunesRemoteTrack>& item) override {
        if (index < 1 || static_cast<size_t>(index) > m_paths.size()) {
            item.reset();
            return iTunesCode::kInvalidArgument;
        }
        item = std::make_shared<HandedFileTrack>(m_paths[static_cast<size_t>(index - 1)]);
        return iTunesCode::kOk;
    }
    iTunesResult itemByPersistentId(uint64_t, std::shared_ptr<iTunesRemoteTrack>& t) override {
        t.reset();
        return iTunesCode::kOk;
    }

private:
    std::vector<std::string> m_paths;
};

char16_t fold(char16_t c) {
    if (c < 128) {
        return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
    }
    return static_cast<char16_t>(std::towlower(static_cast<wint_t>(c)));
}

bool containsIgnoringCase(const std::u16string& haystack, const std::u16string& needle) {
    if (needle.size() > haystack.size()) {
        return false;
    }
    for (size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
        size_t j = 0;
        while (j < needle.size() && fold(haystack[i + j]) == fold(needle[j])) {
            ++j;
        }
        if (j == needle.size()) {
            return true;
        }
    }
    return false;
}

class Playlist final : public iTunesRemotePlaylist {
public:
    Playlist(std::u16string name, int32_t kind, int32_t special, TrackList tracks,
             std::shared_ptr<iTunesLibrary> byId = nullptr)
        : m_name(std::move(name)), m_kind(kind), m_special(special), m_tracks(std::move(tracks)),
          m_byId(std::move(byId)) {}
    iTunesResult name(std::u16string& name) override {
        name = m_name;
        return iTunesCode::kOk;
    }
    iTunesResult kind(int32_t& kind) override {
        kind = m_kind;
        return iTunesCode::kOk;
    }
    iTunesResult specialKind(int32_t& kind) override {
        kind = m_special;
        return iTunesCode::kOk;
    }
    iTunesResult tracks(std::shared_ptr<iTunesTrackCollection>& tracks) override {
        tracks = std::make_shared<TrackCollection>(m_tracks, m_byId);
        return iTunesCode::kOk;
    }
    iTunesResult search(const std::u16string& text, int32_t field,
                        std::shared_ptr<iTunesTrackCollection>& found) override {
        found.reset();
        if (text.empty()) {
            return iTunesCode::kOk;
        }
        TrackList hits;
        for (const auto& t : m_tracks) {
            std::u16string value = field == iTunesSearch::kSongNames ? t->name()
                                   : field == iTunesSearch::kAlbums  ? t->album()
                                   : field == iTunesSearch::kArtists ? t->artist()
                                                                     : std::u16string();
            if (containsIgnoringCase(value, text)) {
                hits.push_back(t);
            }
        }
        if (!hits.empty()) {
            found = std::make_shared<TrackCollection>(std::move(hits));
        }
        return iTunesCode::kOk;
    }

private:
    std::u16string m_name;
    int32_t m_kind;
    int32_t m_special;
    TrackList m_tracks;
    std::shared_ptr<iTunesLibrary> m_byId;
};

template <class T>
class VectorCollection final : public iTunesCollection<T> {
public:
    explicit VectorCollection(std::vector<std::shared_ptr<T>> items) : m_items(std::move(items)) {}
    iTunesResult count(int32_t& n) override {
        n = static_cast<int32_t>(m_items.size());
        return iTunesCode::kOk;
    }
    iTunesResult item(int32_t index, std::shared_ptr<T>& item) override {
        if (index < 1 || static_cast<size_t>(index) > m_items.size()) {
            item.reset();
            return iTunesCode::kInvalidArgument;
        }
        item = m_items[static_cast<size_t>(index - 1)];
        return iTunesCode::kOk;
    }

private:
    std::vector<std::shared_ptr<T>> m_items;
};

class Source final : public iTunesRemoteSource {
public:
    explicit Source(std::vector<std::shared_ptr<iTunesRemotePlaylist>> playlists)
        : m_playlists(std::move(playlists)) {}
    iTunesResult playlists(std::shared_ptr<iTunesPlaylistCollection>& playlists) override {
        playlists = std::make_shared<VectorCollection<iTunesRemotePlaylist>>(m_playlists);
        return iTunesCode::kOk;
    }

private:
    std::vector<std::shared_ptr<iTunesRemotePlaylist>> m_playlists;
};

// The "Playlists" of the library file, each with its tracks in order. The file's own special
// playlists are plain ones here: which tracks they hold is up to whoever exported the file.
std::vector<std::shared_ptr<iTunesRemotePlaylist>> filePlaylists(const iTunesLibrary& library) {
    std::vector<std::shared_ptr<iTunesRemotePlaylist>> result;
    auto array = asArray(library.root()->get("Playlists"));
    if (!array || !array->arrayItems()) {
        return result;
    }
    std::unordered_map<int32_t, std::shared_ptr<iTunesTrack>> byTrackId;
    for (const auto& [id, track] : library.tracks()) {
        byTrackId.emplace(track->trackId(), track);
    }
    for (const auto& value : *array->arrayItems()) {
        auto dict = asDict(value);
        if (!dict) {
            continue;
        }
        TrackList tracks;
        auto items = asArray(dict->get("Playlist Items"));
        if (items && items->arrayItems()) {
            for (const auto& item : *items->arrayItems()) {
                auto itemDict = asDict(item);
                if (!itemDict) {
                    continue;
                }
                auto found = byTrackId.find(itemDict->getInt32("Track ID", -1));
                if (found != byTrackId.end()) {
                    tracks.push_back(found->second);
                }
            }
        }
        const bool master = dict->getBool("Master");
        std::u16string name = dict->getString("Name");
        // iTunes stores its library playlist under an internal name and shows it as "Library".
        if (master && (name.empty() || name == u"####!####")) {
            name = toUtf16(Localization::shared().localizedString("LibraryPlaylistName"));
        }
        result.push_back(std::make_shared<Playlist>(
            std::move(name), master ? iTunesPlaylistKind::kLibrary : iTunesPlaylistKind::kUser,
            iTunesPlaylistKind::kSpecialNone, std::move(tracks)));
    }
    return result;
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string userName() {
    std::string user = environment("USER");
    if (!user.empty()) {
        return user;
    }
    if (const passwd* pw = ::getpwuid(::getuid())) {
        return pw->pw_name;
    }
    return {};
}

std::string homeFolder() {
    std::string home = environment("HOME");
    if (!home.empty()) {
        return home;
    }
    if (const passwd* pw = ::getpwuid(::getuid())) {
        return pw->pw_dir;
    }
    return {};
}

// A handed path as the library has its paths: absolute, without "." and "..".
std::string absolutePath(const std::string& path) {
    std::error_code error;
    auto absolute = std::filesystem::absolute(path, error);
    if (error) {
        return path;
    }
    return absolute.lexically_normal().string();
}

} // namespace

std::shared_ptr<iTunesBackendLibraryFile> iTunesBackendLibraryFile::create(Options options) {
    std::shared_ptr<iTunesBackendLibraryFile> backend(
        new iTunesBackendLibraryFile(std::move(options)));
    std::weak_ptr<iTunesBackendLibraryFile> weak = backend;
    backend->m_factory = std::make_shared<iTunesTrackLibraryFileFactory>(
        [weak](const std::weak_ptr<iTunesLibrary>& library) {
            if (auto self = weak.lock()) {
                self->librarySeen(library);
            }
        });
    return backend;
}

iTunesBackendLibraryFile::iTunesBackendLibraryFile(Options options)
    : m_options(std::move(options)) {}

std::vector<std::string> iTunesBackendLibraryFile::standardLocations() {
    std::string home = homeFolder();
    std::vector<std::string> folders = {home + "/Music/iTunes/"};
    std::string user = userName();
    if (!user.empty()) {
        folders.push_back(home + "/.wine/drive_c/users/" + user + "/Music/iTunes/");
    }
    std::vector<std::string> result;
    for (const auto& folder : folders) {
        result.push_back(folder + "iTunes Music Library.xml");
        result.push_back(folder + "iTunes Library.xml");
    }
    return result;
}

std::string iTunesBackendLibraryFile::findLibraryFile(const std::string& handedFile,
                                                      const std::string& settingPath) {
    // A file the user named is used even when it cannot be read: the import then says so,
    // instead of quietly opening some other library.
    if (!handedFile.empty()) {
        return handedFile;
    }
    if (!settingPath.empty()) {
        return settingPath;
    }
    for (const auto& candidate : standardLocations()) {
        if (fileExists(candidate)) {
            return candidate;
        }
    }
    return {};
}

void iTunesBackendLibraryFile::setHandedFiles(const std::vector<std::string>& paths) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_handedFiles.clear();
    for (const auto& p : paths) {
        m_handedFiles.push_back(absolutePath(p));
    }
}

void iTunesBackendLibraryFile::addHandedFiles(const std::vector<std::string>& paths) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& p : paths) {
        m_handedFiles.push_back(absolutePath(p));
    }
}

void iTunesBackendLibraryFile::librarySeen(const std::weak_ptr<iTunesLibrary>& library) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_madeLibrary = library;
}

std::shared_ptr<iTunesLibrary> iTunesBackendLibraryFile::library() {
    std::string path;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (auto made = m_madeLibrary.lock()) {
            return made;
        }
        if (m_loadedLibrary) {
            return m_loadedLibrary;
        }
        path = m_path;
    }
    if (path.empty()) {
        throw iTunesLibrary::CantLoadiTunesXMLException("no library file");
    }
    auto loaded = iTunesLibrary::load(path, m_options.locations, m_factory);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (auto made = m_madeLibrary.lock()) {
        return made;
    }
    m_loadedLibrary = loaded;
    return loaded;
}

iTunesResult iTunesBackendLibraryFile::createApplication() {
    std::string path = findLibraryFile(m_options.handedFile, m_options.settingPath);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (path.empty()) {
        std::string places;
        for (const auto& p : standardLocations()) {
            places += (places.empty() ? "" : ", ") + p;
        }
        writeLog("No iTunes library file found; looked for %s", places.c_str());
        return iTunesCode::kFail;
    }
    m_path = path;
    writeLog("iTunes library file: %s", path.c_str());
    return iTunesCode::kOk;
}

iTunesResult iTunesBackendLibraryFile::checkVersion(int32_t major, int32_t minor,
                                                    bool& compatible) {
    // Everything the library file offers matches the newest interface we know, 1.11.
    compatible = major < 1 || (major == 1 && minor <= 11);
    return iTunesCode::kOk;
}

iTunesResult iTunesBackendLibraryFile::libraryXMLPath(std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    path = m_path;
    return path.empty() ? iTunesCode::kFail : iTunesCode::kOk;
}

iTunesResult
iTunesBackendLibraryFile::selectedTracks(std::shared_ptr<iTunesTrackCollection>& tracks) {
    std::lock_guard<std::mutex> lock(m_mutex);
    tracks.reset();
    if (!m_handedFiles.empty()) {
        tracks = std::make_shared<HandedFiles>(m_handedFiles);
    }
    return iTunesCode::kOk;
}

iTunesResult iTunesBackendLibraryFile::librarySource(std::shared_ptr<iTunesRemoteSource>& source) {
    source.reset();
    try {
        source = std::make_shared<Source>(filePlaylists(*library()));
    } catch (const std::exception& e) {
        writeLog("Reading the playlists failed: %s", e.what());
        return iTunesCode::kFail;
    }
    return iTunesCode::kOk;
}

iTunesResult iTunesBackendLibraryFile::sources(std::shared_ptr<iTunesSourceCollection>& sources) {
    sources.reset();
    try {
        auto lib = library();
        TrackList all;
        all.reserve(lib->tracks().size());
        for (const auto& [id, track] : lib->tracks()) {
            all.push_back(track);
        }
        // Every track of the file, standing in for iTunes' music playlist, so that a track is
        // found by its persistent id even when the file has no such playlist.
        auto music =
            std::make_shared<Playlist>(u"Music", iTunesPlaylistKind::kUser,
                                       iTunesPlaylistKind::kSpecialMusic, std::move(all), lib);
        std::vector<std::shared_ptr<iTunesRemoteSource>> list = {
            std::make_shared<Source>(std::vector<std::shared_ptr<iTunesRemotePlaylist>>{music}),
        };
        sources = std::make_shared<VectorCollection<iTunesRemoteSource>>(std::move(list));
    } catch (const std::exception& e) {
        writeLog("Reading the library failed: %s", e.what());
        return iTunesCode::kFail;
    }
    return iTunesCode::kOk;
}

iTunesResult iTunesBackendLibraryFile::showBrowserWindow() {
    return iTunesCode::kFalse; // there is no window; nothing to show
}

std::shared_ptr<const iTunesTrackFactory> iTunesBackendLibraryFile::trackFactory() const {
    return m_factory;
}

bool iTunesBackendLibraryFile::startupAlert(int32_t code, StartupAlert& alert) const {
    auto& l10n = Localization::shared();
    if (code == iTunesController::kXMLError) {
        // A file that is not there is no reading error: say so, and let the user choose one.
        std::string path;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            path = m_path;
        }
        if (path.empty() || fileExists(path)) {
            return false;
        }
        alert.title = l10n.localizedString("iTunesLibraryMissing_Title");
        alert.message = formatString(l10n.localizedString("iTunesLibraryMissing_Message").c_str(),
                                     path.c_str());
        alert.button = l10n.localizedString("iTunesLibraryNotFound_Choose");
        alert.action = StartupAlertAction::ChooseLibraryFile;
        return true;
    }
    if (code != 1) {
        return false;
    }
    std::string places;
    for (const auto& p : standardLocations()) {
        places += "\n    " + p;
    }
    alert.title = l10n.localizedString("iTunesLibraryNotFound_Title");
    alert.message =
        formatString(l10n.localizedString("iTunesLibraryNotFound_Message").c_str(), places.c_str());
    alert.button = l10n.localizedString("iTunesLibraryNotFound_Choose");
    alert.action = StartupAlertAction::ChooseLibraryFile;
    return true;
}

} // namespace sonorix
