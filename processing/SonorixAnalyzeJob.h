#pragma once

#include "processing/SonorixJob.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace sonorix {

class AudioDecoder;
class iTunesTrack;
class SonorixAlbum;
class SonorixGroup;
class SonorixModel;
class SonorixStatus;
class SonorixTrackStatus;

// Measures the loudness and peak of one track's file and stores them in its status. A track
// whose status holds a result is never measured again: the file is not even looked at.
class SonorixAnalyzeJob : public SonorixJob {
public:
    // What an analysis is worth in the manager's total and the track's progress, and in the
    // progress of an album of several tracks.
    static constexpr double kTrackUnits = 30;
    static constexpr double kAlbumUnits = 2;
    static constexpr uint32_t kBufferFrames = 65536;
    static constexpr int32_t kSampleRate = 44100;
    static constexpr float kSampleScale = 32768.0f;

    // Opens a file for decoding at 44100 Hz stereo; throws the decoder's exceptions.
    using DecoderFactory = std::function<std::shared_ptr<AudioDecoder>(const std::string& path,
                                                                       int64_t expectedFrames)>;

    // An empty factory decodes with the default decoder.
    SonorixAnalyzeJob(std::shared_ptr<SonorixAdjustmentJobManager> manager,
                      std::shared_ptr<SonorixGroup> group, std::shared_ptr<SonorixAlbum> album,
                      std::shared_ptr<iTunesTrack> track, DecoderFactory decoders = {});

    // The second line of the context's display message, where there is one, names the track
    // while it is measured.
    void run(const WorkerContext& context) override;

    const std::shared_ptr<SonorixAlbum>& album() const { return m_album; }

private:
    void measure(SonorixModel& model, SonorixTrackStatus& trackStatus,
                 const std::shared_ptr<SonorixStatus>& album, const WorkerContext& context);
    // The track's gain in dB; the peak only when the job was not cancelled.
    double analyzeFile(SonorixTrackStatus& trackStatus,
                       const std::shared_ptr<SonorixStatus>& albumStatus, double& peak,
                       bool& peakGiven);
    void countTrackUnits(SonorixTrackStatus& trackStatus, double units);
    void countAlbumUnits(const std::shared_ptr<SonorixStatus>& albumStatus, double units);
    void finish(SonorixTrackStatus& trackStatus, const std::shared_ptr<SonorixStatus>& album);

    const std::shared_ptr<SonorixGroup> m_group;
    const DecoderFactory m_decoders;
    double m_trackUnitsDone = 0;
    double m_albumUnitsDone = 0;
};

// "Sonorix: Analyzing Artist - Album - Name (path) ...", parts that are empty left out.
std::string analysisLogLine(const iTunesTrack& track, const std::string& path);

} // namespace sonorix
