#include "processing/SonorixJob.h"

#include "foundation/Log.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"
#include "model/SonorixStatus.h"
#include "model/TrackAccess.h"

namespace sonorix {

SonorixJob::SonorixJob(std::shared_ptr<SonorixAdjustmentJobManager> manager)
    : m_manager(std::move(manager)) {}

SonorixJob::SonorixJob(std::shared_ptr<SonorixAdjustmentJobManager> manager,
                       std::shared_ptr<SonorixAlbum> album, std::shared_ptr<iTunesTrack> track,
                       double runUnits, double albumUnits)
    : m_manager(std::move(manager)), m_album(std::move(album)), m_track(std::move(track)) {
    m_manager->progress()->addTotal(runUnits);
    if (albumShown()) {
        auto owner = m_album->group();
        auto model = owner ? owner->model() : nullptr;
        if (model) {
            if (auto status = model->statusLibrary()->albumStatus(*m_album, true, false)) {
                status->addProgressTotal(albumUnits);
            }
        }
    }
}

bool SonorixJob::albumShown() const {
    return m_album && m_album->tracks().size() > 1;
}

void SonorixJob::addUnits(double units, SonorixStatus& trackStatus,
                          const std::shared_ptr<SonorixStatus>& albumStatus) {
    m_manager->progress()->addDone(units);
    trackStatus.addProgressDone(units);
    reportTrackProgress(m_track, false);
    if (albumStatus) {
        albumStatus->addProgressDone(units);
        reportAlbumProgress(m_album, false);
    }
    m_unitsDone += units;
}

void SonorixJob::reportTrackProgress(const std::shared_ptr<iTunesTrack>& track, bool force) {
    const double now = m_manager->now();
    if (force || now - m_lastTrackReport > kReportInterval) {
        m_lastTrackReport = now;
        m_manager->trackProgress(track, force);
    }
}

void SonorixJob::reportAlbumProgress(const std::shared_ptr<SonorixAlbum>& album, bool force) {
    const double now = m_manager->now();
    if (force || now - m_lastAlbumReport > kReportInterval) {
        m_lastAlbumReport = now;
        m_manager->albumProgress(album, force);
    }
}

void SonorixJob::finalTrackReport(const std::shared_ptr<iTunesTrack>& track) {
    m_lastTrackReport = m_manager->now();
    m_manager->trackProgress(track, false);
}

void SonorixJob::finalAlbumReport(const std::shared_ptr<SonorixAlbum>& album) {
    m_lastAlbumReport = m_manager->now();
    m_manager->albumProgress(album, false);
}

std::shared_ptr<SonorixModel> SonorixJob::albumModel() const {
    auto owner = m_album ? m_album->group() : nullptr;
    return owner ? owner->model() : nullptr;
}

void SonorixJob::skipWork(double units) {
    m_manager->progress()->addDone(units - m_unitsDone);
    m_unitsDone = units;
}

std::shared_ptr<SonorixTrackStatus>
SonorixJob::beginWork(SonorixModel& model, double units,
                      std::shared_ptr<SonorixStatus>& albumStatus) {
    auto library = model.statusLibrary();
    auto trackStatus = library->trackStatus(ta::persistentId(*m_track), true);
    trackStatus->resetProgress();
    trackStatus->addProgressTotal(units);
    trackStatus->addProcessing(1);
    reportTrackProgress(m_track, false);
    albumStatus.reset();
    if (albumShown()) {
        albumStatus = library->albumStatus(*m_album, true, true);
        albumStatus->addProcessing(1);
        reportAlbumProgress(m_album, false);
    }
    return trackStatus;
}

void SonorixJob::endWork(double units, SonorixStatus& trackStatus,
                         const std::shared_ptr<SonorixStatus>& albumStatus) {
    const double rest = units - m_unitsDone;
    if (rest != 0) {
        addUnits(rest, trackStatus, albumStatus);
    }
    trackStatus.addProcessing(-1);
    reportTrackProgress(m_track, true);
    if (albumStatus) {
        albumStatus->addProcessing(-1);
        reportAlbumProgress(m_album, true);
    }
}

// ---------------------------------------------------------------------------------------------

void SonorixPairedJob::run(const WorkerContext& context) {
    pairedAction(context);
    m_done = true;
}

void SonorixPairedJob::deleter(SonorixPairedJob* job) {
    if (!job->isDone() && job->m_partner && job->m_partner->isDone()) {
        // The release may come from a destructor or a worker's bookkeeping: nothing may
        // escape from here.
        try {
            job->run({});
        } catch (const std::exception& e) {
            logUncaughtException(e, "Thread");
        } catch (...) {
            writeLog("Uncaught Exception of unknown type in Thread!");
        }
    }
    delete job;
}

// ---------------------------------------------------------------------------------------------

std::shared_ptr<SonorixAlbumProgressJob>
SonorixAlbumProgressJob::create(std::shared_ptr<SonorixAdjustmentJobManager> manager,
                                std::shared_ptr<SonorixAlbum> album, int32_t delta) {
    return make<SonorixAlbumProgressJob>(std::move(manager), std::move(album), delta);
}

SonorixAlbumProgressJob::SonorixAlbumProgressJob(
    std::shared_ptr<SonorixAdjustmentJobManager> manager, std::shared_ptr<SonorixAlbum> album,
    int32_t delta)
    : m_manager(std::move(manager)), m_album(std::move(album)), m_delta(delta) {}

void SonorixAlbumProgressJob::pairedAction(const WorkerContext&) {
    auto group = m_album->group();
    auto model = group ? group->model() : nullptr;
    if (model) {
        if (auto status = model->statusLibrary()->albumStatus(*m_album, true, false)) {
            status->addProcessing(m_delta);
        }
    }
    m_manager->albumProgress(m_album, false);
}

} // namespace sonorix
