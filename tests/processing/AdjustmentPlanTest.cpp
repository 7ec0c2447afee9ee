#include "processing/AdjustmentPlan.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace sonorix;

namespace {

// Peak on the 16-bit scale of a signal reaching `fraction` of full scale.
double peakOf(double fraction) {
    return fraction * SoundCheck::kFullScale;
}

TEST(AdjustmentPlan, ClippingGuardCapsOnlyBoostsThePeakCannotTake) {
    // A boost of 8 dB on a track peaking at -3 dBFS would clip: held at 3 dB.
    const double halfPeak = peakOf(std::pow(10.0, -3.0 / 20.0));
    auto capped = planAdjustment(8.0, halfPeak, 89.0, 0.0, true);
    EXPECT_TRUE(capped.limitedByPeak);
    EXPECT_NEAR(capped.adjustment, 3.0, 1e-9);

    // The same without the setting: the full boost.
    auto free = planAdjustment(8.0, halfPeak, 89.0, 0.0, false);
    EXPECT_FALSE(free.limitedByPeak);
    EXPECT_NEAR(free.adjustment, 8.0, 1e-9);

    // A boost the peak allows is left alone.
    auto fits = planAdjustment(2.0, halfPeak, 89.0, 0.0, true);
    EXPECT_FALSE(fits.limitedByPeak);
    EXPECT_NEAR(fits.adjustment, 2.0, 1e-9);

    // Cuts are never capped, however high the peak.
    auto cut = planAdjustment(-6.0, peakOf(1.0), 89.0, 0.0, true);
    EXPECT_FALSE(cut.limitedByPeak);
    EXPECT_NEAR(cut.adjustment, -6.0, 1e-9);

    // A full-scale peak allows no boost at all; the master volume and the group's extra count
    // towards the boost.
    auto full = planAdjustment(-1.0, peakOf(1.0), 92.0, 1.0, true);
    EXPECT_TRUE(full.limitedByPeak);
    EXPECT_EQ(full.adjustment, 0.0);
}

TEST(AdjustmentPlan, PreviewCountsChangesAndDifferences) {
    AdjustmentPreview preview;
    PreviewRow unchanged;
    unchanged.stored = -2.0;
    unchanged.planned = -2.0;
    PreviewRow changed;
    changed.planned = 1.5;
    changed.changes = true;
    PreviewRow failed;
    failed.note = "silent";
    preview.add(unchanged);
    preview.add(changed);
    preview.add(failed);
    EXPECT_EQ(preview.rows().size(), 3u);
    EXPECT_EQ(preview.changeCount(), 1u);
    // A file without a text plays at 0 dB: that is what the difference starts from.
    EXPECT_DOUBLE_EQ(*preview.rows()[1].difference(), 1.5);
    EXPECT_DOUBLE_EQ(*preview.rows()[0].difference(), 0.0);
    EXPECT_FALSE(preview.rows()[2].difference());
}

} // namespace
