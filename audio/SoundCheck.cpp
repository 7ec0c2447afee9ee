#include "audio/SoundCheck.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace sonorix::SoundCheck {
namespace {

int32_t field(const SoundCheckValues& values, int i) {
    return static_cast<int32_t>(values[i]);
}

} // namespace

bool isSilent(double peak) {
    return peak < kSilenceThreshold;
}

double neededAdjustment(double gain, double masterVolume, double additional) {
    return gain + (masterVolume + additional) - kReferenceLevel;
}

int32_t soundCheckValue(double adjustment, int base) {
    if (std::isnan(adjustment)) {
        return base; // no meaningful adjustment: leave the level alone
    }
    double x = std::round(base * std::pow(10.0, -adjustment / 10.0)); // halves away from zero
    if (x > kMaximumValue) {
        return kMaximumValue;
    }
    if (x < kMinimumValue) {
        return kMinimumValue;
    }
    return static_cast<int32_t>(x);
}

double adjustmentFromValue(int32_t value, int base, double peak) {
    // Values below the range (0, negative: damaged or foreign texts) read as the smallest value,
    // so that no reading becomes infinite or NaN and poisons sorting and album means.
    double v = std::max<int32_t>(value, kMinimumValue);
    double adjustment = -10.0 * std::log10(v / base);
    if (peak > 0) {
        adjustment = std::min(adjustment, 20.0 * std::log10(kFullScale / peak) - 1.0);
    }
    return adjustment;
}

int32_t playbackValue(const SoundCheckValues& values, uint32_t version) {
    int32_t m1 = std::max(field(values, 0), field(values, 1));
    if (version > kITunes80) {
        return m1;
    }
    double d2 = adjustmentFromValue(std::max(field(values, 2), field(values, 3)), kBase2500, 0);
    int32_t m2 = soundCheckValue(d2, kBase1000);
    if (version < kITunes80) {
        return std::max(m1, m2);
    }
    // 8.0 takes the pair with the smaller absolute adjustment; a tie goes to the 2500 pair.
    double d1 = adjustmentFromValue(m1, kBase1000, 0);
    return std::fabs(d2) > std::fabs(d1) ? m1 : m2;
}

double playbackAdjustment(const SoundCheckValues& values, uint32_t version) {
    double peak = version < kITunes80 ? 0.0 : std::max(field(values, 6), field(values, 7));
    return adjustmentFromValue(playbackValue(values, version), kBase1000, peak);
}

double maximumUnclippedAdjustment(double peak) {
    if (!(peak > 0)) {
        return std::numeric_limits<double>::infinity();
    }
    return 20.0 * std::log10(std::max(1.0, kFullScale / peak));
}

SoundCheckValues valuesForAdjustment(const SoundCheckValues& current, double adjustment) {
    SoundCheckValues v = current;
    uint32_t v1000 = static_cast<uint32_t>(soundCheckValue(adjustment, kBase1000));
    uint32_t v2500 = static_cast<uint32_t>(soundCheckValue(adjustment, kBase2500));
    v[0] = v[1] = v1000;
    v[2] = v[3] = v2500;
    // Zero peaks: no player limits the adjustment by a peak.
    v[6] = v[7] = 0;
    return v;
}

Readings readings(const SoundCheckValues& values) {
    double peak = std::max(field(values, 6), field(values, 7));
    return {adjustmentFromValue(playbackValue(values, 0), kBase1000, 0),
            adjustmentFromValue(playbackValue(values, kITunes80), kBase1000, peak),
            adjustmentFromValue(playbackValue(values, kITunes801), kBase1000, peak)};
}

AlbumAdjustment albumPresentAdjustment(const std::vector<std::optional<SoundCheckValues>>& texts,
                                       uint32_t version) {
    AlbumAdjustment result;
    double sum = 0;
    double first = 0;
    int count = 0;
    bool uniform = true;
    for (const auto& t : texts) {
        if (!t) {
            continue;
        }
        double a = playbackAdjustment(*t, version);
        if (count == 0) {
            first = a;
        } else if (std::fabs(a - first) > kAlbumTolerance) {
            uniform = false;
        }
        sum += a;
        ++count;
    }
    if (count > 0) {
        result.mean = sum / count;
        result.uniform = uniform;
    }
    return result;
}

} // namespace sonorix::SoundCheck
