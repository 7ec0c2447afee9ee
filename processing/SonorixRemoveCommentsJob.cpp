#include "processing/SonorixRemoveCommentsJob.h"

#include "foundation/Localization.h"
#include "foundation/Text.h"
#include "itunes/iTunesTrack.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"
#include "model/SonorixStatus.h"
#include "model/TrackAccess.h"
#include "processing/ControllerHooks.h"
#include "processing/DisplayMessage.h"
#include "processing/SonorixAdjustmentJob.h"

#include <algorithm>

namespace sonorix {

namespace {

constexpr double kStartUnits = 0.1;
constexpr double kReadUnits = 0.2;
constexpr double kWriteUnits = 0.5;
constexpr double kRereadUnits = 0.2;

} // namespace

SonorixRemoveCommentsJobManager::SonorixRemoveCommentsJobManager(
    std::shared_ptr<SonorixControllerHooks> controller, SecondsClock clock,
    std::shared_ptr<DisplayMessageScheduler> scheduler)
    : SonorixAdjustmentJobManager(std::move(controller), std::move(clock), scheduler),
      m_scheduler(std::move(scheduler)) {}

SonorixRemoveCommentsJobManager::~SonorixRemoveCommentsJobManager() = default;

void SonorixRemoveCommentsJobManager::addAlbum(
    const std::shared_ptr<SonorixAlbum>& album,
    const std::vector<std::shared_ptr<iTunesTrack>>& chosen) {
    auto self = std::static_pointer_cast<SonorixAdjustmentJobManager>(sharedFromThis());
    std::shared_ptr<SonorixAlbumProgressJob> end;
    if (album->tracks().size() > 1) {
        auto start = SonorixAlbumProgressJob::create(self, album, +1);
        end = SonorixAlbumProgressJob::create(self, album, -1);
        end->setPartner(start);
        addJob(start);
    }
    for (const auto& track : album->tracks()) {
        if (std::find(chosen.begin(), chosen.end(), track) == chosen.end()) {
            continue;
        }
        auto job = std::make_shared<SonorixRemoveCommentsJob>(self, album, track);
        if (end) {
            job->addDependent(end);
        }
        addJob(job);
    }
    if (end) {
        addJob(end);
    }
}

void SonorixRemoveCommentsJobManager::start() {
    progress()->setActive(true);
    m_runMessage =
        DisplayMessage::create(toUtf16(localizedString("Removing Sonorix Comments")), u"",
                               progress(), DisplayMessage::kRunMessage, 0, m_scheduler);
    m_runMessage->show();
    SonorixAdjustmentJobManager::start();
}

void SonorixRemoveCommentsJobManager::allJobsFinished() {
    if (m_runMessage) {
        m_runMessage->hide();
        m_runMessage.reset();
    }
    progress()->setActive(false);
    if (auto hooks = controller()) {
        hooks->processorFinished(sharedFromThis());
    }
}

// ---------------------------------------------------------------------------------------------

SonorixRemoveCommentsJob::SonorixRemoveCommentsJob(
    std::shared_ptr<SonorixAdjustmentJobManager> manager, std::shared_ptr<SonorixAlbum> album,
    std::shared_ptr<iTunesTrack> track)
    : SonorixJob(std::move(manager), std::move(album), std::move(track), kUnits, kUnits) {}

void SonorixRemoveCommentsJob::run(const WorkerContext&) {
    setThreadName("SonorixRemoveCommentsJob");
    auto model = albumModel();
    if (!model) {
        skipWork(kUnits); // the library was reloaded meanwhile
        return;
    }
    std::shared_ptr<SonorixStatus> albumStatus;
    auto trackStatus = beginWork(*model, kUnits, albumStatus);
    try {
        addUnits(kStartUnits, *trackStatus, albumStatus);
        std::u16string comment;
        if (m_track->getComment(comment)) {
            addUnits(kReadUnits, *trackStatus, albumStatus);
            // A comment without a stamp is left as it is: nothing to write.
            if (SonorixAdjustmentJob::removeCommentStamp(comment)) {
                m_track->setComment(comment);
            }
            addUnits(kWriteUnits, *trackStatus, albumStatus);
        }
        m_track->updateInfoFromFile();
        m_track->filePath(true, true, false);
        addUnits(kRereadUnits, *trackStatus, albumStatus);

        trackStatus->setAdjustedMarker(true);
        if (albumStatus) {
            albumStatus->setAdjustedMarker(true);
        }
    } catch (...) {
        // Not ours to handle, but the rows must not stay marked as being worked on.
        endWork(kUnits, *trackStatus, albumStatus);
        throw;
    }
    endWork(kUnits, *trackStatus, albumStatus);
}

} // namespace sonorix
