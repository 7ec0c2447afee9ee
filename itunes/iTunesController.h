#pragma once

#include "foundation/Delegate.h"
#include "itunes/iTunesBackend.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sonorix {

class iTunesLibrary;
class iTunesTrack;

// What the connection needs from the application around it. The application controller
// implements these for the window and for the console.
class iTunesControllerHooks {
public:
    virtual ~iTunesControllerHooks() = default;
    // A modal alert with one button; returns when the user dismissed it. Called on any thread.
    virtual void showAlert(const std::string& title, const std::string& message,
                           const std::string& button) = 0;
    virtual void openURL(const std::string& url) = 0;
    // Lets the user name the library file (remembered for the next start).
    virtual void chooseLibraryFile() = 0;
    // Ends the application after a fatal start-up error.
    virtual void quitApplication() = 0;
};

// The one connection of the process to the iTunes side: connects, checks the version and answers
// what the rest of the system asks of iTunes as a whole. Any thread may call any operation; a
// busy iTunes is waited for behind one shared alert. Held by shared pointer, so that work can be
// scheduled on it from other threads.
class iTunesController : public ThreadCallable<iTunesController> {
public:
    // Start-up error codes.
    enum : int32_t {
        kNoError = 0,
        kNotFound = 1,
        kTooOld = 2,
        kXMLError = 3,
        kLibraryEmpty = 4,
    };

    using Clock = std::function<std::chrono::milliseconds()>;
    static constexpr std::chrono::milliseconds kSearchBudget{2000};

    iTunesController(std::shared_ptr<iTunesBackend> backend,
                     std::weak_ptr<iTunesControllerHooks> hooks);
    ~iTunesController() override;
    iTunesController(const iTunesController&) = delete;
    iTunesController& operator=(const iTunesController&) = delete;

    // Connects once, right after construction; failures end up in startupError().
    void connect();

    int32_t startupError() const { return m_startupError.load(); }
    bool connected() const { return m_connected.load(); }
    bool revealSupported() const { return m_revealSupported; }
    bool persistentIDLookupSupported() const { return m_persistentIDLookupSupported; }
    // Set once a start-up error alert was shown; the start-up notice is then left out.
    static bool startupFailed();

    // Throws CantLoadiTunesException when not connected or when iTunes names no
    // file twice in a row.
    std::string libraryXMLPath();
    // The library tracks selected in iTunes, in iTunes' order; others are skipped.
    std::vector<std::shared_ptr<iTunesTrack>> selectedTracks(const iTunesLibrary& library);
    // The file paths of the one playlist of that exact name; empty when several have it.
    std::vector<std::string> playlistTrackPaths(const std::u16string& name);
    // iTunes' object for a library track; null when not connected or not found.
    std::shared_ptr<iTunesRemoteTrack> findTrack(uint64_t persistentId, const iTunesTrack& track,
                                                 const std::string& path);
    void bringITunesToFront();
    bool checkVersion(int32_t major, int32_t minor);
    // Reports the start-up error (an earlier one wins over code) and ends the application.
    void showStartupError(int32_t code);
    // The texts and the follow-up of a start-up error alert.
    StartupAlert startupAlert(int32_t code) const;

    std::shared_ptr<const iTunesTrackFactory> trackFactory() const;
    const std::shared_ptr<iTunesBackend>& backend() const { return m_backend; }

    // Replaces the clock of the name search's budget (tests).
    void setClock(Clock clock) { m_clock = std::move(clock); }

    // Runs call until it is not busy; a failure is logged with line. Public for the track
    // operations of connections that go through iTunes.
    iTunesResult callITunes(const std::function<iTunesResult()>& call, int line);

private:
    std::shared_ptr<iTunesBackend> application();
    void busyHandler(uint64_t alertsBeforeCall);
    std::shared_ptr<iTunesRemoteTrack> findByPersistentId(iTunesBackend& app, uint64_t id);
    std::shared_ptr<iTunesRemoteTrack> findByName(iTunesBackend& app, const iTunesTrack& track,
                                                  const std::string& path);
    // The user playlists that hold the library's music and podcasts, over every source.
    std::vector<std::shared_ptr<iTunesRemotePlaylist>> libraryPlaylists(iTunesBackend& app);

    std::shared_ptr<iTunesBackend> m_backend;
    std::weak_ptr<iTunesControllerHooks> m_hooks;
    std::atomic<bool> m_connected{false};
    std::atomic<int32_t> m_startupError{kNoError};
    bool m_revealSupported = false;
    bool m_persistentIDLookupSupported = false;
    Clock m_clock;
};

// Makes the controller on first use and connects it at once; later callers share it.
class iTunesControllerHolder {
public:
    using Maker = std::function<std::shared_ptr<iTunesController>()>;
    explicit iTunesControllerHolder(Maker maker) : m_maker(std::move(maker)) {}

    std::shared_ptr<iTunesController> get();
    bool created() const;
    // Lets the controller go (at shut-down); a later get() makes a new one.
    void release();

private:
    Maker m_maker;
    mutable std::mutex m_mutex;
    std::shared_ptr<iTunesController> m_controller;
};

} // namespace sonorix

// Makes a call on the iTunes side under the calling discipline, naming the caller's line.
#define SONORIX_ITUNES_CALL(controller, expression)                                                \
    (controller).callITunes([&]() -> ::sonorix::iTunesResult { return (expression); }, __LINE__)
