#pragma once

#include "processing/Job.h"

#include <functional>
#include <memory>

namespace sonorix {

class iTunesTrack;
class SonorixAlbum;
class SonorixGroup;
class SonorixAdjustmentJobManager;

// Makes the job of one kind for one track of the album being chained.
using TrackJobMaker = std::function<std::shared_ptr<Job>(const std::shared_ptr<iTunesTrack>&)>;

// Adds the jobs of one album so that every track is analysed before any is adjusted, since an
// album's adjustment needs the loudness of all its tracks. In the order added: the album's start
// job, the analyze jobs, the adjustment jobs, the end job; the start and end jobs mark the album
// as being worked on and exist only for albums of more than one track. An empty adjustment maker
// adds no adjustment jobs.
void addAlbumJobs(const std::shared_ptr<SonorixAdjustmentJobManager>& manager,
                  const std::shared_ptr<SonorixAlbum>& album, const TrackJobMaker& makeAnalyzeJob,
                  const TrackJobMaker& makeAdjustmentJob);

// The same with SonorixAnalyzeJob as the analyze job.
void addAlbumJobs(const std::shared_ptr<SonorixAdjustmentJobManager>& manager,
                  const std::shared_ptr<SonorixGroup>& group,
                  const std::shared_ptr<SonorixAlbum>& album,
                  const TrackJobMaker& makeAdjustmentJob);

} // namespace sonorix
