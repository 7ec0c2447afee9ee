#pragma once

#include "itunes/LibraryLocation.h"
#include "itunes/iTunesBackend.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sonorix {

class iTunesLibrary;
class iTunesTrackLibraryFileFactory;

// The connection where iTunes does not run: the iTunes library file (exported by iTunes or the
// Music app, or read from a Windows disk) is the source of tracks and playlists, and the audio
// files carry what iTunes would hold. The selection is the audio files handed to the
// application.
class iTunesBackendLibraryFile final
    : public iTunesBackend,
      public std::enable_shared_from_this<iTunesBackendLibraryFile> {
public:
    struct Options {
        std::string handedFile;  // named by the user for this run; used as it is
        std::string settingPath; // the "iTunesLibraryXMLPath" setting; used as it is
        LocationMap locations;   // the "LocationPrefixMap" setting
    };

    static std::shared_ptr<iTunesBackendLibraryFile> create(Options options);

    // The usual places of the library file under $HOME, in the order they are tried: the iTunes
    // folder, then the same in the default Wine prefix.
    static std::vector<std::string> standardLocations();
    // The handed file, else the setting, else the first standard location that exists; empty
    // when there is none.
    static std::string findLibraryFile(const std::string& handedFile,
                                       const std::string& settingPath);

    // The audio files handed to the application: they replace (or join) the selection.
    void setHandedFiles(const std::vector<std::string>& paths);
    void addHandedFiles(const std::vector<std::string>& paths);

    // The library whose tracks this connection made, else the file loaded here.
    std::shared_ptr<iTunesLibrary> library();

    void startApplication() override {}
    iTunesResult createApplication() override;
    iTunesResult checkVersion(int32_t major, int32_t minor, bool& compatible) override;
    bool hasWindow() const override { return false; }
    iTunesResult libraryXMLPath(std::string& path) override;
    iTunesResult selectedTracks(std::shared_ptr<iTunesTrackCollection>& tracks) override;
    iTunesResult librarySource(std::shared_ptr<iTunesRemoteSource>& source) override;
    iTunesResult sources(std::shared_ptr<iTunesSourceCollection>& sources) override;
    iTunesResult showBrowserWindow() override;
    std::shared_ptr<const iTunesTrackFactory> trackFactory() const override;
    bool startupAlert(int32_t code, StartupAlert& alert) const override;

private:
    explicit iTunesBackendLibraryFile(Options options);
    void librarySeen(const std::weak_ptr<iTunesLibrary>& library);

    Options m_options;
    std::shared_ptr<iTunesTrackLibraryFileFactory> m_factory;
    mutable std::mutex m_mutex;
    std::string m_path;
    std::vector<std::string> m_handedFiles;
    std::weak_ptr<iTunesLibrary> m_madeLibrary;
    std::shared_ptr<iTunesLibrary> m_loadedLibrary;
};

} // namespace sonorix
