#include "processing/RestoreTrack.h"

#include "audio/TagTexts.h"
#include "audio/iTunNORMTag.h"
#include "foundation/Log.h"
#include "foundation/Paths.h"
#include "itunes/iTunesTrack.h"
#include "model/SonorixStatus.h"
#include "model/TrackAccess.h"
#include "processing/SonorixAdjustmentJob.h"

#include <optional>
#include <string>

namespace sonorix {

RestoreAction restoreActionOf(const SonorixTrackStatus& status, SoundCheckValues& backup) {
    if (status.getBackup(backup)) {
        return RestoreAction::WriteBackup;
    }
    if (status.backupAbsent()) {
        return RestoreAction::RemoveText;
    }
    return RestoreAction::Unknown;
}

void recordOriginal(SonorixTrackStatus& status, const iTunNORMTag& tag) {
    SoundCheckValues backup{};
    if (status.getBackup(backup) || status.backupAbsent()) {
        return;
    }
    if (!tag.isPresent()) {
        status.setBackupAbsent();
    } else if (tag.isValid()) {
        status.setBackup(tag.values());
    }
}

void restoreTrack(iTunesTrack& track, SonorixTrackStatus& status) {
    const std::string path = ta::filePath(track);
    if (path.empty() || !fileExists(path)) {
        status.setError(kErrorFile);
        status.setFileError(kFileErrorNotFound);
        status.setState(kStateFailed);
        return;
    }
    if (status.knownUnsafe(path)) {
        status.setState(kStateFailed);
        return;
    }
    bool changed = false;
    SoundCheckValues backup{};
    const RestoreAction action = restoreActionOf(status, backup);
    if (action != RestoreAction::Unknown && !TagTexts::replayGainOnly(path)) {
        std::optional<SoundCheckValues> values;
        if (action == RestoreAction::WriteBackup) {
            values = backup;
        }
        std::string error;
        const auto outcome = TagTexts::setSoundCheck(path, values, &error);
        if (outcome == TagTexts::Outcome::Failed) {
            writeLog("restoring %s failed: %s", path.c_str(), error.c_str());
            status.setError(kErrorFile);
            status.setFileError(kFileErrorSave);
            status.setState(kStateFailed);
            return;
        }
        changed = outcome == TagTexts::Outcome::Changed;
    } else if (action == RestoreAction::Unknown) {
        writeLog("restoring %s: no record of its text before Sonorix, left as it is", path.c_str());
    }
    std::u16string comment;
    if (track.getComment(comment) && SonorixAdjustmentJob::removeCommentStamp(comment)) {
        track.setComment(comment);
        changed = true;
    }
    if (changed) {
        track.updateInfoFromFile();
    }
    status.setLimitedByPeak(false);
    status.setError(kErrorNone);
    status.setFileError(kFileErrorNone);
    status.setState(kStateNone);
    status.checkTag(track, true);
    const int16_t error = status.getError();
    if (error == kErrorTag || error == kErrorUnsupported) {
        // No text (or no place for one) is how the file was: not a failure of the restore.
        status.setError(kErrorNone);
        status.setState(kStateNone);
    }
}

} // namespace sonorix
