#include "model/SonorixModel.h"

#include "audio/SoundCheck.h"
#include "foundation/CrashJournal.h"

#include "foundation/Locks.h"
#include "foundation/Log.h"
#include "foundation/Paths.h"
#include "foundation/Text.h"
#include "foundation/Value.h"
#include "model/AlbumRules.h"
#include "model/MainThread.h"
#include "model/ModelLock.h"
#include "model/ModelValues.h"
#include "model/SonorixGroups.h"
#include "model/SonorixStatus.h"
#include "model/TrackAccess.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace sonorix {

namespace {

std::mutex g_currentMutex;
std::weak_ptr<SonorixModel> g_current;

std::u16string hexKey(uint64_t id) {
    char buffer[24];
    const int length =
        std::snprintf(buffer, sizeof buffer, "%llX", static_cast<unsigned long long>(id));
    // Hex digits are ASCII: widened as they are, without the transcoder (every status lookup
    // makes one of these, a sort of the outline tens of thousands).
    return std::u16string(buffer, buffer + length);
}

} // namespace

// ---- SonorixLibrary

SonorixLibrary::SonorixLibrary(std::shared_ptr<Value_dict> statuses,
                               std::shared_ptr<RecursiveLock> lock)
    : m_statuses(std::move(statuses)), m_lock(std::move(lock)) {}

std::shared_ptr<SonorixStatus> SonorixLibrary::statusFor(const std::u16string& key, bool create) {
    ModelLocker lock(m_lock);
    auto cached = m_cache.find(key);
    if (cached != m_cache.end()) {
        return cached->second;
    }
    auto entry = mv::asDict(mv::get(*m_statuses, key));
    if (!entry) {
        if (!create) {
            return nullptr;
        }
        entry = mv::newDict();
        mv::setValue(*m_statuses, key, std::static_pointer_cast<Value>(entry));
    }
    std::shared_ptr<SonorixStatus> status;
    if (isAlbumKey(key)) {
        status = std::make_shared<SonorixStatus>(entry, m_lock);
    } else {
        status = std::make_shared<SonorixTrackStatus>(entry, m_lock);
    }
    m_cache.emplace(key, status);
    return status;
}

std::shared_ptr<SonorixTrackStatus> SonorixLibrary::trackStatus(uint64_t persistentId,
                                                                bool create) {
    return std::dynamic_pointer_cast<SonorixTrackStatus>(statusFor(hexKey(persistentId), create));
}

std::shared_ptr<SonorixStatus> SonorixLibrary::albumStatus(const SonorixAlbum& album, bool create,
                                                           bool recompute) {
    const std::u16string key = album.albumKey();
    auto status = statusFor(key, create);
    const auto& tracks = album.tracks();
    if (recompute && tracks.size() > 1) {
        bool allDone = true;
        bool allFailed = true;
        bool anyFailed = false;
        AlbumGainAccumulator loudness;
        std::shared_ptr<DateTimePoint> latest;
        for (const auto& track : tracks) {
            auto trackStat = trackStatus(ta::persistentId(*track), false);
            if (!trackStat) {
                allDone = false;
                allFailed = false;
                continue;
            }
            double gain = 0.0;
            double peak = 0.0;
            std::shared_ptr<DateTimePoint> date;
            if (trackStat->getGainAndPeak(gain, peak, &date) && !SoundCheck::isSilent(peak)) {
                if (!status) {
                    status = statusFor(key, true);
                }
                loudness.add(gain, peak, ta::totalTimeMs(*track) / 1000.0);
                if (date && (!latest || mv::isLater(date, latest))) {
                    latest = date;
                }
            }
            switch (trackStat->getState()) {
            case kStateDone:
                allFailed = false;
                break;
            case kStateFailed:
                anyFailed = true;
                allDone = false;
                break;
            default:
                allDone = false;
                allFailed = false;
                break;
            }
        }
        if (status && latest) {
            status->setGainAndPeak(loudness.gain(), loudness.peak(), latest);
        }
        if (status) {
            status->setState(allDone ? kStateDone
                                     : (allFailed || anyFailed ? kStateFailed : kStateNone));
        }
    }
    if (!status) {
        status = statusFor(key, create);
    }
    return status;
}

// ---- reading with the unreadable file kept aside

std::shared_ptr<Value_dict> readOrKeepAside(const std::string& path, const char* what) {
    std::string readPath;
    if (auto root = mv::readPlist(path, readPath)) {
        return root;
    }
    if (!readPath.empty() && fileExists(readPath)) {
        const std::string kept = readPath + ".unreadable-" + mv::utcStamp();
        if (std::rename(readPath.c_str(), kept.c_str()) == 0) {
            writeLog("Could not read the %s file >>%s<<; kept it as >>%s<< and started empty.",
                     what, readPath.c_str(), kept.c_str());
        } else {
            writeLog("Could not read the %s file >>%s<<, nor keep it as >>%s<<.", what,
                     readPath.c_str(), kept.c_str());
        }
    }
    return mv::newDict();
}

// ---- SonorixModel

std::shared_ptr<SonorixModel> SonorixModel::create() {
    return std::shared_ptr<SonorixModel>(new SonorixModel());
}

SonorixModel::SonorixModel() : m_lock(RecursiveLock::create()), m_root(mv::newDict()) {}

SonorixModel::~SonorixModel() {
    if (m_saveTimer) {
        m_saveTimer->invalidate();
    }
}

std::string SonorixModel::modelFileName(uint64_t libraryPersistentId) {
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "sonorix.%llX.plist",
                  static_cast<unsigned long long>(libraryPersistentId));
    return buffer;
}

void SonorixModel::load(const std::string& libraryPath,
                        const std::vector<std::pair<std::string, std::string>>& locationMap,
                        std::shared_ptr<const iTunesTrackFactory> factory) {
    auto library = ta::loadLibrary(libraryPath, locationMap, std::move(factory));
    if (ta::applicationVersion(*library) < kOldestiTunesVersion) {
        throw iTunesTooOldException();
    }
    ModelLocker lock(m_lock);
    m_library = library;
    m_modelPath = dataFolder() + "/" + modelFileName(ta::libraryPersistentId(*library));
    writeLog("Loading model from >>%s<< ...", m_modelPath.c_str());
    m_root = readOrKeepAside(m_modelPath, "model");
    m_statusLibrary = std::make_shared<SonorixLibrary>(mv::ensureDict(*m_root, "Library"), m_lock);
    m_groups = std::make_shared<SonorixGroups>(weak_from_this(), mv::ensureDict(*m_root, "Groups"));
    m_groups->setUp();
    // Files that crashed a reader in an earlier run fail now instead of crashing this one. The
    // journal's entries go once the model holding that has been saved.
    for (const auto& leftover : CrashJournal::takeLeftovers()) {
        m_statusLibrary->statusFor(toUtf16(leftover.key), true)
            ->markUnsafe(CrashJournal::fileStamp(leftover.path));
        m_crashEntries.push_back(leftover.entry);
    }
    writeLog("... loading model finished.");
}

SonorixModel::LoadResult
SonorixModel::loadForStartUp(const std::string& libraryPath,
                             const std::vector<std::pair<std::string, std::string>>& locationMap,
                             std::shared_ptr<const iTunesTrackFactory> factory) {
    try {
        load(libraryPath, locationMap, std::move(factory));
    } catch (const CantLoadiTunesException&) {
        writeLog("CantLoadiTunesException");
        return kCantLoadiTunes;
    } catch (const iTunesTooOldException&) {
        writeLog("iTunesTooOldException");
        return kiTunesTooOld;
    } catch (const CantLoadiTunesXMLException&) {
        writeLog("CantLoadiTunesXMLException");
        return kCantLoadiTunesXML;
    }
    if (ta::trackCount(*m_library) == 0) {
        writeLog("iTunes Library Empty");
        return kLibraryEmpty;
    }
    return kLoaded;
}

void SonorixModel::lock() {
    m_lock->lock();
}

void SonorixModel::unlock() {
    m_lock->unlock();
}

void SonorixModel::setSaveTimerFactory(SaveTimerFactory factory) {
    m_timerFactory = std::move(factory);
}

void SonorixModel::setNeedsSave(bool postpone) {
    if (!mt::onMainThread()) {
        auto self = shared_from_this();
        mt::post([self, postpone] { self->setNeedsSaveOnMainThread(postpone); });
        return;
    }
    setNeedsSaveOnMainThread(postpone);
}

void SonorixModel::setNeedsSaveOnMainThread(bool postpone) {
    if (m_saveTimer && !postpone) {
        return;
    }
    if (m_saveTimer) {
        m_saveTimer->invalidate();
        m_saveTimer.reset();
    }
    const uint64_t generation = ++m_timerGeneration;
    std::weak_ptr<SonorixModel> weak = weak_from_this();
    auto fire = [weak, generation] {
        if (auto self = weak.lock()) {
            self->saveTimerFired(generation);
        }
    };
    m_saveTimer = m_timerFactory ? m_timerFactory(kSaveDelaySeconds, fire)
                                 : defaultSaveTimer(kSaveDelaySeconds, fire);
}

void SonorixModel::saveTimerFired(uint64_t generation) {
    // A timer replaced by a postponing request may still be under way; only the newest saves.
    if (generation != m_timerGeneration || !m_saveTimer) {
        return;
    }
    m_saveTimer->invalidate();
    m_saveTimer.reset();
    save();
}

void SonorixModel::saveNowIfPending() {
    if (m_saveTimer) {
        saveTimerFired(m_timerGeneration);
    }
}

bool SonorixModel::save() {
    if (m_modelPath.empty()) {
        return false;
    }
    int error = 0;
    if (!mv::writePlist(*m_root, m_modelPath, m_lock, &error)) {
        std::string reason = std::strerror(error);
        writeLog("Could not save the model to >>%s<<: %s", m_modelPath.c_str(), reason.c_str());
        std::lock_guard<std::mutex> lock(m_saveErrorLock);
        m_saveError = reason;
        return false;
    }
    std::vector<std::string> recorded;
    {
        ModelLocker lock(m_lock);
        recorded.swap(m_crashEntries);
    }
    CrashJournal::discard(recorded);
    std::lock_guard<std::mutex> lock(m_saveErrorLock);
    m_saveError.clear();
    return true;
}

std::string SonorixModel::saveError() const {
    std::lock_guard<std::mutex> lock(m_saveErrorLock);
    return m_saveError;
}

void SonorixModel::ensureSyncExclusion() {
    {
        ModelLocker lock(m_lock);
        if (mv::getBool(*m_root, kSyncExclusionKey, false)) {
            return;
        }
        mv::setBool(*m_root, kSyncExclusionKey, true);
    }
    setNeedsSave(true);
}

std::shared_ptr<SonorixModel> SonorixModel::current() {
    std::lock_guard<std::mutex> lock(g_currentMutex);
    return g_current.lock();
}

void SonorixModel::setCurrent(const std::shared_ptr<SonorixModel>& model) {
    std::lock_guard<std::mutex> lock(g_currentMutex);
    g_current = model;
}

} // namespace sonorix
