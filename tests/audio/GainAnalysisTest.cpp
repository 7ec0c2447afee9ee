#include "audio/GainAnalysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

using namespace sonorix;

namespace {

// A plain per-channel implementation with float buffers, the layout a reader of the algorithm
// would write. kLiteralOrder sums every term left to right (1e-10 + b0·x0 − a1·y1 + b1·x1 …);
// otherwise the grouping of the production filters is used, and the results must be identical
// to the last bit.
template <bool kLiteralOrder>
class ReferenceAnalysis {
public:
    explicit ReferenceAnalysis(int rate) {
        for (int r = 0; r < GainAnalysis::kRates; ++r) {
            if (GainAnalysis::kSampleRates[r] == rate) {
                m_index = r;
            }
        }
        m_blockLength = static_cast<int>(std::ceil(rate * 0.05));
        for (auto& c : m_ch) {
            std::memset(&c, 0, sizeof c);
        }
        std::memset(m_hist, 0, sizeof m_hist);
    }

    void feed(const float* left, const float* right, size_t frames) {
        const float* in[2] = {left, right ? right : left};
        if (frames == 0) {
            return;
        }
        size_t head = std::min<size_t>(frames, 10);
        for (int c = 0; c < 2; ++c) {
            std::memcpy(m_ch[c].pre + 10, in[c], head * sizeof(float));
        }
        size_t pos = 0;
        long remaining = static_cast<long>(frames);
        while (remaining > 0) {
            long n = std::min<long>(remaining, m_blockLength - m_filled);
            const float* cur[2];
            for (int c = 0; c < 2; ++c) {
                cur[c] = pos < 10 ? m_ch[c].pre + 10 + pos : in[c] + pos;
            }
            if (pos < 10) {
                n = std::min<long>(n, 10 - static_cast<long>(pos));
            }
            for (int c = 0; c < 2; ++c) {
                float* y = m_ch[c].yule + 10 + m_filled;
                float* z = m_ch[c].butter + 10 + m_filled;
                yuleFilter(cur[c], y, n);
                butterFilter(y, z, n);
                double& sum = m_sum[c];
                long i = 0;
                for (; i < n % 16; ++i) {
                    sum += static_cast<double>(z[i]) * z[i];
                }
                for (; i < n; i += 16) {
                    double g = static_cast<double>(z[i]) * z[i];
                    for (int k = 1; k < 16; ++k) {
                        g += static_cast<double>(z[i + k]) * z[i + k];
                    }
                    sum += g;
                }
            }
            remaining -= n;
            pos += n;
            m_filled += n;
            if (m_filled == m_blockLength) {
                double v = 1000.0 * std::log10((m_sum[0] + m_sum[1]) / m_blockLength * 0.5 + 1e-37);
                long step = v >= 12000 ? 11999 : (v < 0 ? 0 : static_cast<long>(v));
                ++m_hist[step];
                m_sum[0] = m_sum[1] = 0;
                for (auto& c : m_ch) {
                    std::memmove(c.yule, c.yule + m_blockLength, 10 * sizeof(float));
                    std::memmove(c.butter, c.butter + m_blockLength, 10 * sizeof(float));
                }
                m_filled = 0;
            }
        }
        for (int c = 0; c < 2; ++c) {
            if (frames >= 10) {
                std::memcpy(m_ch[c].pre, in[c] + frames - 10, 10 * sizeof(float));
            } else {
                std::memmove(m_ch[c].pre, m_ch[c].pre + frames, 10 * sizeof(float));
            }
        }
    }

    const uint32_t* histogram() const { return m_hist; }
    double pending(int c) const { return m_sum[c]; }

private:
    void yuleFilter(const float* x, float* y, long n) const {
        const float* k = GainAnalysis::kYuleCoefficients[m_index];
        for (long i = 0; i < n; ++i) {
            double out;
            if (kLiteralOrder) {
                out = 1e-10 + static_cast<double>(x[i]) * k[0];
                for (int j = 1; j <= 10; ++j) {
                    out = out - static_cast<double>(y[i - j]) * k[2 * j - 1];
                    out = out + static_cast<double>(x[i - j]) * k[2 * j];
                }
            } else {
                out = 1e-10 + static_cast<double>(x[i]) * k[0];
                for (int j = 1; j <= 10; ++j) {
                    out += static_cast<double>(x[i - j]) * k[2 * j];
                }
                for (int j = 10; j >= 1; --j) {
                    out -= static_cast<double>(y[i - j]) * k[2 * j - 1];
                }
            }
            y[i] = static_cast<float>(out);
        }
    }

    void butterFilter(const float* y, float* z, long n) const {
        const float* k = GainAnalysis::kButterCoefficients[m_index];
        for (long i = 0; i < n; ++i) {
            double out;
            if (kLiteralOrder) {
                out = static_cast<double>(y[i]) * k[0] - static_cast<double>(z[i - 1]) * k[1] +
                      static_cast<double>(y[i - 1]) * k[2] - static_cast<double>(z[i - 2]) * k[3] +
                      static_cast<double>(y[i - 2]) * k[4];
            } else {
                out = static_cast<double>(y[i]) * k[0] + static_cast<double>(y[i - 1]) * k[2];
                out += static_cast<double>(y[i - 2]) * k[4];
                out -= static_cast<double>(z[i - 2]) * k[3];
                out -= static_cast<double>(z[i - 1]) * k[1];
            }
            z[i] = static_cast<float>(out);
        }
    }

    struct Channel {
        float pre[20];
        float yule[4811];
        float butter[4811];
    };
    Channel m_ch[2];
    int m_index = 0;
    long m_blockLength = 0;
    long m_filled = 0;
    double m_sum[2] = {0, 0};
    uint32_t m_hist[12000];
};

float gainFromHistogram(const uint32_t* hist) {
    uint64_t n = 0;
    for (int i = 0; i < 12000; ++i) {
        n += hist[i];
    }
    double threshold = std::ceil(n * (1.0 - 0.95));
    int s = 11999;
    for (; s > 0; --s) {
        threshold -= hist[s];
        if (threshold <= 0) {
            break;
        }
    }
    return static_cast<float>(static_cast<double>(64.82f) - s / 100.0);
}

// Stereo test material on the 16-bit scale: noise whose level changes every few blocks, plus a
// tone, different in each channel.
struct Signal {
    std::vector<float> left, right;
};

Signal dynamicNoise(size_t frames, int rate, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    Signal s;
    s.left.resize(frames);
    s.right.resize(frames);
    float level = 3000;
    for (size_t i = 0; i < frames; ++i) {
        if (i % 5000 == 0) {
            level = std::uniform_real_distribution<float>(10.0f, 12000.0f)(rng);
        }
        float tone = 4000.0f * std::sin(2.0f * 3.14159265f * 440.0f * i / rate);
        s.left[i] = level * noise(rng) + tone;
        s.right[i] = 0.5f * level * noise(rng) - tone;
    }
    return s;
}

std::unique_ptr<GainAnalysis> feedInCalls(const Signal& s, int rate, size_t callSize) {
    auto g = std::make_unique<GainAnalysis>(rate);
    for (size_t pos = 0; pos < s.left.size(); pos += callSize) {
        size_t n = std::min(callSize, s.left.size() - pos);
        g->analyzeSamples(s.left.data() + pos, s.right.data() + pos, n);
    }
    return g;
}

} // namespace

TEST(GainAnalysis, RatesTablesAndUnsupportedRates) {
    const int32_t rates[] = {96000, 88200, 64000, 48000, 44100, 32000,
                             24000, 22050, 16000, 12000, 11025, 8000};
    const int32_t blocks[] = {4800, 4410, 3200, 2400, 2205, 1600, 1200, 1103, 800, 600, 552, 400};
    for (int i = 0; i < 12; ++i) {
        GainAnalysis g(rates[i]);
        EXPECT_EQ(g.rateIndex(), i);
        EXPECT_EQ(g.blockLength(), blocks[i]) << rates[i];
    }
    for (int bad : {44000, 0, -44100, 192000, 44101}) {
        EXPECT_THROW(GainAnalysis{bad}, GainAnalysis::UnsupportedFrequencyException) << bad;
    }
    // The 44100 Hz row, as printed to single precision.
    const float b[] = {0.0541865639f,   -0.0291100778f, -0.00848709419f, -0.0085116569f,
                       -0.00834990945f, 0.0224529319f,  -0.0259633847f,  0.016248649f,
                       -0.0024087904f,  0.00674613705f, -0.00187763781f};
    const float a[] = {-3.4784596f, 6.36317778f,  -8.54751492f, 9.47693634f,   -8.81498718f,
                       6.85401535f, -4.39471006f, 2.19611692f,  -0.751043022f, 0.131493181f};
    const float* yule = GainAnalysis::kYuleCoefficients[4];
    for (int k = 0; k <= 10; ++k) {
        EXPECT_EQ(yule[2 * k], b[k]) << "b" << k;
    }
    for (int k = 1; k <= 10; ++k) {
        EXPECT_EQ(yule[2 * k - 1], a[k - 1]) << "a" << k;
    }
    const float* butter = GainAnalysis::kButterCoefficients[4];
    EXPECT_EQ(butter[0], 0.985001743f);
    EXPECT_EQ(butter[1], -1.96977854f);
    EXPECT_EQ(butter[2], -1.97000349f);
    EXPECT_EQ(butter[3], 0.970228493f);
    EXPECT_EQ(butter[4], 0.985001743f);
}

TEST(GainAnalysis, FiltersMatchPlainReferenceBitForBit) {
    std::mt19937 rng(7);
    using F = GainAnalysis::Filters;
    for (F filters : {F::Baseline, F::Avx, F::AvxFma}) {
        if (!GainAnalysis::supports(filters)) {
            continue;
        }
        GainAnalysis::useFilters(filters);
        for (int rate : {44100, 48000, 96000, 8000, 22050}) {
            Signal s = dynamicNoise(static_cast<size_t>(rate) * 3 + 777, rate, rate);
            GainAnalysis g(rate);
            auto ref = std::make_unique<ReferenceAnalysis<false>>(rate);
            size_t pos = 0;
            while (pos < s.left.size()) {
                size_t n = std::min<size_t>(std::uniform_int_distribution<size_t>(0, 5000)(rng),
                                            s.left.size() - pos);
                g.analyzeSamples(s.left.data() + pos, s.right.data() + pos, n);
                ref->feed(s.left.data() + pos, s.right.data() + pos, n);
                pos += n;
            }
            ASSERT_EQ(0, std::memcmp(g.histogram(), ref->histogram(), 12000 * sizeof(uint32_t)))
                << rate;
            EXPECT_EQ(g.pendingSquareSum(0), ref->pending(0)) << rate;
            EXPECT_EQ(g.pendingSquareSum(1), ref->pending(1)) << rate;
            EXPECT_EQ(g.titleGain(), gainFromHistogram(ref->histogram()));
        }
    }
    GainAnalysis::useFilters(GainAnalysis::Filters::Best);
}

// The wide builds use fused multiply-add where the separate operations give the same bits; the
// extremes of the float range (overflow to infinity, subnormals, signed zeros) must agree too.
TEST(GainAnalysis, BuildsAgreeOnExtremeValues) {
    using F = GainAnalysis::Filters;
    const size_t frames = 44100 * 2 + 321;
    std::vector<float> left(frames), right(frames);
    std::mt19937 rng(3);
    std::normal_distribution<float> noise(0, 1000);
    for (size_t i = 0; i < frames; ++i) {
        const size_t part = i / 11025;
        left[i] = part == 1 ? std::ldexp(noise(rng), -140) : part == 3 ? -0.0f : noise(rng);
        right[i] = part == 5 ? std::ldexp(1.0f, -149) * static_cast<float>(i % 5) : noise(rng);
    }
    // Near the end: from an overflow on, every output is NaN.
    left[frames - 900] = 3e38f;
    right[frames - 500] = -3e38f;
    auto run = [&](F filters) {
        GainAnalysis::useFilters(filters);
        auto g = std::make_unique<GainAnalysis>(44100);
        for (size_t pos = 0, call = 0; pos < frames; ++call) {
            const size_t n = std::min<size_t>(frames - pos, call % 3 == 0 ? 7 : 4097);
            g->analyzeSamples(left.data() + pos, right.data() + pos, n);
            pos += n;
        }
        return g;
    };
    auto base = run(F::Baseline);
    for (F filters : {F::Avx, F::AvxFma}) {
        if (!GainAnalysis::supports(filters)) {
            continue;
        }
        auto g = run(filters);
        EXPECT_EQ(0, std::memcmp(g->histogram(), base->histogram(), 12000 * sizeof(uint32_t)));
        for (int c = 0; c < 2; ++c) {
            double a = g->pendingSquareSum(c), b = base->pendingSquareSum(c);
            EXPECT_EQ(0, std::memcmp(&a, &b, sizeof a)) << static_cast<int>(filters);
        }
    }
    GainAnalysis::useFilters(F::Best);
}

TEST(GainAnalysis, GroupingOfSumsMovesTheResultByAtMostOneStep) {
    for (unsigned seed : {1u, 2u, 3u}) {
        Signal s = dynamicNoise(44100 * 5, 44100, seed);
        auto literal = std::make_unique<ReferenceAnalysis<true>>(44100);
        literal->feed(s.left.data(), s.right.data(), s.left.size());
        GainAnalysis g(44100);
        g.analyzeSamples(s.left.data(), s.right.data(), s.left.size());
        EXPECT_NEAR(g.titleGain(), gainFromHistogram(literal->histogram()), 0.0101);
    }
}

TEST(GainAnalysis, CallSizesDoNotChangeBlocksOrResult) {
    Signal s = dynamicNoise(44100 * 2 + 1234, 44100, 11);
    auto whole = feedInCalls(s, 44100, s.left.size());
    const int32_t pending = whole->framesInBlock();
    EXPECT_EQ(pending, static_cast<int32_t>(s.left.size() % 2205));
    float expected = whole->titleGain();
    for (size_t size : {1, 9, 10, 11, 2205, 65536}) {
        auto g = feedInCalls(s, 44100, size);
        EXPECT_EQ(g->framesInBlock(), pending);
        EXPECT_NEAR(g->titleGain(), expected, 0.0101) << size;
    }
    // frameCount 0 changes nothing.
    auto g = feedInCalls(s, 44100, 4096);
    g->analyzeSamples(nullptr, nullptr, 0);
    EXPECT_NEAR(g->titleGain(), expected, 0.0101);
}

TEST(GainAnalysis, SilenceBlockCountsAndThreshold) {
    std::vector<float> silence(44100, 0.0f);
    {
        GainAnalysis g(44100);
        g.analyzeSamples(silence.data(), silence.data(), 2204);
        EXPECT_THROW(g.titleGain(), GainAnalysis::NotEnoughSamplesException);
        // The failed call left the pending frames alone: one more frame completes a block.
        g.analyzeSamples(silence.data(), nullptr, 1);
        EXPECT_EQ(g.titleGain(), 64.8199997f);
        // After a result the object starts a new title.
        EXPECT_THROW(g.titleGain(), GainAnalysis::NotEnoughSamplesException);
    }
    {
        GainAnalysis g(44100);
        EXPECT_THROW(g.titleGain(), GainAnalysis::NotEnoughSamplesException);
        g.analyzeSamples(silence.data(), silence.data(), silence.size());
        EXPECT_EQ(g.histogram()[0], 20u);
        EXPECT_EQ(g.titleGain(), 64.8199997f);
    }
}

TEST(GainAnalysis, LoudestFivePercentAreSkippedWithThresholdFloorPlusOne) {
    // n quiet blocks followed by one very loud block. With 20 blocks the threshold is 2, so the
    // loud block is skipped; with 19 it is 1 and the loud block decides.
    auto run = [](int quietBlocks) {
        GainAnalysis g(44100);
        std::vector<float> quiet(2205), loud(2205);
        for (int i = 0; i < 2205; ++i) {
            quiet[i] = 100.0f * std::sin(2 * 3.14159265f * 1000 * i / 44100.0f);
            loud[i] = 30000.0f * std::sin(2 * 3.14159265f * 1000 * i / 44100.0f);
        }
        for (int b = 0; b < quietBlocks; ++b) {
            g.analyzeSamples(quiet.data(), nullptr, quiet.size());
        }
        g.analyzeSamples(loud.data(), nullptr, loud.size());
        return g.titleGain();
    };
    float withTwenty = run(19);
    float withNineteen = run(18);
    EXPECT_GT(withTwenty, 30.0f);    // a quiet level decided
    EXPECT_LT(withNineteen, -10.0f); // the loud block decided
}

TEST(GainAnalysis, ClippedStepsAndNullRightChannel) {
    std::vector<float> huge(2205 * 2, 1e30f);
    GainAnalysis g(44100);
    g.analyzeSamples(huge.data(), huge.data(), huge.size());
    EXPECT_EQ(g.histogram()[11999], 2u);
    EXPECT_FLOAT_EQ(g.titleGain(), -55.17f);

    Signal s = dynamicNoise(44100, 44100, 5);
    GainAnalysis twice(44100), single(44100);
    twice.analyzeSamples(s.left.data(), s.left.data(), s.left.size());
    single.analyzeSamples(s.left.data(), nullptr, s.left.size());
    EXPECT_EQ(0, std::memcmp(twice.histogram(), single.histogram(), 12000 * sizeof(uint32_t)));
    EXPECT_EQ(twice.titleGain(), single.titleGain());
}

// Block levels sweeping across the top edge in quarter steps: some block lands in each of the last
// slot's neighbours, exactly where a clamp that is off by one would count past the histogram.
TEST(GainAnalysis, BlocksAtTheTopEdgeCountInTheLastStep) {
    const int block = 2205;
    const double phaseStep = 2.0 * M_PI * 1000.0 / 44100.0; // 50 whole periods per block
    auto sine = [&](const std::vector<double>& amplitudes) {
        std::vector<float> samples(amplitudes.size() * block);
        for (size_t i = 0; i < samples.size(); ++i) {
            samples[i] = static_cast<float>(amplitudes[i / block] * std::sin(phaseStep * i));
        }
        return samples;
    };
    auto topStep = [](const GainAnalysis& g) {
        int step = GainAnalysis::kSteps - 1;
        while (step > 0 && g.histogram()[step] == 0) {
            --step;
        }
        return step;
    };
    // The filters' gain at 1 kHz, measured: the step of a steady sine of known amplitude.
    const double reference = 1e4;
    std::vector<float> calibration = sine(std::vector<double>(10, reference));
    GainAnalysis probe(44100);
    probe.analyzeSamples(calibration.data(), nullptr, calibration.size());
    const int referenceStep = topStep(probe);
    ASSERT_GT(referenceStep, 6000);

    // From 1 dB below the edge to 1 dB above, a quarter step per block.
    const int blocks = 800;
    std::vector<double> amplitudes(blocks);
    for (int b = 0; b < blocks; ++b) {
        double step = GainAnalysis::kSteps - 100 + b * 0.25;
        amplitudes[b] = reference * std::pow(10.0, (step - referenceStep) / 2000.0);
    }
    std::vector<float> sweep = sine(amplitudes);
    GainAnalysis g(44100);
    g.analyzeSamples(sweep.data(), nullptr, sweep.size());
    uint64_t counted = 0;
    for (int step = 0; step < GainAnalysis::kSteps; ++step) {
        counted += g.histogram()[step];
    }
    EXPECT_EQ(counted, static_cast<uint64_t>(blocks)); // none lost past the end
    EXPECT_GT(g.histogram()[GainAnalysis::kSteps - 1], 380u);
    EXPECT_GT(g.histogram()[GainAnalysis::kSteps - 2], 0u);
    EXPECT_FLOAT_EQ(g.titleGain(), -55.17f); // the loudest 5 % all sit in the last step
}

TEST(GainAnalysis, TitleGainResetsFiltersForTheNextTitle) {
    Signal s = dynamicNoise(44100, 44100, 9);
    GainAnalysis g(44100);
    g.analyzeSamples(s.left.data(), s.right.data(), 30000);
    float first = g.titleGain();
    g.analyzeSamples(s.left.data(), s.right.data(), 30000);
    EXPECT_EQ(g.titleGain(), first);
}

TEST(ScaleAndPeak, ScalesInPlaceAndTracksLargestMagnitude) {
    std::vector<float> left{0.5f, -0.25f, 0.0f}, right{0.1f, -0.75f, 0.2f};
    float peak = 0;
    scaleAndPeak(left.data(), right.data(), 3, peak);
    EXPECT_EQ(left[0], 16384.0f);
    EXPECT_EQ(right[1], -24576.0f);
    EXPECT_EQ(peak, 24576.0f);
    std::vector<float> more(37, 0.01f);
    more[36] = -1.5f;
    scaleAndPeak(more.data(), nullptr, more.size(), peak);
    EXPECT_EQ(peak, 49152.0f);
    EXPECT_EQ(more[0], 0.01f * 32768.0f);
}
