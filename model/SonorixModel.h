#pragma once

#include "itunes/CantLoadiTunes.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace sonorix {

class Value_dict;
class RecursiveLock;
class iTunesLibrary;
class iTunesTrackFactory;
class SonorixStatus;
class SonorixTrackStatus;
class SonorixAlbum;
class SonorixGroups;
class SonorixModel;

// The statuses of tracks and albums by key, made on first request.
class SonorixLibrary {
public:
    SonorixLibrary(std::shared_ptr<Value_dict> statuses, std::shared_ptr<RecursiveLock> lock);

    // The cached status, or one made on the key's dictionary (created when asked); an album
    // key gives an album status, any other key a track status.
    std::shared_ptr<SonorixStatus> statusFor(const std::u16string& key, bool create);
    std::shared_ptr<SonorixTrackStatus> trackStatus(uint64_t persistentId, bool create);
    // The album's status; recomputing combines its tracks' results (duration-weighted gain,
    // loudest peak, latest date) and derives its state.
    std::shared_ptr<SonorixStatus> albumStatus(const SonorixAlbum& album, bool create,
                                               bool recompute);

    std::shared_ptr<Value_dict> statuses() const { return m_statuses; }

private:
    std::shared_ptr<Value_dict> m_statuses;
    std::shared_ptr<RecursiveLock> m_lock;
    std::unordered_map<std::u16string, std::shared_ptr<SonorixStatus>> m_cache;
};

// A pending delayed save.
class SaveTimer {
public:
    virtual ~SaveTimer() = default;
    // Runs the save now (on the main thread) unless the timer was invalidated.
    virtual void fire() = 0;
    virtual void invalidate() = 0;
};

// Arms a one-shot timer that calls fire on the main thread after the given seconds.
using SaveTimerFactory =
    std::function<std::shared_ptr<SaveTimer>(double seconds, std::function<void()> fire)>;

// Everything the system knows about one iTunes library: the library itself, the statuses and
// the groups, with the model file they live in.
class SonorixModel : public std::enable_shared_from_this<SonorixModel> {
public:
    class ModelException : public std::exception {
    public:
        explicit ModelException(std::string what) : m_what(std::move(what)) {}
        const char* what() const noexcept override { return m_what.c_str(); }

    private:
        std::string m_what;
    };
    using CantLoadiTunesException = sonorix::CantLoadiTunesException;
    class CantLoadiTunesXMLException : public ModelException {
    public:
        explicit CantLoadiTunesXMLException(std::string what = "CantLoadiTunesXMLException")
            : ModelException(std::move(what)) {}
    };
    class iTunesTooOldException : public ModelException {
    public:
        iTunesTooOldException() : ModelException("iTunesTooOldException") {}
    };

    // Start-up outcomes handed to the controller.
    enum LoadResult : int32_t {
        kLoaded = 0,
        kCantLoadiTunes = 1,
        kiTunesTooOld = 2,
        kCantLoadiTunesXML = 3,
        kLibraryEmpty = 4,
    };

    static constexpr double kSaveDelaySeconds = 180.0;
    static constexpr uint32_t kOldestiTunesVersion = 0x60004;
    static constexpr const char* kSyncExclusionKey = "com.apple.PreferenceSync.ExcludeAllSyncKeys";

    static std::shared_ptr<SonorixModel> create();
    ~SonorixModel();

    // Imports the library file and reads this library's model file. Throws the model exceptions.
    // factory makes the tracks (the connection's); null takes the plain ones.
    void load(const std::string& libraryPath,
              const std::vector<std::pair<std::string, std::string>>& locationMap = {},
              std::shared_ptr<const iTunesTrackFactory> factory = nullptr);
    // load, with the failures turned into the result codes and their log lines.
    LoadResult loadForStartUp(const std::string& libraryPath,
                              const std::vector<std::pair<std::string, std::string>>& locationMap,
                              std::shared_ptr<const iTunesTrackFactory> factory = nullptr);

    void lock();
    void unlock();
    std::shared_ptr<RecursiveLock> modelLock() const { return m_lock; }

    // Asks for a save in 180 seconds; postpone restarts a pending wait.
    void setNeedsSave(bool postpone);
    // Writes a pending save now (at quit).
    void saveNowIfPending();
    bool hasPendingSave() const { return m_saveTimer != nullptr; }
    // Writes the model file; false (logged) when that failed.
    bool save();
    // Why the latest save failed (the system's text); empty after a save that worked.
    std::string saveError() const;
    void ensureSyncExclusion();

    // Replaces the timer service (tests drive it with their own clock).
    void setSaveTimerFactory(SaveTimerFactory factory);

    std::shared_ptr<iTunesLibrary> library() const { return m_library; }
    std::shared_ptr<SonorixLibrary> statusLibrary() const { return m_statusLibrary; }
    std::shared_ptr<SonorixGroups> groups() const { return m_groups; }
    std::shared_ptr<Value_dict> root() const { return m_root; }
    const std::string& modelPath() const { return m_modelPath; }

    // The model of this run, which track fields and statuses lock; none before it exists.
    static std::shared_ptr<SonorixModel> current();
    static void setCurrent(const std::shared_ptr<SonorixModel>& model);

    // "sonorix." + the library's persistent id in "%llX" + ".plist".
    static std::string modelFileName(uint64_t libraryPersistentId);

private:
    SonorixModel();
    void setNeedsSaveOnMainThread(bool postpone);
    void saveTimerFired(uint64_t generation);
    static std::shared_ptr<SaveTimer> defaultSaveTimer(double seconds, std::function<void()> fire);

    std::shared_ptr<SaveTimer> m_saveTimer;
    uint64_t m_timerGeneration = 0;
    SaveTimerFactory m_timerFactory;
    std::shared_ptr<RecursiveLock> m_lock;
    std::shared_ptr<iTunesLibrary> m_library;
    std::string m_modelPath;
    std::string m_saveError;
    mutable std::mutex m_saveErrorLock;
    std::shared_ptr<Value_dict> m_root;
    std::shared_ptr<SonorixLibrary> m_statusLibrary;
    std::vector<std::string> m_crashEntries; // journal entries recorded in the model, unsaved
    std::shared_ptr<SonorixGroups> m_groups;
};

// Reads a property-list file (falling back to its ".tmp"). A file that exists but cannot be
// read is renamed to its name + ".unreadable-" + a UTC time stamp and logged, so that starting
// empty never destroys what the user had. Returns an empty dictionary in both cases.
std::shared_ptr<Value_dict> readOrKeepAside(const std::string& path, const char* what);

} // namespace sonorix
