#pragma once

#include "processing/Job.h"
#include "processing/SonorixAdjustmentJobManager.h"

#include <memory>
#include <string>

namespace sonorix {

class iTunesTrack;
class SonorixAlbum;

// Writes an adjustment the user chose for a row of a manual group. Preview runs follow the
// row's control while it moves; the final run, made when it is released, also stamps the
// comments. Shows no display message: the rows themselves show the work.
class SonorixManualAdjustmentJobManager : public SonorixAdjustmentJobManager {
public:
    // album: the edited album row, empty when a track row was edited. modifyComments is the
    // "ModifyComments" setting, taken when the run is made.
    SonorixManualAdjustmentJobManager(std::shared_ptr<SonorixControllerHooks> controller,
                                      std::shared_ptr<SonorixAlbum> album, bool final,
                                      bool modifyComments = true, SecondsClock clock = {},
                                      std::shared_ptr<DisplayMessageScheduler> scheduler = {});
    ~SonorixManualAdjustmentJobManager() override;

    void allJobsFinished() override;

    const std::shared_ptr<SonorixAlbum>& album() const { return m_album; }
    bool isFinal() const { return m_final; }
    bool modifyComments() const { return m_modifyComments; }

private:
    const std::shared_ptr<SonorixAlbum> m_album;
    const bool m_final;
    const bool m_modifyComments;
};

// Writes one value in dB into one track's Sound Check text, without any analysis, and lets
// iTunes notice through the comment and a re-read. Reports every step without throttling: a
// manual run is a handful of files.
class SonorixManualAdjustmentJob : public Job {
public:
    // value: already rounded to 0.1 dB.
    SonorixManualAdjustmentJob(std::shared_ptr<SonorixManualAdjustmentJobManager> manager,
                               std::shared_ptr<iTunesTrack> track, double value);
    ~SonorixManualAdjustmentJob() override;

    void finishedOnMainThread() override {}
    void run(const WorkerContext& context) override;

    const std::shared_ptr<iTunesTrack>& track() const { return m_track; }
    double value() const { return m_value; }

    // Changes a comment without adding visible text, so that iTunes and the devices synced with
    // it see a changed track: a removable last character (control, blank, line end) is taken
    // away, otherwise a line feed is added. An empty comment stays empty.
    static void touchComment(std::u16string& comment);
    // Rounds to 0.1 dB, halves away from zero.
    static double roundValue(double value);

private:
    const std::shared_ptr<SonorixManualAdjustmentJobManager> m_manager;
    const std::shared_ptr<iTunesTrack> m_track;
    const double m_value;
};

} // namespace sonorix
