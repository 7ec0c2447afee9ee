#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace sonorix {

class iTunesTrackFactory;

// Answers of calls to the iTunes side, in the convention of its automation interface: zero or
// more is success, negative is failure. Two failures mean "busy, ask again later".
using iTunesResult = int32_t;

namespace iTunesCode {
constexpr iTunesResult kOk = 0;
constexpr iTunesResult kFalse = 1; // success without an answer
constexpr iTunesResult kCallRejected = static_cast<int32_t>(0x80010001);
constexpr iTunesResult kRetryLater = static_cast<int32_t>(0x8001010A);
constexpr iTunesResult kNotImplemented = static_cast<int32_t>(0x80004001);
constexpr iTunesResult kNoInterface = static_cast<int32_t>(0x80004002);
constexpr iTunesResult kFail = static_cast<int32_t>(0x80004005);
constexpr iTunesResult kInvalidArgument = static_cast<int32_t>(0x80070057);

inline bool isBusy(iTunesResult r) {
    return r == kCallRejected || r == kRetryLater;
}
inline bool failed(iTunesResult r) {
    return r < 0;
}
} // namespace iTunesCode

// Search fields and playlist kinds as the iTunes side numbers them.
namespace iTunesSearch {
constexpr int32_t kArtists = 2;
constexpr int32_t kAlbums = 3;
constexpr int32_t kSongNames = 5;
} // namespace iTunesSearch
namespace iTunesPlaylistKind {
constexpr int32_t kLibrary = 1;
constexpr int32_t kUser = 2;
constexpr int32_t kSpecialNone = 0;
constexpr int32_t kSpecialPodcasts = 3;
constexpr int32_t kSpecialMusic = 6;
} // namespace iTunesPlaylistKind

// A track object of the iTunes side (not a library track).
class iTunesRemoteTrack {
public:
    virtual ~iTunesRemoteTrack() = default;
    // The audio file's path; kNoInterface for tracks that are not files (streams).
    virtual iTunesResult location(std::string& path) = 0;
};

// An indexed collection; items count from 1 and an item may be null.
template <class T>
class iTunesCollection {
public:
    virtual ~iTunesCollection() = default;
    virtual iTunesResult count(int32_t& count) = 0;
    virtual iTunesResult item(int32_t index, std::shared_ptr<T>& item) = 0;
};

class iTunesTrackCollection : public iTunesCollection<iTunesRemoteTrack> {
public:
    // Null when the collection holds no track with the id.
    virtual iTunesResult itemByPersistentId(uint64_t persistentId,
                                            std::shared_ptr<iTunesRemoteTrack>& track) = 0;
};

class iTunesRemotePlaylist {
public:
    virtual ~iTunesRemotePlaylist() = default;
    virtual iTunesResult name(std::u16string& name) = 0;
    virtual iTunesResult kind(int32_t& kind) = 0;
    virtual iTunesResult specialKind(int32_t& kind) = 0;
    virtual iTunesResult tracks(std::shared_ptr<iTunesTrackCollection>& tracks) = 0;
    // Null when nothing matches. field: one of iTunesSearch.
    virtual iTunesResult search(const std::u16string& text, int32_t field,
                                std::shared_ptr<iTunesTrackCollection>& found) = 0;
};
using iTunesPlaylistCollection = iTunesCollection<iTunesRemotePlaylist>;

class iTunesRemoteSource {
public:
    virtual ~iTunesRemoteSource() = default;
    virtual iTunesResult playlists(std::shared_ptr<iTunesPlaylistCollection>& playlists) = 0;
};
using iTunesSourceCollection = iTunesCollection<iTunesRemoteSource>;

// What happens after a start-up error alert was dismissed (the application then quits).
enum class StartupAlertAction { Quit, OpenDownloadPage, ChooseLibraryFile };

struct StartupAlert {
    std::string title;
    std::string message;
    std::string button;
    StartupAlertAction action = StartupAlertAction::Quit;
};

// The iTunes side as the controller reaches it. Every operation may be called from any thread.
class iTunesBackend {
public:
    virtual ~iTunesBackend() = default;

    // Makes sure the application runs before the connection is made.
    virtual void startApplication() {}
    // Makes the application object; a failure means there is nothing to talk to.
    virtual iTunesResult createApplication() = 0;
    // Lets the application object go (the controller is being destroyed).
    virtual void releaseApplication() {}

    virtual iTunesResult checkVersion(int32_t major, int32_t minor, bool& compatible) = 0;
    // Whether there is an application window in which a track can be shown.
    virtual bool hasWindow() const = 0;

    virtual iTunesResult libraryXMLPath(std::string& path) = 0;
    // Null when nothing is selected.
    virtual iTunesResult selectedTracks(std::shared_ptr<iTunesTrackCollection>& tracks) = 0;
    virtual iTunesResult librarySource(std::shared_ptr<iTunesRemoteSource>& source) = 0;
    virtual iTunesResult sources(std::shared_ptr<iTunesSourceCollection>& sources) = 0;
    virtual iTunesResult showBrowserWindow() = 0;
    // Restores and raises the application's window, if there is one.
    virtual void raiseWindow() {}

    // The tracks the library import makes for this connection.
    virtual std::shared_ptr<const iTunesTrackFactory> trackFactory() const = 0;
    // This connection's wording of a start-up error alert; false keeps the common one.
    virtual bool startupAlert(int32_t /*code*/, StartupAlert& /*alert*/) const { return false; }
};

} // namespace sonorix
