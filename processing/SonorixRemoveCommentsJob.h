#pragma once

#include "processing/SonorixAdjustmentJobManager.h"
#include "processing/SonorixJob.h"

#include <memory>
#include <vector>

namespace sonorix {

class DisplayMessage;
class iTunesTrack;
class SonorixAlbum;
class SonorixStatus;

// Takes the "Adjusted by Sonorix" stamp out of the comments of the chosen tracks, with one
// "Removing Sonorix Comments…" line for the run.
class SonorixRemoveCommentsJobManager : public SonorixAdjustmentJobManager {
public:
    explicit SonorixRemoveCommentsJobManager(
        std::shared_ptr<SonorixControllerHooks> controller, SecondsClock clock = {},
        std::shared_ptr<DisplayMessageScheduler> scheduler = {});
    ~SonorixRemoveCommentsJobManager() override;

    // Queues a job for each of the album's tracks that is among chosen, in album order; an album
    // of several tracks shows as being worked on from before the first to after the last.
    void addAlbum(const std::shared_ptr<SonorixAlbum>& album,
                  const std::vector<std::shared_ptr<iTunesTrack>>& chosen);

    void start() override;
    void allJobsFinished() override;

private:
    const std::shared_ptr<DisplayMessageScheduler> m_scheduler;
    std::shared_ptr<DisplayMessage> m_runMessage; // main thread only
};

// One track's comment: the stamp removed when there is one, then the file re-read by iTunes.
// Worth one work unit whatever it finds.
class SonorixRemoveCommentsJob : public SonorixJob {
public:
    static constexpr double kUnits = 1;

    SonorixRemoveCommentsJob(std::shared_ptr<SonorixAdjustmentJobManager> manager,
                             std::shared_ptr<SonorixAlbum> album,
                             std::shared_ptr<iTunesTrack> track);

    void run(const WorkerContext& context) override;
};

} // namespace sonorix
