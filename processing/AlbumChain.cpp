#include "processing/AlbumChain.h"

#include "model/SonorixGroups.h"
#include "processing/SonorixAnalyzeJob.h"
#include "processing/SonorixJob.h"

#include <vector>

namespace sonorix {

void addAlbumJobs(const std::shared_ptr<SonorixAdjustmentJobManager>& manager,
                  const std::shared_ptr<SonorixAlbum>& album, const TrackJobMaker& makeAnalyzeJob,
                  const TrackJobMaker& makeAdjustmentJob) {
    const auto& tracks = album->tracks();
    if (tracks.empty()) {
        return;
    }
    std::shared_ptr<SonorixAlbumProgressJob> start;
    std::shared_ptr<SonorixAlbumProgressJob> end;
    if (tracks.size() > 1) {
        start = SonorixAlbumProgressJob::create(manager, album, +1);
        end = SonorixAlbumProgressJob::create(manager, album, -1);
        end->setPartner(start);
        manager->addJob(start);
    }

    std::vector<std::shared_ptr<Job>> analyses;
    analyses.reserve(tracks.size());
    for (const auto& track : tracks) {
        std::shared_ptr<Job> analyze = makeAnalyzeJob(track);
        if (end) {
            analyze->addDependent(end);
        }
        manager->addJob(analyze);
        analyses.push_back(std::move(analyze));
    }

    if (makeAdjustmentJob) {
        for (const auto& track : tracks) {
            std::shared_ptr<Job> adjust = makeAdjustmentJob(track);
            if (end) {
                adjust->addDependent(end);
            }
            // Prerequisites are counted before the job is queued, so that no worker can take
            // it while its analyses are still being linked.
            for (const auto& analyze : analyses) {
                analyze->addDependent(adjust);
            }
            manager->addJob(adjust);
        }
    }

    if (end) {
        manager->addJob(end);
    }
}

void addAlbumJobs(const std::shared_ptr<SonorixAdjustmentJobManager>& manager,
                  const std::shared_ptr<SonorixGroup>& group,
                  const std::shared_ptr<SonorixAlbum>& album,
                  const TrackJobMaker& makeAdjustmentJob) {
    addAlbumJobs(
        manager, album,
        [&](const std::shared_ptr<iTunesTrack>& track) -> std::shared_ptr<Job> {
            return std::make_shared<SonorixAnalyzeJob>(manager, group, album, track);
        },
        makeAdjustmentJob);
}

} // namespace sonorix
