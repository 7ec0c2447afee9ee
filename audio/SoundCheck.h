#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace sonorix {

// The ten values of a Sound Check text.
using SoundCheckValues = std::array<uint32_t, 10>;

// Connects loudness measurements with Sound Check values.
namespace SoundCheck {

constexpr double kReferenceLevel = 89.0;
constexpr int kBase1000 = 1000;
constexpr int kBase2500 = 2500;
constexpr int kMinimumValue = 1;
constexpr int kMaximumValue = 65534;
constexpr double kFullScale = 32768.0;
// Peaks below this (on the 16-bit scale) are digital silence.
constexpr double kSilenceThreshold = 2.0;
// iTunes version numbers (major << 16 | minor << 8 | revision) at which the reading changed.
constexpr uint32_t kITunes80 = 0x080000;
constexpr uint32_t kITunes801 = 0x080001;
constexpr double kAlbumTolerance = 0.01;

// P: peak on the 16-bit scale (largest absolute sample x 32768).
bool isSilent(double peak);
// The adjustment a track of ReplayGain G needs for master volume M plus the group's extra X.
double neededAdjustment(double gain, double masterVolume, double additional);
// The value that encodes an adjustment on base 1000 or 2500, clamped to 1 ... 65534.
int32_t soundCheckValue(double adjustment, int base);
// The adjustment a value encodes; a positive peak limits it to keep that peak 1 dB below full
// scale.
double adjustmentFromValue(int32_t value, int base, double peak);
// The value that iTunes of version V applies.
int32_t playbackValue(const SoundCheckValues& values, uint32_t version);
// The adjustment in dB that iTunes of version V applies.
double playbackAdjustment(const SoundCheckValues& values, uint32_t version);
// The largest boost that does not clip the peak (no headroom).
double maximumUnclippedAdjustment(double peak);

// The values setAdjustment stores: the adjustment in fields 0-3, peaks 0, the rest kept.
SoundCheckValues valuesForAdjustment(const SoundCheckValues& current, double adjustment);

// How a stored text reads in the three generations of iTunes.
struct Readings {
    double currentlyUsed; // before 8.0: the larger of both pairs, no peak limit
    double iTunes80;
    double iTunes801;
};
Readings readings(const SoundCheckValues& values);

struct AlbumAdjustment {
    double mean = 0;      // over the tracks with a stored text; 0 when none has one
    bool uniform = false; // every such track within the tolerance of the first
};
AlbumAdjustment albumPresentAdjustment(const std::vector<std::optional<SoundCheckValues>>& texts,
                                       uint32_t version);

} // namespace SoundCheck
} // namespace sonorix
