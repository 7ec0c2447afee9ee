#pragma once

#include <cstdint>
#include <string>

namespace sonorix {

// Why a file could not be measured.
enum class AnalysisError { None, FileNotFound, DecodeError, Protected, TooShort, NotRegularFile };

// The system's text for an analysis error ("" for None).
const char* analysisErrorText(AnalysisError error);

struct TrackAnalysis {
    float gain = 0;     // ReplayGain in dB
    float peak = 0;     // largest absolute sample on the 16-bit scale
    int64_t frames = 0; // frames delivered at 44100 Hz
    AnalysisError error = AnalysisError::None;
};

// Decodes a whole file and measures it: 65536-frame buffers scaled to the 16-bit scale in
// place, the peak over both channels, GainAnalysis at 44100 Hz.
TrackAnalysis analyzeFile(const std::string& path, bool useGStreamer = false);

} // namespace sonorix
