#include "processing/SonorixAnalyzeJob.h"

#include "foundation/CrashJournal.h"

#include "audio/AudioDecoder.h"
#include "audio/GainAnalysis.h"
#include "audio/TagTexts.h"
#include "foundation/Localization.h"
#include "foundation/Log.h"
#include "foundation/Text.h"
#include "itunes/iTunesTrack.h"
#include "model/ModelValues.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"
#include "model/SonorixStatus.h"
#include "model/TrackAccess.h"
#include "processing/DisplayMessage.h"

#include <chrono>
#include <cmath>
#include <vector>

namespace sonorix {

namespace {

enum class Outcome { Failed, Analyzed, Cancelled };

std::u16string analyzingDetail(const iTunesTrack& track) {
    return toUtf16(localizedString("Analyzing[left]")) + ta::name(track) +
           toUtf16(localizedString("Analyzing[right]"));
}

} // namespace

std::string analysisLogLine(const iTunesTrack& track, const std::string& path) {
    std::u16string artist = ta::artist(track);
    if (artist.empty()) {
        artist = ta::albumArtist(track);
    }
    std::u16string description;
    for (const std::u16string& part : {artist, ta::album(track), ta::name(track)}) {
        if (part.empty()) {
            continue;
        }
        if (!description.empty()) {
            description += u" - ";
        }
        description += part;
    }
    return "Sonorix: Analyzing " + toUtf8(description) + " (" + path + ") ...";
}

SonorixAnalyzeJob::SonorixAnalyzeJob(std::shared_ptr<SonorixAdjustmentJobManager> manager,
                                     std::shared_ptr<SonorixGroup> group,
                                     std::shared_ptr<SonorixAlbum> album,
                                     std::shared_ptr<iTunesTrack> track, DecoderFactory decoders)
    : SonorixJob(std::move(manager), std::move(album), std::move(track), kTrackUnits, kAlbumUnits),
      m_group(std::move(group)), m_decoders(std::move(decoders)) {}

void SonorixAnalyzeJob::run(const WorkerContext& context) {
    setThreadName("SonorixAnalyzeJob");
    auto owner = m_album->group();
    auto model = owner ? owner->model() : nullptr;
    if (!model) {
        // The library was reloaded meanwhile; the run's total must still be reached.
        m_manager->progress()->addDone(kTrackUnits - m_trackUnitsDone);
        m_trackUnitsDone = kTrackUnits;
        return;
    }
    auto library = model->statusLibrary();
    auto trackStatus = library->trackStatus(ta::persistentId(*m_track), true);
    trackStatus->resetProgress();
    trackStatus->addProgressTotal(kTrackUnits);
    trackStatus->addProcessing(1);
    reportTrackProgress(m_track, true);

    std::shared_ptr<SonorixStatus> albumStatus;
    if (albumShown()) {
        albumStatus = library->albumStatus(*m_album, true, false);
        albumStatus->addProcessing(1);
        reportAlbumProgress(m_album, true);
    }

    try {
        double gain = 0;
        double peak = 0;
        if (!trackStatus->getGainAndPeak(gain, peak)) {
            measure(*model, *trackStatus, albumStatus, context);
        }
    } catch (...) {
        // Not ours to handle, but the rows must not stay marked as being worked on.
        finish(*trackStatus, albumStatus);
        throw;
    }
    finish(*trackStatus, albumStatus);
}

void SonorixAnalyzeJob::measure(SonorixModel& model, SonorixTrackStatus& trackStatus,
                                const std::shared_ptr<SonorixStatus>& albumStatus,
                                const WorkerContext& context) {
    const auto& message = context.message;
    if (message) {
        message->setDetail(analyzingDetail(*m_track));
        message->show();
    }
    struct HideOnExit {
        std::shared_ptr<DisplayMessage> message;
        ~HideOnExit() {
            if (message) {
                message->hide();
            }
        }
    } hideOnExit{message};

    const std::string path = ta::filePath(*m_track);
    if (!path.empty() && trackStatus.knownUnsafe(path)) {
        return; // it crashed a reader before, and is left alone until it changes
    }
    // Should a decoder or the tag library crash on this file, the next run knows which it was.
    CrashJournal::Scope reading(hexIdText(ta::persistentId(*m_track)), path);
    if (trackStatus.checkTag(*m_track, true)) {
        model.setNeedsSave(false);
    }

    const int16_t tagError = trackStatus.getError();
    const bool replayGainOnly = tagError == kErrorUnsupported &&
                                m_manager->measuresReplayGainOnlyFiles() &&
                                TagTexts::replayGainOnly(path);
    if (trackStatus.getState() == kStateFailed && tagError != kErrorTag && !replayGainOnly) {
        // The file is missing, unreadable or cannot hold a value: nothing to measure.
        trackStatus.setError(tagError);
        trackStatus.setAnalyzeError(tagError);
        return;
    }

    Outcome outcome = Outcome::Failed;
    int16_t error = kErrorNone;
    const auto& progress = m_manager->progress();
    progress->analysisStarted();
    try {
        auto date = mv::now(true);
        double peak = 0;
        bool peakGiven = false;
        double gain = analyzeFile(trackStatus, albumStatus, peak, peakGiven);
        if (isCancelled() || !peakGiven) {
            outcome = Outcome::Cancelled;
        } else {
            trackStatus.setGainAndPeak(gain, peak, date);
            outcome = Outcome::Analyzed;
            model.setNeedsSave(false);
        }
    } catch (const AudioDecoder::NotRegularFileException&) {
        error = kErrorFile;
        trackStatus.setFileError(kFileErrorNotRegular);
    } catch (const AudioDecoder::NoFileException&) {
        error = kErrorFile;
    } catch (const AudioDecoder::ProtectedException&) {
        error = kErrorProtected;
    } catch (const AudioDecoder::AudioDecoderException&) {
        error = kErrorDecode;
    } catch (const GainAnalysis::NotEnoughSamplesException&) {
        error = kErrorAnalyze;
    } catch (...) {
        progress->analysisEnded();
        throw;
    }
    progress->analysisEnded();

    if (outcome == Outcome::Failed) {
        trackStatus.setError(error);
        trackStatus.setAnalyzeError(error);
        trackStatus.setState(kStateFailed);
    } else {
        // A cancelled analysis leaves the track to a later run.
        trackStatus.setAnalyzeError(kErrorNone);
        trackStatus.setState(kStateNone);
    }
}

double SonorixAnalyzeJob::analyzeFile(SonorixTrackStatus& trackStatus,
                                      const std::shared_ptr<SonorixStatus>& albumStatus,
                                      double& peakOut, bool& peakGiven) {
    std::vector<float> left(kBufferFrames);
    std::vector<float> right(kBufferFrames);

    const std::string path = ta::filePath(*m_track);
    if (!path.empty()) {
        writeLog("%s", analysisLogLine(*m_track, path).c_str());
    }
    const auto expectedFrames =
        static_cast<int64_t>(ta::totalTimeMs(*m_track) / 1000.0 * kSampleRate);
    std::shared_ptr<AudioDecoder> decoder =
        m_decoders ? m_decoders(path, expectedFrames) : createAudioDecoder(path, expectedFrames);

    // About 230 KB of filter state: not for a worker's stack.
    auto analysis = std::make_unique<GainAnalysis>(kSampleRate);
    const auto& progress = m_manager->progress();
    float peak = 0;
    bool more = true;
    // Each count wakes the main thread, which takes a processor from the workers: a count waits
    // for a thirty-second of the track (as fine as a bar shows) and a thirtieth of a second (as
    // often as a display refreshes); the rest is counted when the job ends.
    constexpr double kCountStep = 1.0 / 32;
    constexpr auto kCountInterval = std::chrono::milliseconds(33);
    double counted = 0;
    auto countedAt = std::chrono::steady_clock::now();
    do {
        uint32_t frames = 0;
        more = decoder->read(left.data(), right.data(), kBufferFrames, &frames);
        if (frames > 0) {
            scaleAndPeak(left.data(), right.data(), frames, peak);
            analysis->analyzeSamples(left.data(), right.data(), frames);
            progress->addAudioSeconds(static_cast<double>(frames) / kSampleRate);
            const double fraction = decoder->progress();
            if ((fraction - counted >= kCountStep &&
                 std::chrono::steady_clock::now() - countedAt >= kCountInterval) ||
                !more) {
                counted = fraction;
                countedAt = std::chrono::steady_clock::now();
                countTrackUnits(trackStatus, fraction * kTrackUnits);
                if (albumStatus) {
                    countAlbumUnits(albumStatus, fraction * kAlbumUnits);
                }
            }
        }
    } while (more && !isCancelled());
    decoder->close();

    if (isCancelled()) {
        peakGiven = false;
        return 0;
    }
    const double gain = analysis->titleGain();
    peakOut = peak;
    peakGiven = true;
    return gain;
}

void SonorixAnalyzeJob::countTrackUnits(SonorixTrackStatus& trackStatus, double units) {
    const double d = units - m_trackUnitsDone;
    if (d == 0) {
        return;
    }
    m_manager->progress()->addDone(d);
    const double before = trackStatus.progressDone();
    trackStatus.addProgressDone(d);
    // The row shows whole units only.
    if (std::floor(before) != std::floor(trackStatus.progressDone())) {
        reportTrackProgress(m_track, false);
    }
    m_trackUnitsDone += d;
}

void SonorixAnalyzeJob::countAlbumUnits(const std::shared_ptr<SonorixStatus>& albumStatus,
                                        double units) {
    const double d = units - m_albumUnitsDone;
    if (d == 0) {
        return;
    }
    const double before = albumStatus->progressDone();
    albumStatus->addProgressDone(d);
    if (std::floor(before) != std::floor(albumStatus->progressDone())) {
        reportAlbumProgress(m_album, false);
    }
    m_albumUnitsDone += d;
}

void SonorixAnalyzeJob::finish(SonorixTrackStatus& trackStatus,
                               const std::shared_ptr<SonorixStatus>& albumStatus) {
    const double trackRest = kTrackUnits - m_trackUnitsDone;
    if (trackRest != 0) {
        m_manager->progress()->addDone(trackRest);
        trackStatus.addProgressDone(trackRest);
        reportTrackProgress(m_track, false);
        m_trackUnitsDone = kTrackUnits;
    }
    trackStatus.addProcessing(-1);
    finalTrackReport(m_track);

    if (albumStatus) {
        const double albumRest = kAlbumUnits - m_albumUnitsDone;
        if (albumRest != 0) {
            albumStatus->addProgressDone(albumRest);
            reportAlbumProgress(m_album, false);
            m_albumUnitsDone = kAlbumUnits;
        }
        albumStatus->addProcessing(-1);
        finalAlbumReport(m_album);
    }
}

} // namespace sonorix
