#pragma once

#include "processing/Job.h"
#include "processing/JobManager.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>

namespace sonorix {

class iTunesTrack;
class SonorixAlbum;
class SonorixGroup;
class SonorixControllerHooks;

// Checks asked for together: done runs on the main thread once the last of them was delivered.
// Main thread only.
struct TagCheckBatch {
    size_t remaining = 0;
    std::function<void()> done;

    void oneDelivered();
};

// Checks, in the background, whether the files of the tracks on show changed their Sound Check
// value, and redraws their rows. Each track is checked once until its status is declared stale.
class SonorixStatusUpdaterJobManager : public JobManager {
public:
    static constexpr int kMaxWorkers = 2;

    // Made, persistent and with its workers limited, but not started; it becomes the
    // process-wide one that statusUpdater gives.
    static std::shared_ptr<SonorixStatusUpdaterJobManager>
    create(std::shared_ptr<SonorixControllerHooks> controller);
    ~SonorixStatusUpdaterJobManager() override;

    // Main thread. False when the track was queued already; batch, when given, counts the check.
    bool queueTrack(const std::shared_ptr<SonorixAlbum>& album,
                    const std::shared_ptr<iTunesTrack>& track,
                    const std::shared_ptr<TagCheckBatch>& batch = nullptr);
    void queueAlbumTracks(const std::shared_ptr<SonorixAlbum>& album);
    // Any thread: a group accepting a track reaches here from wherever it runs.
    void forgetTrack(uint64_t persistentId);
    void forgetTrack(const iTunesTrack& track);
    bool isQueued(uint64_t persistentId) const;

    const std::shared_ptr<SonorixControllerHooks>& controller() const { return m_controller; }

private:
    explicit SonorixStatusUpdaterJobManager(std::shared_ptr<SonorixControllerHooks> controller);

    const std::shared_ptr<SonorixControllerHooks> m_controller;
    mutable std::mutex m_queuedLock;
    std::set<uint64_t> m_queued;
};

// The process-wide status refresh, or none before one was made or once it was destroyed.
std::shared_ptr<SonorixStatusUpdaterJobManager> statusUpdater();

class SonorixTrackStatusUpdaterJob : public Job {
public:
    SonorixTrackStatusUpdaterJob(std::shared_ptr<SonorixStatusUpdaterJobManager> manager,
                                 std::shared_ptr<iTunesTrack> track,
                                 std::shared_ptr<SonorixAlbum> album,
                                 std::shared_ptr<TagCheckBatch> batch = nullptr);

    void run(const WorkerContext& context) override;
    void finishedOnMainThread() override;

private:
    const std::shared_ptr<SonorixStatusUpdaterJobManager> m_manager;
    const std::shared_ptr<iTunesTrack> m_track;
    const std::shared_ptr<SonorixAlbum> m_album;
    const std::shared_ptr<TagCheckBatch> m_batch;
    bool m_modelGone = false;
    bool m_changed = false;
};

// What the controller knows of running work when a row is prepared for display.
struct ProcessingActivity {
    bool processorExists = false; // adjusting, manual adjustment or comment removal
    bool followsProgress = false;
    bool removingComments = false;
};

// The controller's side of the status refresh: the processor, made on first use, and the row
// preparation rules. Main thread only.
class SonorixStatusRefresh {
public:
    explicit SonorixStatusRefresh(std::shared_ptr<SonorixControllerHooks> controller);
    ~SonorixStatusRefresh();

    std::shared_ptr<SonorixStatusUpdaterJobManager> processor();
    bool hasProcessor() const { return m_processor != nullptr; }

    void refreshAlbumStatus(const std::shared_ptr<SonorixAlbum>& album,
                            const ProcessingActivity& activity);
    void refreshTrackStatus(const std::shared_ptr<iTunesTrack>& track,
                            const std::shared_ptr<SonorixGroup>& currentGroup,
                            const ProcessingActivity& activity);
    // Checks the files of the group's visible tracks now, each track once until its status is
    // declared stale, and redraws their rows. done runs once the last check was delivered (at
    // once when none was needed), not after a stop. While the views follow running work the
    // checks wait for it.
    void checkTags(SonorixGroup& group, const ProcessingActivity& activity,
                   std::function<void()> done);
    // Stops the processor and lets it go (at shutdown).
    void shutDown();

private:
    // While the views follow running work the disk belongs to that work, except for comment
    // removal, whose rows must show the values it leaves.
    bool pausedFor(const ProcessingActivity& activity);

    const std::shared_ptr<SonorixControllerHooks> m_controller;
    std::shared_ptr<SonorixStatusUpdaterJobManager> m_processor;
};

} // namespace sonorix
