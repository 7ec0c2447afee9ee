#include "audio/SoundCheck.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace sonorix;
using namespace sonorix::SoundCheck;

namespace {

SoundCheckValues text(uint32_t f01, uint32_t f23, uint32_t f6 = 0, uint32_t f7 = 0) {
    return {f01, f01, f23, f23, 0, 0, f6, f7, 0, 0};
}

constexpr uint32_t kITunes7 = 0x070607;

} // namespace

TEST(SoundCheckValue, EncodesAdjustmentsOnBothBases) {
    struct Case {
        double adjustment;
        int32_t v1000;
        int32_t v2500;
    };
    for (Case c : {Case{0, 1000, 2500}, Case{3, 501, 1253}, Case{-6, 3981, 9953},
                   Case{10, 100, 250}, Case{-2.5, 1778, 4446}}) {
        SCOPED_TRACE(c.adjustment);
        EXPECT_EQ(soundCheckValue(c.adjustment, 1000), c.v1000);
        EXPECT_EQ(soundCheckValue(c.adjustment, 2500), c.v2500);
    }
}

TEST(SoundCheckValue, ClampsToTheRangeOneTo65534) {
    EXPECT_EQ(soundCheckValue(-20, 1000), 65534);
    EXPECT_EQ(soundCheckValue(-20, 2500), 65534);
    EXPECT_EQ(soundCheckValue(35, 1000), 1);
    EXPECT_EQ(soundCheckValue(35, 2500), 1);
    EXPECT_EQ(soundCheckValue(-1e9, 1000), 65534);
    EXPECT_EQ(soundCheckValue(1e9, 1000), 1);
    // An adjustment that is not a number leaves the level alone instead of being undefined.
    EXPECT_EQ(soundCheckValue(std::nan(""), 2500), 2500);
}

TEST(SoundCheckValue, RoundsHalvesAwayFromZero) {
    // 1000 * 10^(-A/10) = 1000.5 exactly at this A.
    double a = -10 * std::log10(1000.5 / 1000);
    EXPECT_EQ(soundCheckValue(a, 1000), 1001);
}

TEST(NeededAdjustment, AddsMasterVolumeAndGroupExtraOverTheReference) {
    EXPECT_DOUBLE_EQ(neededAdjustment(-5.5, 92, 0), -2.5);
    EXPECT_DOUBLE_EQ(neededAdjustment(0, 92, 0), 3);
    EXPECT_DOUBLE_EQ(neededAdjustment(-1, 89, -2), -3);
    double a = neededAdjustment(-5.5, 92, 0);
    EXPECT_EQ(soundCheckValue(a, 1000), 1778);
    EXPECT_EQ(soundCheckValue(a, 2500), 4446);
}

TEST(Silence, ThresholdIsTwoOnTheSixteenBitScale) {
    EXPECT_TRUE(isSilent(1.99));
    EXPECT_FALSE(isSilent(2.0));
    EXPECT_TRUE(isSilent(0));
}

TEST(PlaybackAdjustment, BiggerTwentyFiveHundredPairWinsOnlyBeforeVersion8) {
    auto f = text(1000, 5000);
    EXPECT_NEAR(playbackAdjustment(f, kITunes7), -3.0103, 1e-4);
    EXPECT_NEAR(playbackAdjustment(f, kITunes80), 0, 1e-12);
    EXPECT_NEAR(playbackAdjustment(f, kITunes801), 0, 1e-12);
}

TEST(PlaybackAdjustment, Version80TakesThePairWithTheSmallerAdjustment) {
    auto f = text(2000, 2500);
    EXPECT_NEAR(playbackAdjustment(f, kITunes7), -3.0103, 1e-4);
    EXPECT_NEAR(playbackAdjustment(f, kITunes80), 0, 1e-12);
    EXPECT_NEAR(playbackAdjustment(f, kITunes801), -3.0103, 1e-4);
    EXPECT_EQ(playbackValue(f, kITunes80), 1000);
    EXPECT_EQ(playbackValue(f, kITunes801), 2000);
}

TEST(PlaybackAdjustment, PeakLimitsTheBoostFromVersion8On) {
    auto f = text(250, 625, 16384, 8000);
    EXPECT_NEAR(playbackAdjustment(f, kITunes7), 6.0206, 1e-4);
    EXPECT_NEAR(playbackAdjustment(f, kITunes80), 5.0206, 1e-4);
    EXPECT_NEAR(playbackAdjustment(f, kITunes801), 5.0206, 1e-4);
    auto r = readings(f);
    EXPECT_NEAR(r.currentlyUsed, 6.0206, 1e-4);
    EXPECT_NEAR(r.iTunes80, 5.0206, 1e-4);
    EXPECT_NEAR(r.iTunes801, 5.0206, 1e-4);
}

TEST(PlaybackAdjustment, ComparesFieldsAsSignedNumbers) {
    // 0xFFFFFFFF is -1: the other field of the pair is the larger one.
    SoundCheckValues f = {0xFFFFFFFF, 2000, 2500, 2500, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(playbackValue(f, kITunes801), 2000);
    // A peak field of -1 is no peak at all: no limit.
    SoundCheckValues g = {250, 250, 625, 625, 0, 0, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0};
    EXPECT_NEAR(playbackAdjustment(g, kITunes801), 6.0206, 1e-4);
}

TEST(PlaybackAdjustment, ValuesOutsideTheRangeStayFinite) {
    // Zero fields (damaged or foreign texts) read as the largest boost, not as infinity.
    auto f = text(0, 0);
    for (uint32_t v : {kITunes7, kITunes80, kITunes801}) {
        double a = playbackAdjustment(f, v);
        EXPECT_TRUE(std::isfinite(a));
        EXPECT_NEAR(a, 30, 1e-9);
    }
}

TEST(AdjustmentFromValue, InvertsTheEncodingAndLimitsByPeak) {
    EXPECT_NEAR(adjustmentFromValue(501, 1000, 0), 3.0016, 1e-4);
    EXPECT_NEAR(adjustmentFromValue(1000, 1000, 0), 0, 1e-12);
    EXPECT_NEAR(adjustmentFromValue(100, 1000, 32768), -1, 1e-12);
    // The limit only lowers a boost.
    EXPECT_NEAR(adjustmentFromValue(2000, 1000, 32768), -3.0103, 1e-4);
}

TEST(MaximumUnclippedAdjustment, HasNoHeadroomAndNoCut) {
    EXPECT_NEAR(maximumUnclippedAdjustment(16384), 6.0206, 1e-4);
    EXPECT_DOUBLE_EQ(maximumUnclippedAdjustment(32768), 0);
    EXPECT_DOUBLE_EQ(maximumUnclippedAdjustment(40000), 0);
    EXPECT_TRUE(std::isinf(maximumUnclippedAdjustment(0)));
}

TEST(ValuesForAdjustment, SetsBothPairsZeroesPeaksKeepsStatistics) {
    SoundCheckValues current = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    auto v = valuesForAdjustment(current, 3);
    SoundCheckValues expected = {501, 501, 1253, 1253, 5, 6, 0, 0, 9, 10};
    EXPECT_EQ(v, expected);
    // Written with zero peaks, every version applies the adjustment without a limit.
    v[6] = v[7] = 0;
    EXPECT_NEAR(playbackAdjustment(v, kITunes80), playbackAdjustment(v, kITunes7), 0.01);
}

TEST(AlbumPresentAdjustment, MeanAndUniformity) {
    auto none = albumPresentAdjustment({std::nullopt, std::nullopt}, kITunes801);
    EXPECT_EQ(none.mean, 0);
    EXPECT_FALSE(none.uniform);

    auto same =
        albumPresentAdjustment({text(501, 1253), std::nullopt, text(501, 1253)}, kITunes801);
    EXPECT_NEAR(same.mean, 3.0016, 1e-4);
    EXPECT_TRUE(same.uniform);

    // 1000 and 998 differ by 0.0087 dB (inside the tolerance); 1000 and 995 by 0.022 dB.
    EXPECT_TRUE(albumPresentAdjustment({text(1000, 2500), text(998, 2500)}, kITunes801).uniform);
    auto apart = albumPresentAdjustment({text(1000, 2500), text(995, 2500)}, kITunes801);
    EXPECT_FALSE(apart.uniform);
    EXPECT_NEAR(apart.mean, 0.0109, 1e-4);
}
