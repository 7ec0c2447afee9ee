#pragma once

#include "processing/DisplayProgress.h"
#include "processing/JobManager.h"

#include <memory>

namespace sonorix {

class iTunesTrack;
class SonorixAlbum;
class SonorixControllerHooks;
class DisplayMessageScheduler;

// A manager of track jobs: the run's overall progress, and the row refreshes of tracks and
// albums handed to the controller on the main thread without the worker waiting.
class SonorixAdjustmentJobManager : public JobManager {
public:
    // An empty controller drops the refreshes; an empty clock is the wall clock; an empty
    // scheduler the process-wide one.
    explicit SonorixAdjustmentJobManager(std::shared_ptr<SonorixControllerHooks> controller,
                                         SecondsClock clock = {},
                                         std::shared_ptr<DisplayMessageScheduler> scheduler = {});
    ~SonorixAdjustmentJobManager() override;

    // From any thread: the controller redraws the row, and with jump brings it into view.
    virtual void trackProgress(const std::shared_ptr<iTunesTrack>& track, bool jump);
    virtual void albumProgress(const std::shared_ptr<SonorixAlbum>& album, bool jump);

    // Whether files that take ReplayGain tags but no Sound Check text are measured too.
    virtual bool measuresReplayGainOnlyFiles() const { return false; }

    const std::shared_ptr<DisplayProgress>& progress() const { return m_progress; }
    const std::shared_ptr<SonorixControllerHooks>& controller() const { return m_controller; }
    double now() const { return m_clock(); }
    const SecondsClock& clock() const { return m_clock; }

private:
    void deliverTrackProgress(const std::shared_ptr<iTunesTrack>& track, bool jump);
    void deliverAlbumProgress(const std::shared_ptr<SonorixAlbum>& album, bool jump);

    const std::shared_ptr<SonorixControllerHooks> m_controller;
    const SecondsClock m_clock;
    const std::shared_ptr<DisplayProgress> m_progress;
};

} // namespace sonorix
