#include "processing/SonorixAdjustmentJobManager.h"

#include "itunes/iTunesTrack.h"
#include "model/SonorixGroups.h"
#include "processing/ControllerHooks.h"

namespace sonorix {

SonorixAdjustmentJobManager::SonorixAdjustmentJobManager(
    std::shared_ptr<SonorixControllerHooks> controller, SecondsClock clock,
    std::shared_ptr<DisplayMessageScheduler> scheduler)
    : m_controller(std::move(controller)), m_clock(clock ? std::move(clock) : currentSeconds),
      m_progress(DisplayProgress::create(m_clock, std::move(scheduler))) {}

SonorixAdjustmentJobManager::~SonorixAdjustmentJobManager() = default;

void SonorixAdjustmentJobManager::trackProgress(const std::shared_ptr<iTunesTrack>& track,
                                                bool jump) {
    callOnMainThread(delegateFor<&SonorixAdjustmentJobManager::deliverTrackProgress>(track, jump),
                     false);
}

void SonorixAdjustmentJobManager::albumProgress(const std::shared_ptr<SonorixAlbum>& album,
                                                bool jump) {
    callOnMainThread(delegateFor<&SonorixAdjustmentJobManager::deliverAlbumProgress>(album, jump),
                     false);
}

void SonorixAdjustmentJobManager::deliverTrackProgress(const std::shared_ptr<iTunesTrack>& track,
                                                       bool jump) {
    if (!m_controller || !track) {
        return;
    }
    m_controller->refreshTrack(track);
    if (jump) {
        m_controller->revealTrack(track);
    }
}

void SonorixAdjustmentJobManager::deliverAlbumProgress(const std::shared_ptr<SonorixAlbum>& album,
                                                       bool jump) {
    if (!m_controller || !album) {
        return;
    }
    m_controller->refreshAlbum(album);
    if (jump) {
        m_controller->revealAlbum(album);
    }
}

} // namespace sonorix
