#include "processing/SonorixAdjustmentJob.h"

#include "audio/SafeTagSave.h"
#include "audio/SoundCheck.h"
#include "audio/TagTexts.h"
#include "audio/iTunNORMTag.h"
#include "foundation/CrashJournal.h"
#include "foundation/Localization.h"
#include "foundation/Log.h"
#include "foundation/MemoryMappable.h"
#include "foundation/Paths.h"
#include "foundation/Text.h"
#include "itunes/iTunesTrack.h"
#include "model/ModelValues.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"
#include "model/SonorixPreferences.h"
#include "model/SonorixStatus.h"
#include "model/TrackAccess.h"
#include "processing/AdjustmentPlan.h"
#include "processing/DisplayMessage.h"
#include "processing/ReplayGainWrite.h"
#include "processing/RestoreTrack.h"

namespace sonorix {

namespace {

constexpr double kOpenUnits = 0.2;
constexpr double kWriteUnits = 0.46;
constexpr double kCommentUnits = 0.66;
constexpr double kRereadUnits = 0.68;
constexpr double kUnchangedUnits = 1.8;

bool matchesMask(char16_t c, char16_t mask) {
    return mask == u'9' ? (c >= u'0' && c <= u'9') : c == mask;
}

} // namespace

AdjustmentSettings AdjustmentSettings::from(const SonorixPreferences& preferences) {
    AdjustmentSettings settings;
    settings.perceivedLoudness = preferences.perceivedLoudness();
    settings.resetManualAdjustments = preferences.resetManualAdjustments();
    settings.modifyComments = preferences.modifyComments();
    settings.limitToPeak = preferences.limitToPeak();
    settings.writeReplayGainTags = preferences.writeReplayGainTags();
    return settings;
}

SonorixAdjustmentJob::SonorixAdjustmentJob(std::shared_ptr<SonorixAdjustmentJobManager> manager,
                                           std::shared_ptr<SonorixGroup> group,
                                           std::shared_ptr<SonorixAlbum> album,
                                           std::shared_ptr<iTunesTrack> track,
                                           AdjustmentSettings settings)
    : SonorixJob(std::move(manager), std::move(album), std::move(track), kUnits, kUnits),
      m_group(std::move(group)), m_settings(settings) {}

void SonorixAdjustmentJob::run(const WorkerContext& context) {
    setThreadName("SonorixAdjustmentJob");
    auto model = albumModel();
    if (!model) {
        skipWork(kUnits); // the library was reloaded meanwhile
        return;
    }
    std::shared_ptr<SonorixStatus> albumStatus;
    auto trackStatus = beginWork(*model, kUnits, albumStatus);
    try {
        double gain = 0;
        double peak = 0;
        const bool haveResult = albumStatus ? albumStatus->getGainAndPeak(gain, peak)
                                            : trackStatus->getGainAndPeak(gain, peak);
        if (m_settings.preview) {
            const double additional =
                m_group ? m_group->options().additionalPerceivedLoudness() : 0.0;
            m_settings.preview->add(previewTrack(*m_track, *trackStatus, haveResult, gain, peak,
                                                 additional, m_settings,
                                                 ta::applicationVersion(*model->library())));
        } else if (haveResult) {
            adjust(*trackStatus, albumStatus, gain, peak, context);
            model->setNeedsSave(false);
        }
    } catch (...) {
        // Not ours to handle, but the rows must not stay marked as being worked on.
        endWork(kUnits, *trackStatus, albumStatus);
        throw;
    }
    endWork(kUnits, *trackStatus, albumStatus);
}

void SonorixAdjustmentJob::adjust(SonorixTrackStatus& trackStatus,
                                  const std::shared_ptr<SonorixStatus>& albumStatus, double gain,
                                  double peak, const WorkerContext& context) {
    int16_t newError = trackStatus.getError();
    int16_t newFileError = trackStatus.getFileError();
    int32_t newState = trackStatus.getState();

    std::string path = ta::existingFilePath(*m_track);
    if (path.empty()) {
        // Nothing is touched: neither the file, nor its comment, nor the volume adjustment.
        trackStatus.setError(kErrorFile);
        trackStatus.setFileError(kFileErrorNotFound);
        trackStatus.setState(kStateFailed);
        return;
    }
    if (trackStatus.knownUnsafe(path)) {
        trackStatus.setState(kStateFailed);
        return;
    }
    // Taken before the file is opened: whatever changes it from here on gives another identity.
    const std::string identity = fileIdentity(path);
    if (leftAsLastRunLeftIt(trackStatus, albumStatus, identity, gain, peak)) {
        return;
    }
    CrashJournal::Scope writing(hexIdText(ta::persistentId(*m_track)), path);

    auto date = mv::now(true);
    const auto& message = context.message;
    try {
        // Copies left by a run that was killed mid-save go before this run touches the folder.
        removeStaleCopiesBeside(path);
        if (m_settings.writeReplayGainTags && TagTexts::replayGainOnly(path)) {
            // No Sound Check text fits these files: the ReplayGain tags are their value.
            adjustReplayGainOnly(*m_track, trackStatus, albumStatus.get(), path, peak,
                                 m_settings.modifyComments);
            return;
        }
        int32_t hint = trackStatus.tagReaderHint();
        auto tag = createITunNORMTag(path, hint, true, true);
        trackStatus.setTagHint(hint);
        recordOriginal(trackStatus, *tag);
        addUnits(kOpenUnits, trackStatus, albumStatus);

        bool changed = false;
        bool stampedWithText = false;
        if (SoundCheck::isSilent(peak)) {
            newError = kErrorSilent;
            newState = kStateFailed;
        } else {
            newError = kErrorNone;
            newFileError = kFileErrorNone;
            newState = kStateDone;
            const double additional =
                m_group ? m_group->options().additionalPerceivedLoudness() : 0.0;
            const PlannedAdjustment plan = planAdjustment(gain, peak, m_settings.perceivedLoudness,
                                                          additional, m_settings.limitToPeak);
            // A text the tag library writes takes the comment's stamp into the same save.
            std::u16string comment;
            const bool withStamp = m_settings.modifyComments && tag->comment(comment) &&
                                   m_track->commentFile() == path;
            if (withStamp) {
                updateCommentStamp(comment);
            }
            changed = tag->setAdjustment(plan.adjustment, withStamp ? &comment : nullptr,
                                         &stampedWithText);
            trackStatus.setLimitedByPeak(plan.limitedByPeak);
            if (albumStatus) {
                albumStatus->setLimitedByPeak(plan.limitedByPeak);
            }
        }
        const bool presentBefore = tag->isPresent();
        const SoundCheckValues valuesBefore = tag->values();
        tag.reset(); // closes the file before anyone else touches it
        if (newState == kStateDone && m_settings.writeReplayGainTags &&
            TagTexts::takesReplayGain(path)) {
            changed = writeReplayGain(path, trackStatus, albumStatus.get()) || changed;
        }

        // A run that ended between the value and the stamp left the value in place; the track
        // is done only with both. Reading the comment is most of a run over unchanged files: a
        // file not touched since its stamp was last seen still holds it.
        if (!changed && newState == kStateDone && m_settings.modifyComments) {
            if (identity.empty() || identity != trackStatus.stampedFile()) {
                std::u16string comment;
                size_t position = 0;
                size_t length = 0;
                const bool read = m_track->getComment(comment);
                changed = read && !findCommentStamp(comment, position, length);
                trackStatus.setStampedFile(read && !changed ? identity : std::string());
            }
        }

        bool manualReset = false;
        if (m_settings.resetManualAdjustments) {
            int32_t manual = 0;
            bool manualChanged = false;
            if (trackStatus.refreshManualAdjustment(*m_track, manual, manualChanged) &&
                manual != 0 && trackStatus.applyManualAdjustment(*m_track, 0)) {
                changed = true;
                manualReset = true;
            }
        }

        if (changed) {
            if (message) {
                message->setDetail(toUtf16(localizedString("Adjusting[left]")) +
                                   ta::name(*m_track) +
                                   toUtf16(localizedString("Adjusting[right]")));
                message->show();
            }
            addUnits(kWriteUnits, trackStatus, albumStatus);
            // The iTunes side may fail without harm: the value is in the file already.
            bool stamped = stampedWithText;
            if (m_settings.modifyComments && !stamped) {
                std::u16string comment;
                if (m_track->getComment(comment)) {
                    updateCommentStamp(comment);
                    stamped = m_track->setComment(comment);
                }
            }
            if (!manualReset && m_settings.resetManualAdjustments) {
                trackStatus.applyManualAdjustment(*m_track, 0);
            }
            addUnits(kCommentUnits, trackStatus, albumStatus);
            m_track->updateInfoFromFile();
            const std::string current = m_track->filePath(true, true, false);
            if (!current.empty()) {
                path = current;
            }
            // After the last write of the run: the file as it now stands holds the stamp.
            trackStatus.setStampedFile(stamped ? fileIdentity(path) : std::string());
            trackStatus.setAdjustedMarker(true);
            if (albumStatus) {
                albumStatus->setAdjustedMarker(true);
            }
            addUnits(kRereadUnits, trackStatus, albumStatus);
            if (message) {
                message->hide();
            }
        } else {
            addUnits(kUnchangedUnits, trackStatus, albumStatus);
        }

        date = mv::now(true);
        trackStatus.setAnalyzeDate(date);
        if (manualReset) {
            trackStatus.touchManualAdjustmentDate(date);
        }
        if (changed) {
            int32_t readHint = trackStatus.tagReaderHint();
            auto readBack = createITunNORMTag(path, readHint, false, false);
            trackStatus.setTagHint(readHint);
            if (!readBack->isPresent()) {
                throw iTunNORMTag::NoTagException("no Sound Check text after writing");
            }
            trackStatus.setTag(readBack->values(), date);
        } else {
            // Nothing was written: the file holds what was read above.
            if (!presentBefore) {
                throw iTunNORMTag::NoTagException("no Sound Check text in the file");
            }
            trackStatus.setTag(valuesBefore, date);
        }
    } catch (const iTunNORMTag::NoTagSupportedException&) {
        newError = kErrorUnsupported;
        newState = kStateFailed;
        trackStatus.markTagAbsent(date);
    } catch (const iTunNORMTag::NoTagException&) {
        // A silent track keeps saying so: that is why the file has no value.
        if (newError != kErrorSilent) {
            newError = kErrorTag;
            newState = kStateNoTag;
        }
        trackStatus.markTagAbsent(date);
    } catch (const MemoryMappable::MemoryMappableException& e) {
        newError = kErrorFile, newFileError = fileErrorOf(e), newState = kStateFailed;
        writeLog("adjustment of %s failed: %s", path.c_str(), e.what());
    } catch (const iTunNORMTag::iTunNORMTagException& e) {
        newError = kErrorFile, newFileError = fileErrorOf(e), newState = kStateFailed;
        writeLog("adjustment of %s failed: %s", path.c_str(), e.what());
    }
    if (message) {
        message->hide();
    }
    trackStatus.setError(newError);
    trackStatus.setFileError(newFileError);
    trackStatus.setState(newState);
}

bool SonorixAdjustmentJob::leftAsLastRunLeftIt(SonorixTrackStatus& trackStatus,
                                               const std::shared_ptr<SonorixStatus>& albumStatus,
                                               const std::string& identity, double gain,
                                               double peak) {
    // The file is the one a run saw holding the stamp, or saved with it, and the Sound Check
    // values recorded then: if those stay for this run's adjustment, there is nothing to open.
    // ReplayGain tags take the whole way: they are not part of what was recorded.
    if (!m_settings.modifyComments || m_settings.writeReplayGainTags ||
        SoundCheck::isSilent(peak) || identity.empty() || identity != trackStatus.stampedFile()) {
        return false;
    }
    SoundCheckValues recorded{};
    SoundCheckValues backup{};
    if (!trackStatus.getTag(recorded) ||
        !(trackStatus.getBackup(backup) || trackStatus.backupAbsent())) {
        return false;
    }
    const double additional = m_group ? m_group->options().additionalPerceivedLoudness() : 0.0;
    const PlannedAdjustment plan = planAdjustment(gain, peak, m_settings.perceivedLoudness,
                                                  additional, m_settings.limitToPeak);
    if (SoundCheck::valuesForAdjustment(recorded, plan.adjustment) != recorded) {
        return false;
    }
    if (m_settings.resetManualAdjustments) {
        // Read as the whole way reads it (which then finds it read): one to reset goes there.
        int32_t manual = 0;
        bool manualChanged = false;
        if (trackStatus.refreshManualAdjustment(*m_track, manual, manualChanged) && manual != 0) {
            return false;
        }
    }
    addUnits(kOpenUnits, trackStatus, albumStatus);
    trackStatus.setLimitedByPeak(plan.limitedByPeak);
    if (albumStatus) {
        albumStatus->setLimitedByPeak(plan.limitedByPeak);
    }
    addUnits(kUnchangedUnits, trackStatus, albumStatus);
    const auto date = mv::now(true);
    trackStatus.setAnalyzeDate(date);
    trackStatus.setTag(recorded, date);
    trackStatus.setError(kErrorNone);
    trackStatus.setFileError(kFileErrorNone);
    trackStatus.setState(kStateDone);
    return true;
}

// ---- the comment stamp

std::u16string SonorixAdjustmentJob::commentStampText(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[64];
    const size_t length =
        std::strftime(text, sizeof text, "Adjusted by Sonorix %m/%d/%Y %H:%M:%S\r\n", &local);
    return std::u16string(text, text + length);
}

bool SonorixAdjustmentJob::findCommentStamp(const std::u16string& comment, size_t& position,
                                            size_t& length) {
    const std::u16string_view marker(kStampMarker);
    const size_t at = comment.find(marker);
    if (at == std::u16string::npos) {
        return false;
    }
    size_t end = at + marker.size();
    for (const char16_t* mask = kStampMask; *mask && end < comment.size(); ++mask, ++end) {
        if (!matchesMask(comment[end], *mask)) {
            break;
        }
    }
    while (end < comment.size() && (comment[end] == u'\r' || comment[end] == u'\n')) {
        ++end;
    }
    position = at;
    length = end - at;
    return true;
}

void SonorixAdjustmentJob::updateCommentStamp(std::u16string& comment, std::time_t when) {
    const std::u16string stamp = commentStampText(when);
    size_t position = 0;
    size_t length = 0;
    if (findCommentStamp(comment, position, length)) {
        comment.replace(position, length, stamp);
    } else {
        comment.insert(0, stamp);
    }
}

bool SonorixAdjustmentJob::removeCommentStamp(std::u16string& comment) {
    size_t position = 0;
    size_t length = 0;
    if (!findCommentStamp(comment, position, length)) {
        return false;
    }
    comment.erase(position, length);
    return true;
}

} // namespace sonorix
