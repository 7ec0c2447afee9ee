#include "processing/TrackRepair.h"

#include "audio/TagTexts.h"
#include "foundation/Log.h"
#include "foundation/Paths.h"
#include "itunes/iTunesTrack.h"
#include "model/HealthCheck.h"
#include "model/SonorixStatus.h"
#include "model/TrackAccess.h"

namespace sonorix {

void repairTrack(iTunesTrack& track, SonorixTrackStatus& status) {
    const std::string path = ta::filePath(track);
    if (path.empty() || !fileExists(path)) {
        status.setError(kErrorFile);
        status.setFileError(kFileErrorNotFound);
        status.setState(kStateFailed);
        return;
    }
    if (status.knownUnsafe(path) || TagTexts::replayGainOnly(path)) {
        return;
    }
    std::optional<SoundCheckValues> stored;
    SoundCheckValues values{};
    if (status.getTag(values)) {
        stored = values;
    }
    const HealthReport report = checkFile(path, stored, std::nullopt);
    if (!report.readable || !report.repairable()) {
        return;
    }
    std::string error;
    const auto repaired = repairValues(report, stored);
    const auto outcome = TagTexts::setSoundCheck(path, repaired, &error);
    if (outcome == TagTexts::Outcome::Failed) {
        writeLog("repairing %s failed: %s", path.c_str(), error.c_str());
        status.setError(kErrorFile);
        status.setFileError(kFileErrorSave);
        status.setState(kStateFailed);
        return;
    }
    if (outcome == TagTexts::Outcome::Changed) {
        track.updateInfoFromFile();
    }
    status.checkTag(track, true);
    if (!repaired && status.getError() == kErrorTag) {
        // Its texts were all unusable: no text is the repaired state, not a failure.
        status.setError(kErrorNone);
        status.setState(kStateNone);
    }
}

} // namespace sonorix
