#pragma once

#include "foundation/Locks.h"
#include "processing/SonorixAdjustmentJob.h"
#include "processing/SonorixAdjustmentJobManager.h"

#include <cstdint>
#include <memory>
#include <set>

namespace sonorix {

class DisplayMessage;
class SonorixPreferences;

// Runs the analyses and adjustments of one Start: one "Processing Tracks…" line for the run,
// a line of its own for every worker, the analysis speed for the speedometer, and the
// controller told once everything is done.
class SonorixAutomaticAdjustmentJobManager : public SonorixAdjustmentJobManager {
public:
    SonorixAutomaticAdjustmentJobManager(std::shared_ptr<SonorixControllerHooks> controller,
                                         int32_t mode,
                                         std::shared_ptr<const SonorixPreferences> preferences,
                                         SecondsClock clock = {},
                                         std::shared_ptr<DisplayMessageScheduler> scheduler = {});
    ~SonorixAutomaticAdjustmentJobManager() override;

    // Before any album is added: a preview gathers rows instead of writing; replayGain writes
    // the ReplayGain tags whatever the setting says.
    void setRunOptions(std::shared_ptr<AdjustmentPreview> preview, bool replayGain);

    // Queues the album's analyses, then its adjustments once every track was measured.
    void addAlbum(const std::shared_ptr<SonorixGroup>& group,
                  const std::shared_ptr<SonorixAlbum>& album);

    void start() override;
    WorkerContext createWorkerContext() override;
    void allJobsFinished() override;
    void workerStarted(const WorkerContext& context) override;
    void workerFinished(const WorkerContext& context) override;
    void trackProgress(const std::shared_ptr<iTunesTrack>& track, bool jump) override;

    bool measuresReplayGainOnlyFiles() const override { return m_settings.writeReplayGainTags; }

    int32_t mode() const { return m_mode; }
    const AdjustmentSettings& settings() const { return m_settings; }
    size_t activeMessageCount() const;

private:
    const int32_t m_mode;
    AdjustmentSettings m_settings;
    const std::shared_ptr<DisplayMessageScheduler> m_scheduler;
    std::shared_ptr<DisplayMessage> m_runMessage; // main thread only
    std::shared_ptr<MutexLock> m_messageLock;
    std::set<std::shared_ptr<DisplayMessage>> m_activeMessages;
};

} // namespace sonorix
