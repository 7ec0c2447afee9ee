#include "processing/ReplayGainWrite.h"

#include "audio/SoundCheck.h"
#include "audio/TagTexts.h"
#include "audio/iTunNORMTag.h"
#include "foundation/Log.h"
#include "itunes/iTunesTrack.h"
#include "model/ModelValues.h"
#include "model/SonorixStatus.h"
#include "processing/SonorixAdjustmentJob.h"

namespace sonorix {

bool writeReplayGain(const std::string& path, SonorixStatus& track, SonorixStatus* album) {
    double gain = 0;
    double peak = 0;
    if (!track.getGainAndPeak(gain, peak)) {
        return false;
    }
    TagTexts::ReplayGain figures;
    figures.trackGain = gain;
    figures.trackPeak = peak / SoundCheck::kFullScale;
    double albumGain = 0;
    double albumPeak = 0;
    if (album && album->getGainAndPeak(albumGain, albumPeak)) {
        figures.albumGain = albumGain;
        figures.albumPeak = albumPeak / SoundCheck::kFullScale;
    }
    std::string error;
    switch (TagTexts::setReplayGain(path, figures, &error)) {
    case TagTexts::Outcome::Unchanged:
        return false;
    case TagTexts::Outcome::Changed:
        return true;
    case TagTexts::Outcome::Failed:
        break;
    }
    throw iTunNORMTag::SaveErrorException("writing the ReplayGain tags failed: " + error);
}

void adjustReplayGainOnly(iTunesTrack& track, SonorixTrackStatus& status, SonorixStatus* album,
                          const std::string& path, double peak, bool modifyComments) {
    auto date = mv::now(true);
    if (SoundCheck::isSilent(peak)) {
        status.setError(kErrorSilent);
        status.setState(kStateFailed);
        return;
    }
    try {
        bool changed = writeReplayGain(path, status, album);
        std::u16string comment;
        if (modifyComments && track.getComment(comment)) {
            size_t position = 0;
            size_t length = 0;
            if (changed || !SonorixAdjustmentJob::findCommentStamp(comment, position, length)) {
                SonorixAdjustmentJob::updateCommentStamp(comment);
                track.setComment(comment);
                changed = true;
            }
        }
        if (changed) {
            track.updateInfoFromFile();
            status.setAdjustedMarker(true);
        }
        status.setAnalyzeDate(date);
        status.markTagAbsent(date);
        status.setLimitedByPeak(false);
        status.setError(kErrorNone);
        status.setFileError(kFileErrorNone);
        status.setState(kStateDone);
    } catch (const iTunNORMTag::SaveErrorException& e) {
        writeLog("adjustment of %s failed: %s", path.c_str(), e.what());
        status.setError(kErrorFile);
        status.setFileError(fileErrorOf(e));
        status.setState(kStateFailed);
    }
}

} // namespace sonorix
