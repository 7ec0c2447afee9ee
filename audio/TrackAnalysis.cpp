#include "audio/TrackAnalysis.h"

#include "audio/AudioDecoder.h"
#include "audio/GainAnalysis.h"
#include "foundation/Paths.h"

#include <memory>
#include <vector>

namespace sonorix {

const char* analysisErrorText(AnalysisError error) {
    switch (error) {
    case AnalysisError::None:
        return "";
    case AnalysisError::FileNotFound:
        return "File Not Found";
    case AnalysisError::DecodeError:
        return "Decoding Error";
    case AnalysisError::Protected:
        return "Protected";
    case AnalysisError::TooShort:
        return "Too Short";
    case AnalysisError::NotRegularFile:
        return "Not a Regular File";
    }
    return "";
}

TrackAnalysis analyzeFile(const std::string& path, bool useGStreamer) {
    constexpr uint32_t kBufferFrames = 65536;
    TrackAnalysis result;
    if (path.empty() || !fileExists(path)) {
        result.error = AnalysisError::FileNotFound;
        return result;
    }
    try {
        auto decoder = createAudioDecoder(path, 0, useGStreamer);
        auto analysis = std::make_unique<GainAnalysis>(44100);
        std::vector<float> left(kBufferFrames), right(kBufferFrames);
        bool more = true;
        while (more) {
            uint32_t frames = 0;
            more = decoder->read(left.data(), right.data(), kBufferFrames, &frames);
            scaleAndPeak(left.data(), right.data(), frames, result.peak);
            analysis->analyzeSamples(left.data(), right.data(), frames);
        }
        result.frames = decoder->framesRead();
        decoder->close();
        result.gain = analysis->titleGain();
    } catch (const AudioDecoder::NotRegularFileException&) {
        result.error = AnalysisError::NotRegularFile;
    } catch (const AudioDecoder::NoFileException&) {
        result.error = AnalysisError::FileNotFound;
    } catch (const AudioDecoder::ProtectedException&) {
        result.error = AnalysisError::Protected;
    } catch (const AudioDecoder::AudioDecoderException&) {
        result.error = AnalysisError::DecodeError;
    } catch (const GainAnalysis::NotEnoughSamplesException&) {
        result.error = AnalysisError::TooShort;
    }
    return result;
}

} // namespace sonorix
