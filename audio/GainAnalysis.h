#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>

namespace sonorix {

// ReplayGain loudness of one title: equal-loudness and high-pass filters, mean square of 50 ms
// blocks, the 95th-percentile block against the 64.82 dB pink-noise reference.
// Samples are on the 16-bit scale (full scale +-32768). One object per title and thread; all
// state is inline, so feeding never allocates.
class GainAnalysis {
public:
    class GainAnalysisException : public std::exception {
    public:
        const char* what() const noexcept override { return "GainAnalysisException"; }
    };
    class NotEnoughSamplesException : public GainAnalysisException {
    public:
        const char* what() const noexcept override { return "NotEnoughSamplesException"; }
    };
    class UnsupportedFrequencyException : public GainAnalysisException {
    public:
        const char* what() const noexcept override { return "UnsupportedFrequencyException"; }
    };

    static constexpr int kRates = 12;
    static constexpr int kYuleOrder = 10;
    static constexpr int kHistorySize = 10;
    static constexpr int kMaxBlock = 4800;
    static constexpr int kSteps = 12000;
    // Rows in rate order 96000 … 8000. Yule rows interleave b0, a1, b1, … a10, b10; high-pass
    // rows b0, a1, b1, a2, b2. Published single-precision values, not a filter design.
    static const int32_t kSampleRates[kRates];
    static const float kYuleCoefficients[kRates][21];
    static const float kButterCoefficients[kRates][5];

    explicit GainAnalysis(int32_t sampleRate);

    // right may be null: the left samples then serve as both channels.
    void analyzeSamples(const float* left, const float* right, size_t frameCount);

    // Gain in dB of the complete blocks fed since construction or the last successful call;
    // resets the object for the next title.
    float titleGain();

    int32_t blockLength() const { return m_blockLength; }
    int32_t rateIndex() const { return m_rateIndex; }
    const uint32_t* histogram() const { return m_histogram; }
    // Square sums of the pending (incomplete) block, per channel.
    double pendingSquareSum(int channel) const { return channel == 0 ? m_leftSum : m_rightSum; }
    int32_t framesInBlock() const { return m_framesInBlock; }

    // The builds of the filters: baseline, 256-bit (AVX), 256-bit with fused multiply-add.
    // Results are identical with each; Best picks the fastest the processor supports and is
    // the default. Lets tests and benchmarks compare them.
    enum class Filters { Baseline, Avx, AvxFma, Best };
    static bool supports(Filters filters);
    static void useFilters(Filters filters);

private:
    struct alignas(16) Pair {
        double v[2]; // left, right
    };

    void filterSegment(int32_t count);
    void completeBlock();

    // Input history (10 samples) followed by the current segment, both channels as doubles,
    // and room for the filters to read a few frames past the segment.
    Pair m_input[kHistorySize + kMaxBlock + 8];
    // Equal-loudness and high-pass outputs: 10 outputs of the previous block, then this block.
    // Every value is a float widened to double, the precision the filters store. The filters
    // may write two frames of scratch past a segment's equal-loudness outputs.
    Pair m_yule[kHistorySize + kMaxBlock + 2];
    Pair m_butter[kHistorySize + kMaxBlock + 1];
    int32_t m_blockLength = 0;
    int32_t m_framesInBlock = 0;
    double m_leftSum = 0;
    double m_rightSum = 0;
    int32_t m_rateIndex = 0;
    uint32_t m_histogram[kSteps];
};

// Multiplies both channels by 32768 in place (decoder scale to the 16-bit scale the analysis
// expects) and raises peak to the largest absolute scaled sample. right may be null.
void scaleAndPeak(float* left, float* right, size_t frameCount, float& peak);

} // namespace sonorix
