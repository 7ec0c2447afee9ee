#pragma once

#include "processing/SonorixAdjustmentJobManager.h"
#include "processing/SonorixJob.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sonorix {

class DisplayMessage;
class SonorixModel;
class SonorixTrackStatus;

// A run that does one thing to each of a list of tracks' files (restore the original values,
// repair the Sound Check texts), with one line for the run. The task runs on a worker, inside a
// crash-journal scope for the track's file, and sets the track's stored state itself.
class TrackTaskJobManager : public SonorixAdjustmentJobManager {
public:
    using Task = std::function<void(iTunesTrack& track, SonorixTrackStatus& status)>;

    // runTitle: the key of the run's line in the string tables.
    TrackTaskJobManager(std::shared_ptr<SonorixControllerHooks> controller, std::string runTitle,
                        Task task, SecondsClock clock = {},
                        std::shared_ptr<DisplayMessageScheduler> scheduler = {});
    ~TrackTaskJobManager() override;

    void addTrack(const std::shared_ptr<SonorixModel>& model,
                  const std::shared_ptr<iTunesTrack>& track);

    void start() override;
    void allJobsFinished() override;

    const Task& task() const { return m_task; }

private:
    const std::string m_runTitle;
    const Task m_task;
    const std::shared_ptr<DisplayMessageScheduler> m_scheduler;
    std::shared_ptr<DisplayMessage> m_runMessage; // main thread only
};

class TrackTaskJob : public SonorixJob {
public:
    TrackTaskJob(std::shared_ptr<TrackTaskJobManager> manager, std::weak_ptr<SonorixModel> model,
                 std::shared_ptr<iTunesTrack> track);

    void run(const WorkerContext& context) override;

private:
    const std::shared_ptr<TrackTaskJobManager> m_taskManager;
    const std::weak_ptr<SonorixModel> m_model;
    const std::shared_ptr<iTunesTrack> m_track;
};

} // namespace sonorix
