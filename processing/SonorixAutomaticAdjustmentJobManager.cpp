#include "processing/SonorixAutomaticAdjustmentJobManager.h"

#include "audio/AudioDecoder.h"
#include "audio/MediaLayer.h"
#include "foundation/Localization.h"
#include "foundation/Log.h"
#include "foundation/Text.h"
#include "model/SonorixPreferences.h"
#include "processing/AlbumChain.h"
#include "processing/ControllerHooks.h"
#include "processing/DisplayMessage.h"

#include <mutex>

namespace sonorix {

SonorixAutomaticAdjustmentJobManager::SonorixAutomaticAdjustmentJobManager(
    std::shared_ptr<SonorixControllerHooks> controller, int32_t mode,
    std::shared_ptr<const SonorixPreferences> preferences, SecondsClock clock,
    std::shared_ptr<DisplayMessageScheduler> scheduler)
    : SonorixAdjustmentJobManager(std::move(controller), std::move(clock), scheduler), m_mode(mode),
      m_settings(preferences ? AdjustmentSettings::from(*preferences) : AdjustmentSettings{}),
      m_scheduler(std::move(scheduler)), m_messageLock(MutexLock::create()) {}

SonorixAutomaticAdjustmentJobManager::~SonorixAutomaticAdjustmentJobManager() = default;

void SonorixAutomaticAdjustmentJobManager::addAlbum(const std::shared_ptr<SonorixGroup>& group,
                                                    const std::shared_ptr<SonorixAlbum>& album) {
    auto self = std::static_pointer_cast<SonorixAdjustmentJobManager>(sharedFromThis());
    const AdjustmentSettings settings = m_settings;
    addAlbumJobs(
        self, group, album, [&](const std::shared_ptr<iTunesTrack>& track) -> std::shared_ptr<Job> {
            return std::make_shared<SonorixAdjustmentJob>(self, group, album, track, settings);
        });
}

void SonorixAutomaticAdjustmentJobManager::setRunOptions(std::shared_ptr<AdjustmentPreview> preview,
                                                         bool replayGain) {
    m_settings.preview = std::move(preview);
    m_settings.writeReplayGainTags = m_settings.writeReplayGainTags || replayGain;
}

size_t SonorixAutomaticAdjustmentJobManager::activeMessageCount() const {
    std::lock_guard<MutexLock> hold(*m_messageLock);
    return m_activeMessages.size();
}

void SonorixAutomaticAdjustmentJobManager::start() {
    progress()->setActive(true);
    m_runMessage = DisplayMessage::create(toUtf16(localizedString("Processing Tracks")), u"",
                                          progress(), DisplayMessage::kRunMessage, 0, m_scheduler);
    m_runMessage->show();
    {
        std::lock_guard<MutexLock> hold(*m_messageLock);
        m_activeMessages.insert(m_runMessage);
    }
    SonorixAdjustmentJobManager::start();
}

WorkerContext SonorixAutomaticAdjustmentJobManager::createWorkerContext() {
    return {DisplayMessage::create(toUtf16(localizedString("Processing Tracks")), u"", progress(),
                                   DisplayMessage::kWorkerLine, 0, m_scheduler)};
}

void SonorixAutomaticAdjustmentJobManager::workerStarted(const WorkerContext& context) {
    if (const auto& message = context.message) {
        std::lock_guard<MutexLock> hold(*m_messageLock);
        m_activeMessages.insert(message);
    }
    try {
        if (const int16_t error = mediaLayer()->enterMoviesOnThread()) {
            writeLog("Sonorix: preparing the decoder on a worker failed (%d)", error);
        }
    } catch (const AudioDecoder::AudioDecoderException&) {
        // The jobs report what fails when they decode.
    }
}

void SonorixAutomaticAdjustmentJobManager::workerFinished(const WorkerContext& context) {
    if (const auto& message = context.message) {
        message->hide();
        std::lock_guard<MutexLock> hold(*m_messageLock);
        m_activeMessages.erase(message);
    }
    try {
        mediaLayer()->exitMoviesOnThread();
    } catch (const AudioDecoder::AudioDecoderException&) {
    }
}

void SonorixAutomaticAdjustmentJobManager::trackProgress(const std::shared_ptr<iTunesTrack>& track,
                                                         bool jump) {
    const double speed = progress()->speed();
    if (auto hooks = controller()) {
        callOnMainThread([hooks, speed] { hooks->setSpeedometerValue(speed); }, false);
    }
    SonorixAdjustmentJobManager::trackProgress(track, jump);
}

void SonorixAutomaticAdjustmentJobManager::allJobsFinished() {
    if (m_runMessage) {
        {
            std::lock_guard<MutexLock> hold(*m_messageLock);
            m_activeMessages.erase(m_runMessage);
        }
        m_runMessage->hide();
        m_runMessage.reset();
    }
    progress()->setActive(false);
    if (auto hooks = controller()) {
        hooks->processorFinished(sharedFromThis());
    }
}

} // namespace sonorix
