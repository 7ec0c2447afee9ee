#include "processing/SonorixStatusUpdater.h"

#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"
#include "model/SonorixStatus.h"
#include "model/TrackAccess.h"
#include "processing/ControllerHooks.h"

namespace sonorix {

namespace {

std::mutex& updaterMutex() {
    static std::mutex mutex;
    return mutex;
}

std::weak_ptr<SonorixStatusUpdaterJobManager>& currentUpdater() {
    static std::weak_ptr<SonorixStatusUpdaterJobManager> updater;
    return updater;
}

} // namespace

void TagCheckBatch::oneDelivered() {
    if (remaining > 0 && --remaining == 0 && done) {
        auto action = std::move(done);
        action();
    }
}

std::shared_ptr<SonorixStatusUpdaterJobManager> statusUpdater() {
    std::lock_guard<std::mutex> hold(updaterMutex());
    return currentUpdater().lock();
}

std::shared_ptr<SonorixStatusUpdaterJobManager>
SonorixStatusUpdaterJobManager::create(std::shared_ptr<SonorixControllerHooks> controller) {
    std::shared_ptr<SonorixStatusUpdaterJobManager> manager(
        new SonorixStatusUpdaterJobManager(std::move(controller)));
    manager->setPersistent(true);
    manager->setMaxWorkers(kMaxWorkers);
    {
        std::lock_guard<std::mutex> hold(updaterMutex());
        currentUpdater() = manager;
    }
    setTrackForgetter([](uint64_t id) {
        if (auto updater = statusUpdater()) {
            updater->forgetTrack(id);
        }
    });
    return manager;
}

SonorixStatusUpdaterJobManager::SonorixStatusUpdaterJobManager(
    std::shared_ptr<SonorixControllerHooks> controller)
    : m_controller(std::move(controller)) {}

SonorixStatusUpdaterJobManager::~SonorixStatusUpdaterJobManager() = default;

bool SonorixStatusUpdaterJobManager::queueTrack(const std::shared_ptr<SonorixAlbum>& album,
                                                const std::shared_ptr<iTunesTrack>& track,
                                                const std::shared_ptr<TagCheckBatch>& batch) {
    if (!album || !track) {
        return false;
    }
    {
        std::lock_guard<std::mutex> hold(m_queuedLock);
        if (!m_queued.insert(ta::persistentId(*track)).second) {
            return false;
        }
    }
    if (batch) {
        ++batch->remaining;
    }
    auto self = std::static_pointer_cast<SonorixStatusUpdaterJobManager>(sharedFromThis());
    addJob(std::make_shared<SonorixTrackStatusUpdaterJob>(self, track, album, batch));
    return true;
}

void SonorixStatusUpdaterJobManager::queueAlbumTracks(const std::shared_ptr<SonorixAlbum>& album) {
    if (!album) {
        return;
    }
    for (const auto& track : album->tracks()) {
        queueTrack(album, track);
    }
}

void SonorixStatusUpdaterJobManager::forgetTrack(uint64_t persistentId) {
    std::lock_guard<std::mutex> hold(m_queuedLock);
    m_queued.erase(persistentId);
}

void SonorixStatusUpdaterJobManager::forgetTrack(const iTunesTrack& track) {
    forgetTrack(ta::persistentId(track));
}

bool SonorixStatusUpdaterJobManager::isQueued(uint64_t persistentId) const {
    std::lock_guard<std::mutex> hold(m_queuedLock);
    return m_queued.count(persistentId) != 0;
}

// ---------------------------------------------------------------------------------------------

SonorixTrackStatusUpdaterJob::SonorixTrackStatusUpdaterJob(
    std::shared_ptr<SonorixStatusUpdaterJobManager> manager, std::shared_ptr<iTunesTrack> track,
    std::shared_ptr<SonorixAlbum> album, std::shared_ptr<TagCheckBatch> batch)
    : m_manager(std::move(manager)), m_track(std::move(track)), m_album(std::move(album)),
      m_batch(std::move(batch)) {}

void SonorixTrackStatusUpdaterJob::run(const WorkerContext&) {
    auto group = m_album->group();
    auto model = group ? group->model() : nullptr;
    if (!model) {
        m_modelGone = true;
        return;
    }
    auto status = model->statusLibrary()->trackStatus(ta::persistentId(*m_track), true);
    m_changed = status->checkTag(*m_track, false);
}

void SonorixTrackStatusUpdaterJob::finishedOnMainThread() {
    if (m_modelGone) {
        if (m_batch) {
            m_batch->oneDelivered();
        }
        return;
    }
    if (m_changed) {
        auto group = m_album->group();
        if (auto model = group ? group->model() : nullptr) {
            model->setNeedsSave(false);
        }
    }
    if (const auto& controller = m_manager->controller()) {
        controller->refreshTrack(m_track);
        controller->refreshAlbum(m_album);
    }
    if (m_batch) {
        m_batch->oneDelivered();
    }
}

// ---------------------------------------------------------------------------------------------

SonorixStatusRefresh::SonorixStatusRefresh(std::shared_ptr<SonorixControllerHooks> controller)
    : m_controller(std::move(controller)) {}

SonorixStatusRefresh::~SonorixStatusRefresh() {
    shutDown();
}

std::shared_ptr<SonorixStatusUpdaterJobManager> SonorixStatusRefresh::processor() {
    if (!m_processor) {
        m_processor = SonorixStatusUpdaterJobManager::create(m_controller);
        m_processor->start();
    }
    return m_processor;
}

bool SonorixStatusRefresh::pausedFor(const ProcessingActivity& activity) {
    if (activity.processorExists && activity.followsProgress && !activity.removingComments) {
        processor()->pause();
        return true;
    }
    return false;
}

void SonorixStatusRefresh::refreshAlbumStatus(const std::shared_ptr<SonorixAlbum>& album,
                                              const ProcessingActivity& activity) {
    if (pausedFor(activity)) {
        return;
    }
    auto refresh = processor();
    if (album) {
        refresh->queueAlbumTracks(album);
    }
    refresh->resume();
}

void SonorixStatusRefresh::refreshTrackStatus(const std::shared_ptr<iTunesTrack>& track,
                                              const std::shared_ptr<SonorixGroup>& currentGroup,
                                              const ProcessingActivity& activity) {
    if (pausedFor(activity)) {
        return;
    }
    auto refresh = processor();
    if (track && currentGroup) {
        if (auto album = currentGroup->albumOfTrack(ta::persistentId(*track))) {
            refresh->queueTrack(album, track);
        }
    }
    refresh->resume();
}

void SonorixStatusRefresh::checkTags(SonorixGroup& group, const ProcessingActivity& activity,
                                     std::function<void()> done) {
    auto refresh = processor();
    auto batch = std::make_shared<TagCheckBatch>();
    batch->done = std::move(done);
    for (const auto& album : group.visibleAlbums()) {
        for (const auto& track : album->visibleTracks()) {
            refresh->queueTrack(album, track, batch);
        }
    }
    if (batch->remaining == 0) {
        if (auto action = std::move(batch->done)) {
            action();
        }
        return;
    }
    if (!pausedFor(activity)) {
        refresh->resume();
    }
}

void SonorixStatusRefresh::shutDown() {
    if (m_processor) {
        m_processor->stop();
        m_processor.reset();
    }
}

} // namespace sonorix
