#include "processing/SonorixJob.h"

#include "foundation/Log.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"
#include "model/SonorixStatus.h"

namespace sonorix {

SonorixJob::SonorixJob(std::shared_ptr<SonorixAdjustmentJobManager> manager)
    : m_manager(std::move(manager)) {}

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

// ---------------------------------------------------------------------------------------------

void SonorixPairedJob::run(const ParameterPtr& context) {
    pairedAction(context);
    m_done = true;
}

void SonorixPairedJob::deleter(SonorixPairedJob* job) {
    if (!job->isDone() && job->m_partner && job->m_partner->isDone()) {
        // The release may come from a destructor or a worker's bookkeeping: nothing may
        // escape from here.
        try {
            job->run(nullptr);
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

void SonorixAlbumProgressJob::pairedAction(const ParameterPtr&) {
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
