#pragma once

#include "audio/SoundCheck.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sonorix {

class iTunesTrack;
class SonorixTrackStatus;
struct AdjustmentSettings;

// The adjustment a run writes for a measured loudness, shared by the real run and its preview
// so that both give the same figure.
struct PlannedAdjustment {
    double adjustment = 0;
    // A positive adjustment was lowered to what the peak allows without clipping.
    bool limitedByPeak = false;
};

// gain: the ReplayGain of the track or album; peak: its peak on the 16-bit scale.
PlannedAdjustment planAdjustment(double gain, double peak, double masterVolume, double additional,
                                 bool limitToPeak);

// One track of a preview: what its file holds and what a real run would write there.
struct PreviewRow {
    uint64_t trackId = 0;
    std::u16string name;
    std::string path;
    // The playback adjustment of the file's text; none without a text.
    std::optional<double> stored;
    // The playback adjustment of the text the run would write; none where it writes no value.
    std::optional<double> planned;
    // The run would change the file (its text, or the comment stamp that goes with it).
    bool changes = false;
    bool limitedByPeak = false;
    // Why nothing is planned: "silent", "file not found", …; empty otherwise.
    std::string note;

    std::optional<double> difference() const {
        if (!planned) {
            return std::nullopt;
        }
        return *planned - stored.value_or(0.0);
    }
};

// The rows a preview run gathers; filled by the workers, read once the run ended.
class AdjustmentPreview {
public:
    void add(PreviewRow row);
    // In the order the tracks were done.
    std::vector<PreviewRow> rows() const;
    size_t changeCount() const;

private:
    mutable std::mutex m_lock;
    std::vector<PreviewRow> m_rows;
};

// What a real run with these settings would do to the track: reads its file, writes nothing.
// measured: gain and peak (the album's in album mode) are known.
PreviewRow previewTrack(iTunesTrack& track, SonorixTrackStatus& status, bool measured, double gain,
                        double peak, double additional, const AdjustmentSettings& settings,
                        uint32_t version);

} // namespace sonorix
