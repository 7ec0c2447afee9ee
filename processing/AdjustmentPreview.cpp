#include "audio/SoundCheck.h"
#include "audio/TagTexts.h"
#include "audio/iTunNORMTag.h"
#include "foundation/CrashJournal.h"
#include "foundation/MemoryMappable.h"
#include "foundation/Paths.h"
#include "foundation/Text.h"
#include "foundation/Value.h"
#include "itunes/iTunesTrack.h"
#include "model/SonorixStatus.h"
#include "model/TrackAccess.h"
#include "processing/AdjustmentPlan.h"
#include "processing/SonorixAdjustmentJob.h"

#include <climits>

#include <unistd.h>

namespace sonorix {

namespace {

// Whether the file's ReplayGain tags differ from what a run writes.
bool replayGainDiffers(const std::string& path, const SonorixTrackStatus& status) {
    double gain = 0;
    double peak = 0;
    if (!status.getGainAndPeak(gain, peak)) {
        return false;
    }
    const auto found = TagTexts::survey(path);
    for (const auto& place : found.replayGain) {
        const auto colon = place.where.rfind(':');
        const std::string key =
            colon == std::string::npos ? place.where : place.where.substr(colon + 1);
        if ((key == "replaygain_track_gain" || key == "REPLAYGAIN_TRACK_GAIN") && place.canonical) {
            return place.text != TagTexts::gainText(gain);
        }
    }
    return true;
}

} // namespace

PreviewRow previewTrack(iTunesTrack& track, SonorixTrackStatus& status, bool measured, double gain,
                        double peak, double additional, const AdjustmentSettings& settings,
                        uint32_t version) {
    PreviewRow row;
    row.trackId = ta::persistentId(track);
    row.name = ta::name(track);
    row.path = ta::filePath(track);
    if (!measured) {
        row.note = status.getError() != 0 ? toUtf8(status.errorText()) : "not measured";
        return row;
    }
    if (row.path.empty() || !fileExists(row.path)) {
        row.note = "file not found";
        return row;
    }
    if (status.knownUnsafe(row.path)) {
        row.note = "left alone: it crashed a reader";
        return row;
    }
    CrashJournal::Scope reading(hexIdText(row.trackId), row.path);
    const bool silent = SoundCheck::isSilent(peak);
    const PlannedAdjustment plan =
        planAdjustment(gain, peak, settings.perceivedLoudness, additional, settings.limitToPeak);
    try {
        if (settings.writeReplayGainTags && TagTexts::replayGainOnly(row.path)) {
            if (silent) {
                row.note = "silent";
            } else {
                row.note = "ReplayGain tags only";
                row.changes = replayGainDiffers(row.path, status);
            }
            return row;
        }
        const int64_t storedHint = status.getTagHint();
        int32_t hint = storedHint >= INT32_MIN && storedHint <= INT32_MAX
                           ? static_cast<int32_t>(storedHint)
                           : -1;
        // Read-only, and as the real run finds it: a file without a text reads as no
        // adjustment and would be given one.
        iTunNORMTag tag;
        tag.open(row.path, hint, false, true);
        const SoundCheckValues current = tag.values();
        if (tag.isPresent()) {
            row.stored = SoundCheck::playbackAdjustment(current, version);
        }
        if (silent) {
            row.note = "silent";
            return row;
        }
        const SoundCheckValues next = SoundCheck::valuesForAdjustment(current, plan.adjustment);
        row.planned = SoundCheck::playbackAdjustment(next, version);
        row.limitedByPeak = plan.limitedByPeak;
        bool wellFormed = true;
        if (tag.mode() != iTunNORMTag::Mode::Raw) {
            const std::string text = tag.text();
            SoundCheckValues parsed;
            wellFormed = tag.isPresent() && SoundCheckText::parse(text.data(), text.size(), parsed);
        }
        row.changes = next != current || !wellFormed;
        if (::access(row.path.c_str(), W_OK) != 0) {
            // The real run fails on it: nothing would change.
            row.note = "write-protected";
            row.changes = false;
            return row;
        }
        if (!row.changes && settings.modifyComments) {
            std::u16string comment;
            size_t position = 0;
            size_t length = 0;
            row.changes = track.getComment(comment) &&
                          !SonorixAdjustmentJob::findCommentStamp(comment, position, length);
        }
        if (!row.changes && settings.writeReplayGainTags && TagTexts::takesReplayGain(row.path)) {
            row.changes = replayGainDiffers(row.path, status);
        }
    } catch (const iTunNORMTag::NoTagSupportedException&) {
        row.note = "Unsupported Format";
    } catch (const iTunNORMTag::iTunNORMTagException& e) {
        row.note = e.what();
    } catch (const MemoryMappable::MemoryMappableException& e) {
        row.note = e.what();
    }
    return row;
}

} // namespace sonorix
