#pragma once

#include "processing/Job.h"
#include "processing/SonorixAdjustmentJobManager.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

namespace sonorix {

class iTunesTrack;
class SonorixAlbum;
class SonorixModel;
class SonorixStatus;
class SonorixTrackStatus;

// A job on one track of a run: knows its manager and reports the progress of its track and
// album, at most one report per kind every 0.05 s unless forced.
class SonorixJob : public Job {
public:
    static constexpr double kReportInterval = 0.05;

    explicit SonorixJob(std::shared_ptr<SonorixAdjustmentJobManager> manager);
    // A job on track of album, worth runUnits in the run's total and albumUnits in the album's
    // where the album shows as a row of its own.
    SonorixJob(std::shared_ptr<SonorixAdjustmentJobManager> manager,
               std::shared_ptr<SonorixAlbum> album, std::shared_ptr<iTunesTrack> track,
               double runUnits, double albumUnits);

    void finishedOnMainThread() override {}

    // On the job's own worker only.
    void reportTrackProgress(const std::shared_ptr<iTunesTrack>& track, bool force);
    void reportAlbumProgress(const std::shared_ptr<SonorixAlbum>& album, bool force);
    // The last report of a job is never dropped: the row must not go on showing work that
    // ended. It does not bring the row into view.
    void finalTrackReport(const std::shared_ptr<iTunesTrack>& track);
    void finalAlbumReport(const std::shared_ptr<SonorixAlbum>& album);

    const std::shared_ptr<SonorixAdjustmentJobManager>& manager() const { return m_manager; }
    const std::shared_ptr<iTunesTrack>& track() const { return m_track; }
    double unitsDone() const { return m_unitsDone; }

protected:
    // An album of several tracks shows as a row of its own, with its own progress.
    bool albumShown() const;
    // Work done, in the run's, the track's and (when shown) the album's progress.
    void addUnits(double units, SonorixStatus& trackStatus,
                  const std::shared_ptr<SonorixStatus>& albumStatus);
    // The model of the job's album; none once the library was reloaded.
    std::shared_ptr<SonorixModel> albumModel() const;
    // A job that cannot run still brings the run's total to its end.
    void skipWork(double units);
    // Marks the track's row, and the album's where it shows, as being worked on, worth units.
    std::shared_ptr<SonorixTrackStatus> beginWork(SonorixModel& model, double units,
                                                  std::shared_ptr<SonorixStatus>& albumStatus);
    // Adds what is left of units and lets the rows go; the last reports are forced.
    void endWork(double units, SonorixStatus& trackStatus,
                 const std::shared_ptr<SonorixStatus>& albumStatus);

    const std::shared_ptr<SonorixAdjustmentJobManager> m_manager;
    const std::shared_ptr<SonorixAlbum> m_album;
    const std::shared_ptr<iTunesTrack> m_track;
    double m_unitsDone = 0;

private:
    double m_lastTrackReport = 0;
    double m_lastAlbumReport = 0;
};

// One of a pair of jobs whose second must run once the first did. When the last reference to a
// job goes before it ran (a stopped run drops pending jobs), it still runs then, on the
// releasing thread, provided its partner ran. Always made by make, which installs that rule.
class SonorixPairedJob : public Job {
public:
    void finishedOnMainThread() override {}
    void run(const WorkerContext& context) final;
    virtual void pairedAction(const WorkerContext& context) = 0;

    // Set before the job is handed to a manager.
    void setPartner(std::shared_ptr<SonorixPairedJob> partner) { m_partner = std::move(partner); }
    const std::shared_ptr<SonorixPairedJob>& partner() const { return m_partner; }
    bool isDone() const { return m_done.load(); }

    static void deleter(SonorixPairedJob* job);

    template <class T, class... Args>
    static std::shared_ptr<T> make(Args&&... args) {
        return std::shared_ptr<T>(new T(std::forward<Args>(args)...), &deleter);
    }

private:
    std::atomic<bool> m_done{false};
    std::shared_ptr<SonorixPairedJob> m_partner;
};

// Marks an album as being worked on: +1 before its first track job, -1 after its last.
class SonorixAlbumProgressJob : public SonorixPairedJob {
public:
    static std::shared_ptr<SonorixAlbumProgressJob>
    create(std::shared_ptr<SonorixAdjustmentJobManager> manager,
           std::shared_ptr<SonorixAlbum> album, int32_t delta);

    void pairedAction(const WorkerContext& context) override;

    const std::shared_ptr<SonorixAlbum>& album() const { return m_album; }
    int32_t delta() const { return m_delta; }

private:
    friend class SonorixPairedJob;
    SonorixAlbumProgressJob(std::shared_ptr<SonorixAdjustmentJobManager> manager,
                            std::shared_ptr<SonorixAlbum> album, int32_t delta);

    const std::shared_ptr<SonorixAdjustmentJobManager> m_manager;
    const std::shared_ptr<SonorixAlbum> m_album;
    const int32_t m_delta;
};

} // namespace sonorix
