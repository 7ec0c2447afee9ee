#include "processing/SonorixManualAdjustmentJob.h"

#include "audio/iTunNORMTag.h"
#include "foundation/Log.h"
#include "foundation/MemoryMappable.h"
#include "foundation/Paths.h"
#include "itunes/iTunesTrack.h"
#include "model/ModelValues.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"
#include "model/SonorixStatus.h"
#include "model/TrackAccess.h"
#include "processing/ControllerHooks.h"
#include "processing/RestoreTrack.h"
#include "processing/SonorixAdjustmentJob.h"

#include <cmath>
#include <map>
#include <mutex>

namespace sonorix {

namespace {

constexpr double kOpenUnits = 0.1;
constexpr double kWriteUnits = 0.23;
constexpr double kCommentUnits = 0.33;
constexpr double kRereadUnits = 0.34;

// A run replaced by the next request lets its running jobs complete while the new run starts:
// two jobs of one track must not write its file at once, or the older value could land last.
std::shared_ptr<std::mutex> trackWriteLock(uint64_t persistentId) {
    static std::mutex guard;
    static std::map<uint64_t, std::weak_ptr<std::mutex>> locks;
    std::lock_guard<std::mutex> hold(guard);
    auto& slot = locks[persistentId];
    auto lock = slot.lock();
    if (!lock) {
        lock = std::make_shared<std::mutex>();
        slot = lock;
    }
    for (auto it = locks.begin(); it != locks.end();) {
        it = it->second.expired() ? locks.erase(it) : std::next(it);
    }
    return lock;
}

bool isRemovableTrailing(char16_t c) {
    return c == 0x0001 || c == 0x0009 || c == 0x000A || c == 0x000D || c == 0x0020 || c == 0x00A0;
}

} // namespace

SonorixManualAdjustmentJobManager::SonorixManualAdjustmentJobManager(
    std::shared_ptr<SonorixControllerHooks> controller, std::shared_ptr<SonorixAlbum> album,
    bool final, bool modifyComments, SecondsClock clock,
    std::shared_ptr<DisplayMessageScheduler> scheduler)
    : SonorixAdjustmentJobManager(std::move(controller), std::move(clock), std::move(scheduler)),
      m_album(std::move(album)), m_final(final), m_modifyComments(modifyComments) {}

SonorixManualAdjustmentJobManager::~SonorixManualAdjustmentJobManager() = default;

void SonorixManualAdjustmentJobManager::allJobsFinished() {
    if (m_final && m_album) {
        albumProgress(m_album, false);
    }
    if (auto hooks = controller()) {
        hooks->processorFinished(sharedFromThis());
    }
}

SonorixManualAdjustmentJob::SonorixManualAdjustmentJob(
    std::shared_ptr<SonorixManualAdjustmentJobManager> manager, std::shared_ptr<iTunesTrack> track,
    double value)
    : m_manager(std::move(manager)), m_track(std::move(track)), m_value(value) {}

SonorixManualAdjustmentJob::~SonorixManualAdjustmentJob() = default;

double SonorixManualAdjustmentJob::roundValue(double value) {
    return std::round(value * 10.0) / 10.0;
}

void SonorixManualAdjustmentJob::touchComment(std::u16string& comment) {
    if (comment.empty()) {
        return;
    }
    if (isRemovableTrailing(comment.back())) {
        comment.pop_back();
    } else {
        comment.push_back(u'\n');
    }
}

void SonorixManualAdjustmentJob::run(const WorkerContext&) {
    setThreadName("SonorixManualAdjustmentJob");
    auto model = SonorixModel::current();
    if (!model) {
        return;
    }
    const uint64_t id = ta::persistentId(*m_track);
    auto status = model->statusLibrary()->trackStatus(id, true);
    status->resetProgress();
    status->addProgressTotal(1);
    status->addProcessing(1);
    m_manager->trackProgress(m_track, false);
    auto step = [&](double units) {
        status->addProgressDone(units);
        m_manager->trackProgress(m_track, false);
    };

    if (status->checkTag(*m_track, false)) {
        model->setNeedsSave(false);
    }

    int16_t newError = status->getError();
    int16_t newFileError = status->getFileError();
    int32_t newState = status->getState();

    auto writeLock = trackWriteLock(id);
    std::lock_guard<std::mutex> writing(*writeLock);
    std::string path = ta::filePath(*m_track);
    if (isCancelled()) {
        // A later request replaced this run while the job waited: its value is out of date.
    } else if (path.empty() || !fileExists(path)) {
        // Neither the file nor its comment is touched.
        newError = kErrorFile;
        newFileError = kFileErrorNotFound;
        newState = kStateFailed;
    } else {
        auto date = mv::now(true);
        try {
            int32_t hint = status->tagReaderHint();
            auto tag = createITunNORMTag(path, hint, true, true);
            status->setTagHint(hint);
            recordOriginal(*status, *tag);
            step(kOpenUnits);

            newError = kErrorNone;
            newFileError = kFileErrorNone;
            newState = kStateDone;
            // The stamp, or a touch that makes iTunes read the file again; it goes into the
            // text's save where the tag library writes both.
            auto changeComment = [&](std::u16string& comment) {
                if (m_manager->isFinal() && m_manager->modifyComments()) {
                    SonorixAdjustmentJob::updateCommentStamp(comment);
                } else {
                    touchComment(comment);
                }
            };
            std::u16string comment;
            const bool withText = tag->comment(comment) && m_track->commentFile() == path;
            if (withText) {
                changeComment(comment);
            }
            bool commentSaved = false;
            tag->setAdjustment(m_value, withText ? &comment : nullptr, &commentSaved);
            tag.reset(); // closes the file before anyone else touches it
            step(kWriteUnits);

            // The iTunes side may fail without harm: the value is in the file already.
            if (!commentSaved && m_track->getComment(comment)) {
                changeComment(comment);
                m_track->setComment(comment);
            }
            step(kCommentUnits);

            m_track->updateInfoFromFile();
            const std::string current = m_track->filePath(true, true, false);
            if (!current.empty()) {
                path = current;
            }
            status->setAdjustedMarker(true);
            step(kRereadUnits);
            model->setNeedsSave(false);

            int32_t readHint = status->tagReaderHint();
            auto readBack = createITunNORMTag(path, readHint, false, false);
            status->setTagHint(readHint);
            if (!readBack->isPresent()) {
                throw iTunNORMTag::NoTagException("no Sound Check text after writing");
            }
            status->setTag(readBack->values(), date);
        } catch (const iTunNORMTag::NoTagSupportedException&) {
            newError = kErrorUnsupported, newState = kStateFailed;
            status->markTagAbsent(date);
        } catch (const iTunNORMTag::NoTagException&) {
            newError = kErrorTag, newState = kStateNoTag;
            status->markTagAbsent(date);
        } catch (const MemoryMappable::MemoryMappableException& e) {
            newError = kErrorFile, newFileError = fileErrorOf(e), newState = kStateFailed;
            writeLog("manual adjustment of %s failed: %s", path.c_str(), e.what());
        } catch (const iTunNORMTag::iTunNORMTagException& e) {
            newError = kErrorFile, newFileError = fileErrorOf(e), newState = kStateFailed;
            writeLog("manual adjustment of %s failed: %s", path.c_str(), e.what());
        }
    }

    // A value now in place also clears an earlier failure, or the row would go on showing it.
    if (newState == kStateFailed || newState == kStateDone) {
        status->setError(newError);
        status->setFileError(newFileError);
        model->setNeedsSave(false);
    }
    status->setState(newState);
    status->addProcessing(-1);
    m_manager->trackProgress(m_track, false);

    if (auto group = model->groups()->groupOfTrack(id)) {
        auto album = group->albumOfTrack(id);
        if (album && album->tracks().size() > 1) {
            m_manager->albumProgress(album, false);
        }
    }
}

} // namespace sonorix
