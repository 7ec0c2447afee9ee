#pragma once

#include <memory>

namespace sonorix {

class iTunesTrack;
class SonorixAlbum;
class DisplayMessage;
class DisplayProgress;
class JobManager;

// What the processing layer asks of the application controller. Every call comes on the main
// thread, and implementations check that with assertMainThread; the window and the console
// front ends implement them.
class SonorixControllerHooks {
public:
    virtual ~SonorixControllerHooks() = default;

    // A track's or an album's status changed: redraw its row where it is shown.
    virtual void refreshTrack(const std::shared_ptr<iTunesTrack>& track) = 0;
    virtual void refreshAlbum(const std::shared_ptr<SonorixAlbum>& album) = 0;
    // Work on the item just began: bring it into view if the views follow the work.
    virtual void revealTrack(const std::shared_ptr<iTunesTrack>& track) = 0;
    virtual void revealAlbum(const std::shared_ptr<SonorixAlbum>& album) = 0;

    // The display bar's two lines; none clears them.
    virtual void showDisplayMessage(const std::shared_ptr<DisplayMessage>& message) = 0;
    // The display bar's progress; none hides it. withTexts redraws the whole bar, otherwise only
    // the progress value changed. The progress's active flag runs the processing animation.
    virtual void showProgress(const std::shared_ptr<DisplayProgress>& progress, bool withTexts) = 0;
    // The speedometer's needle: audio seconds analysed per second, -1 when no analysis runs.
    virtual void setSpeedometerValue(double speed) = 0;
    // A processor ran its last job: the controller plays its sound unless the user stopped
    // the run, and lets the processor go.
    virtual void processorFinished(const std::shared_ptr<JobManager>& processor) = 0;
};

} // namespace sonorix
