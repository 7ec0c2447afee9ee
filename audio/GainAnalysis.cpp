#include "audio/GainAnalysis.h"

#include "audio/GainAnalysisKernel.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sonorix {

namespace {
std::atomic<GainAnalysis::Filters> g_filters{GainAnalysis::Filters::Best};
} // namespace

const int32_t GainAnalysis::kSampleRates[kRates] = {96000, 88200, 64000, 48000, 44100, 32000,
                                                    24000, 22050, 16000, 12000, 11025, 8000};

// clang-format off
const float GainAnalysis::kYuleCoefficients[kRates][21] = {
    {0.006471345933032f, -7.22103125152679f, -0.02567678242161f, 24.7034187975904f, 0.049805860704367f, -52.6825833623896f, -0.05823001743528f, 77.4825736677539f, 0.040611847441914f, -82.0074753444205f, -0.010912036887501f, 63.1566097101925f, -0.00901635868667f, -34.889569769245f, 0.012448886238123f, 13.2126852760198f, -0.007206683749426f, -3.09445623301669f, 0.002167156433951f, 0.340344741393305f, -0.000261819276949f},
    {0.015415414474287f, -7.19001570087017f, -0.07691359399407f, 24.4109412087159f, 0.196677418516518f, -51.6306373580801f, -0.338855114128061f, 75.3978476863163f, 0.430094579594561f, -79.4164552507386f, -0.415015413747894f, 61.0373661948115f, 0.304942508151101f, -33.7446462547014f, -0.166191795926663f, 12.8168791146274f, 0.063198189938739f, -3.01332198541437f, -0.015003978694525f, 0.223619893831468f, 0.001748085184539f},
    {0.021776466467053f, -5.74819833657784f, -0.062376961003801f, 16.246507961894f, 0.107731165328514f, -29.9691822642542f, -0.150994515142316f, 40.027597579378f, 0.170334807313632f, -40.3209196052655f, -0.157984942890531f, 30.8542077487718f, 0.121639833268721f, -17.5965138737281f, -0.074094040816409f, 7.10690214103873f, 0.031282852041061f, -1.82175564515191f, -0.00755421235941f, 0.223619893831468f, 0.00117925454213f},
    {0.03857599435200f, -3.84664617118067f, -0.02160367184185f, 7.81501653005538f, -0.00123395316851f, -11.34170355132042f, -0.00009291677959f, 13.05504219327545f, -0.01655260341619f, -12.28759895145294f, 0.02161526843274f, 9.48293806319790f, -0.02074045215285f, -5.87257861775999f, 0.00594298065125f, 2.75465861874613f, 0.00306428023191f, -0.86984376593551f, 0.00012025322027f, 0.13919314567432f, 0.00288463683916f},
    {0.05418656406430f, -3.47845948550071f, -0.02911007808948f, 6.36317777566148f, -0.00848709379851f, -8.54751527471874f, -0.00851165645469f, 9.47693607801280f, -0.00834990904936f, -8.81498681370155f, 0.02245293253339f, 6.85401540936998f, -0.02596338512915f, -4.39470996079559f, 0.01624864962975f, 2.19611684890774f, -0.00240879051584f, -0.75104302451432f, 0.00674613682247f, 0.13149317958808f, -0.00187763777362f},
    {0.15457299681924f, -2.37898834973084f, -0.09331049056315f, 2.84868151156327f, -0.06247880153653f, -2.64577170229825f, 0.02163541888798f, 2.23697657451713f, -0.05588393329856f, -1.67148153367602f, 0.04781476674921f, 1.00595954808547f, 0.00222312597743f, -0.45953458054983f, 0.03174092540049f, 0.16378164858596f, -0.01390589421898f, -0.05032077717131f, 0.00651420667831f, 0.02347897407020f, -0.00881362733839f},
    {0.30296907319327f, -1.61273165137247f, -0.22613988682123f, 1.07977492259970f, -0.08587323730772f, -0.25656257754070f, 0.03282930172664f, -0.16276719120440f, -0.00915702933434f, -0.22638893773906f, -0.02364141202522f, 0.39120800788284f, -0.00584456039913f, -0.22138138954925f, 0.06276101321749f, 0.04500235387352f, -0.00000828086748f, 0.02005851806501f, 0.00205861885564f, 0.00302439095741f, -0.02950134983287f},
    {0.33642304856132f, -1.49858979367799f, -0.25572241425570f, 0.87350271418188f, -0.11828570177555f, 0.12205022308084f, 0.11921148675203f, -0.80774944671438f, -0.07834489609479f, 0.47854794562326f, -0.00469977914380f, -0.12453458140019f, -0.00589500224440f, -0.04067510197014f, 0.05724228140351f, 0.08333755284107f, 0.00832043980773f, -0.04237348025746f, -0.01635381384540f, 0.02977207319925f, -0.01760176568150f},
    {0.44915256608450f, -0.62820619233671f, -0.14351757464547f, 0.29661783706366f, -0.22784394429749f, -0.37256372942400f, -0.01419140100551f, 0.00213767857124f, 0.04078262797139f, -0.42029820170918f, -0.12398163381748f, 0.22199650564824f, 0.04097565135648f, 0.00613424350682f, 0.10478503600251f, 0.06747620744683f, -0.01863887810927f, 0.05784820375801f, -0.03193428438915f, 0.03222754072173f, 0.00541907748707f},
    {0.56619470757641f, -1.04800335126349f, -0.75464456939302f, 0.29156311971249f, 0.16242137742230f, -0.26806001042947f, 0.16744243493672f, 0.00819999645858f, -0.18901604199609f, 0.45054734505008f, 0.30931782841830f, -0.33032403314006f, -0.27562961986224f, 0.06739368333110f, 0.00647310677246f, -0.04784254229033f, 0.08647503780351f, 0.01639907836189f, -0.03788984554840f, 0.01807364323573f, -0.00588215443421f},
    {0.58100494960553f, -0.51035327095184f, -0.53174909058578f, -0.31863563325245f, -0.14289799034253f, -0.20256413484477f, 0.17520704835522f, 0.14728154134330f, 0.02377945217615f, 0.38952639978999f, 0.15558449135573f, -0.23313271880868f, -0.25344790059353f, -0.05246019024463f, 0.01628462406333f, -0.02505961724053f, 0.06920467763959f, 0.02442357316099f, -0.03721611395801f, 0.01818801111503f, -0.00749618797172f},
    {0.53648789255105f, -0.25049871956020f, -0.42163034350696f, -0.43193942311114f, -0.00275953611929f, -0.03424681017675f, 0.04267842219415f, -0.04678328784242f, -0.10214864179676f, 0.26408300200955f, 0.14590772289388f, 0.15113130533216f, -0.02459864859345f, -0.17556493366449f, -0.11202315195388f, -0.18823009262115f, -0.04060034127000f, 0.05477720428674f, 0.04788665548180f, 0.04704409688120f, -0.02217936801134f},
};

const float GainAnalysis::kButterCoefficients[kRates][5] = {
    {0.99308203517541f, -1.98611621154089f, -1.98616407035082f, 0.986211929160751f, 0.99308203517541f},
    {0.992472550461293f, -1.98488843762334f, -1.98494510092258f, 0.979389350028798f, 0.992472550461293f},
    {0.989641019334721f, -1.97917472731008f, -1.97928203866944f, 0.979389350028798f, 0.989641019334721f},
    {0.98621192462708f, -1.97223372919527f, -1.97242384925416f, 0.97261396931306f, 0.98621192462708f},
    {0.98500175787242f, -1.96977855582618f, -1.97000351574484f, 0.97022847566350f, 0.98500175787242f},
    {0.97938932735214f, -1.95835380975398f, -1.95877865470428f, 0.95920349965459f, 0.97938932735214f},
    {0.97531843204928f, -1.95002759149878f, -1.95063686409857f, 0.95124613669835f, 0.97531843204928f},
    {0.97316523498161f, -1.94561023566527f, -1.94633046996323f, 0.94705070426118f, 0.97316523498161f},
    {0.96454515552826f, -1.92783286977036f, -1.92909031105652f, 0.93034775234268f, 0.96454515552826f},
    {0.96009142950541f, -1.91858953033784f, -1.92018285901082f, 0.92177618768381f, 0.96009142950541f},
    {0.95856916599601f, -1.91542108074780f, -1.91713833199203f, 0.91885558323625f, 0.95856916599601f},
    {0.94597685600279f, -1.88903307939452f, -1.89195371200558f, 0.89487434461664f, 0.94597685600279f},
};
// clang-format on

namespace {

constexpr double kPinkReference = static_cast<double>(64.82f);
constexpr int kH = GainAnalysis::kHistorySize;

} // namespace

namespace {

// Left and right floats into (left, right) double pairs.
void widenInterleaved(const float* left, const float* right, size_t n, void* out) {
    double* o = static_cast<double*>(out);
    size_t i = 0;
#if defined(__SSE2__)
    for (; i + 4 <= n; i += 4) {
        __m128 l = _mm_loadu_ps(left + i), r = _mm_loadu_ps(right + i);
        __m128 lo = _mm_unpacklo_ps(l, r), hi = _mm_unpackhi_ps(l, r);
        _mm_store_pd(o + 2 * i, _mm_cvtps_pd(lo));
        _mm_store_pd(o + 2 * i + 2, _mm_cvtps_pd(_mm_movehl_ps(lo, lo)));
        _mm_store_pd(o + 2 * i + 4, _mm_cvtps_pd(hi));
        _mm_store_pd(o + 2 * i + 6, _mm_cvtps_pd(_mm_movehl_ps(hi, hi)));
    }
#endif
    for (; i < n; ++i) {
        o[2 * i] = left[i];
        o[2 * i + 1] = right[i];
    }
}

} // namespace

GainAnalysis::GainAnalysis(int32_t sampleRate) {
    const int32_t* end = kSampleRates + kRates;
    const int32_t* found = std::find(kSampleRates, end, sampleRate);
    if (found == end) {
        throw UnsupportedFrequencyException();
    }
    m_rateIndex = static_cast<int32_t>(found - kSampleRates);
    m_blockLength = static_cast<int32_t>(std::ceil(sampleRate * 0.05));
    static_assert(sizeof m_input / sizeof(Pair) >= kH + kMaxBlock + kLookahead);
    static_assert(sizeof m_yule / sizeof(Pair) >= kH + kMaxBlock + kSpill);
    // All of it: the filters read a few frames past each segment (results they discard).
    std::memset(m_input, 0, sizeof m_input);
    std::memset(m_yule, 0, sizeof(Pair) * kH);
    std::memset(m_butter, 0, sizeof(Pair) * kH);
    std::memset(m_histogram, 0, sizeof m_histogram);
}

void GainAnalysis::analyzeSamples(const float* left, const float* right, size_t frameCount) {
    if (frameCount == 0) {
        return;
    }
    if (!right) {
        right = left;
    }
    size_t position = 0;
    size_t remaining = frameCount;
    while (remaining > 0) {
        size_t n = std::min(remaining, static_cast<size_t>(m_blockLength - m_framesInBlock));
        // The first segment of a call is at most 10 frames long: the square sums are grouped
        // per segment, and this keeps their grouping the same however a title is cut into calls.
        if (position < static_cast<size_t>(kH)) {
            n = std::min(n, kH - position);
        }
        // Widen the segment's input behind the 10 samples of history.
        widenInterleaved(left + position, right + position, n, m_input + kH);
        filterSegment(static_cast<int32_t>(n));
        std::memmove(m_input, m_input + n, sizeof(Pair) * kH);
        remaining -= n;
        position += n;
        m_framesInBlock += static_cast<int32_t>(n);
        if (m_framesInBlock == m_blockLength) {
            completeBlock();
        }
    }
}

void GainAnalysis::filterSegment(int32_t count) {
    const FilterArgs args{kYuleCoefficients[m_rateIndex],
                          kButterCoefficients[m_rateIndex],
                          m_input[kH].v,
                          m_yule[kH + m_framesInBlock].v,
                          m_butter[kH + m_framesInBlock].v,
                          count,
                          &m_leftSum,
                          &m_rightSum};
    switch (g_filters.load(std::memory_order_relaxed)) {
    case Filters::Best:
        if (supports(Filters::AvxFma)) {
            filterSegmentFma(args);
        } else if (supports(Filters::Avx)) {
            filterSegmentAvx(args);
        } else {
            gain_kernel::filter(args);
        }
        break;
    case Filters::AvxFma:
        filterSegmentFma(args);
        break;
    case Filters::Avx:
        filterSegmentAvx(args);
        break;
    case Filters::Baseline:
        gain_kernel::filter(args);
        break;
    }
}

bool GainAnalysis::supports(Filters filters) {
#if defined(__x86_64__) || defined(__i386__)
    static const bool avx = __builtin_cpu_supports("avx");
    static const bool fma = avx && __builtin_cpu_supports("fma");
#else
    const bool avx = false, fma = false;
#endif
    switch (filters) {
    case Filters::Avx:
        return avx;
    case Filters::AvxFma:
        return fma;
    case Filters::Baseline:
    case Filters::Best:
        return true;
    }
    return false;
}

void GainAnalysis::useFilters(Filters filters) {
    g_filters = supports(filters) ? filters : Filters::Best;
}

void GainAnalysis::completeBlock() {
    double v = 1000.0 * std::log10((m_leftSum + m_rightSum) / m_blockLength * 0.5 + 1e-37);
    // Compare in double: a huge value must not overflow the conversion.
    int32_t step = 0;
    if (v >= kSteps) {
        step = kSteps - 1;
    } else if (v > 0) {
        step = static_cast<int32_t>(v);
    }
    ++m_histogram[step];
    m_leftSum = 0;
    m_rightSum = 0;
    std::memmove(m_yule, m_yule + m_blockLength, sizeof(Pair) * kH);
    std::memmove(m_butter, m_butter + m_blockLength, sizeof(Pair) * kH);
    m_framesInBlock = 0;
}

float GainAnalysis::titleGain() {
    uint64_t blocks = 0;
    for (uint32_t count : m_histogram) {
        blocks += count;
    }
    if (blocks == 0) {
        throw NotEnoughSamplesException();
    }
    double threshold = std::ceil(static_cast<double>(blocks) * (1.0 - 0.95));
    int32_t s = kSteps - 1;
    for (; s > 0; --s) {
        threshold -= m_histogram[s];
        if (threshold <= 0) {
            break;
        }
    }
    float gain = static_cast<float>(kPinkReference - s / 100.0);
    std::memset(m_histogram, 0, sizeof m_histogram);
    std::memset(m_input, 0, sizeof(Pair) * kH);
    std::memset(m_yule, 0, sizeof(Pair) * kH);
    std::memset(m_butter, 0, sizeof(Pair) * kH);
    m_framesInBlock = 0;
    m_leftSum = 0;
    m_rightSum = 0;
    return gain;
}

void scaleAndPeak(float* left, float* right, size_t frameCount, float& peak) {
    // One pass: scale in place and keep the largest magnitude.
    float p = peak;
    for (float* channel : {left, right}) {
        if (!channel) {
            continue;
        }
        size_t i = 0;
#if defined(__SSE2__)
        const __m128 scale = _mm_set1_ps(32768.0f);
        const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
        __m128 m0 = _mm_set1_ps(p), m1 = m0;
        for (; i + 8 <= frameCount; i += 8) {
            __m128 a = _mm_mul_ps(_mm_loadu_ps(channel + i), scale);
            __m128 b = _mm_mul_ps(_mm_loadu_ps(channel + i + 4), scale);
            _mm_storeu_ps(channel + i, a);
            _mm_storeu_ps(channel + i + 4, b);
            m0 = _mm_max_ps(m0, _mm_and_ps(a, magnitude));
            m1 = _mm_max_ps(m1, _mm_and_ps(b, magnitude));
        }
        alignas(16) float lanes[4];
        _mm_store_ps(lanes, _mm_max_ps(m0, m1));
        p = std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
#endif
        for (; i < frameCount; ++i) {
            float v = channel[i] * 32768.0f;
            channel[i] = v;
            p = std::max(p, std::fabs(v));
        }
    }
    peak = p;
}

} // namespace sonorix
