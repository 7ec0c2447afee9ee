#include "processing/TrackTaskJob.h"

#include "audio/SafeTagSave.h"
#include "foundation/CrashJournal.h"
#include "foundation/Localization.h"
#include "foundation/Text.h"
#include "foundation/Threads.h"
#include "foundation/Value.h"
#include "itunes/iTunesTrack.h"
#include "model/SonorixModel.h"
#include "model/SonorixStatus.h"
#include "model/TrackAccess.h"
#include "processing/ControllerHooks.h"
#include "processing/DisplayMessage.h"

namespace sonorix {

namespace {
constexpr double kUnits = 1;
}

TrackTaskJobManager::TrackTaskJobManager(std::shared_ptr<SonorixControllerHooks> controller,
                                         std::string runTitle, Task task, SecondsClock clock,
                                         std::shared_ptr<DisplayMessageScheduler> scheduler)
    : SonorixAdjustmentJobManager(std::move(controller), std::move(clock), scheduler),
      m_runTitle(std::move(runTitle)), m_task(std::move(task)), m_scheduler(std::move(scheduler)) {}

TrackTaskJobManager::~TrackTaskJobManager() = default;

void TrackTaskJobManager::addTrack(const std::shared_ptr<SonorixModel>& model,
                                   const std::shared_ptr<iTunesTrack>& track) {
    auto self = std::static_pointer_cast<TrackTaskJobManager>(sharedFromThis());
    addJob(std::make_shared<TrackTaskJob>(self, model, track));
}

void TrackTaskJobManager::start() {
    progress()->setActive(true);
    m_runMessage = DisplayMessage::create(toUtf16(localizedString(m_runTitle)), u"", progress(),
                                          DisplayMessage::kRunMessage, 0, m_scheduler);
    m_runMessage->show();
    SonorixAdjustmentJobManager::start();
}

void TrackTaskJobManager::allJobsFinished() {
    if (m_runMessage) {
        m_runMessage->hide();
        m_runMessage.reset();
    }
    progress()->setActive(false);
    if (auto hooks = controller()) {
        hooks->processorFinished(sharedFromThis());
    }
}

TrackTaskJob::TrackTaskJob(std::shared_ptr<TrackTaskJobManager> manager,
                           std::weak_ptr<SonorixModel> model, std::shared_ptr<iTunesTrack> track)
    : SonorixJob(manager), m_taskManager(std::move(manager)), m_model(std::move(model)),
      m_track(std::move(track)) {
    m_manager->progress()->addTotal(kUnits);
}

void TrackTaskJob::run(const WorkerContext&) {
    setThreadName("TrackTaskJob");
    auto model = m_model.lock();
    if (!model || isCancelled()) {
        m_manager->progress()->addDone(kUnits);
        return;
    }
    auto status = model->statusLibrary()->trackStatus(ta::persistentId(*m_track), true);
    status->resetProgress();
    status->addProgressTotal(kUnits);
    status->addProcessing(1);
    reportTrackProgress(m_track, true);
    auto finish = [&] {
        status->addProgressDone(kUnits);
        m_manager->progress()->addDone(kUnits);
        status->addProcessing(-1);
        status->setAdjustedMarker(true);
        finalTrackReport(m_track);
    };
    try {
        const std::string path = ta::filePath(*m_track);
        if (!path.empty()) {
            removeStaleCopiesBeside(path);
        }
        CrashJournal::Scope writing(hexIdText(ta::persistentId(*m_track)), path);
        m_taskManager->task()(*m_track, *status);
        model->setNeedsSave(false);
    } catch (...) {
        finish();
        throw;
    }
    finish();
}

} // namespace sonorix
