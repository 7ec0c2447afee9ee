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

// A job on one track of a run: knows its manager and reports the progress of its track and
// album, at most one report per kind every 0.05 s unless forced.
class SonorixJob : public Job {
public:
    static constexpr double kReportInterval = 0.05;

    explicit SonorixJob(std::shared_ptr<SonorixAdjustmentJobManager> manager);

    void finishedOnMainThread() override {}

    // On the job's own worker only.
    void reportTrackProgress(const std::shared_ptr<iTunesTrack>& track, bool force);
    void reportAlbumProgress(const std::shared_ptr<SonorixAlbum>& album, bool force);
    // The last report of a job is never dropped: the row must not go on showing work that
    // ended. It does not bring the row into view.
    void finalTrackReport(const std::shared_ptr<iTunesTrack>& track);
    void finalAlbumReport(const std::shared_ptr<SonorixAlbum>& album);

    const std::shared_ptr<SonorixAdjustmentJobManager>& manager() const { return m_manager; }

protected:
    const std::shared_ptr<SonorixAdjustmentJobManager> m_manager;

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
    void run(const ParameterPtr& context) final;
    virtual void pairedAction(const ParameterPtr& context) = 0;

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

    void pairedAction(const ParameterPtr& context) override;

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
