#pragma once

// The filters and square sums of GainAnalysis, included by three translation units: one built
// for the baseline instruction set, one with AVX, one with AVX and FMA. Everything here has
// internal linkage, so the builds never stand in for each other.

#include <cstdint>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace sonorix {

struct FilterArgs {
    const float* yule;   // b0, a1, b1, … a10, b10
    const float* butter; // b0, a1, b1, a2, b2
    const double* x;     // input pairs from the segment's first frame; 10 pairs of history before
    double* y;           // equal-loudness output pairs, 10 pairs of history before
    double* z;           // high-pass output pairs, likewise
    int32_t count;
    double* leftSum;
    double* rightSum;
};

// The 256-bit builds, without and with fused multiply-add (see filterPairs). They read x up to
// kLookahead frames past count and may write y up to kSpill frames past count.
void filterSegmentAvx(const FilterArgs& args);
void filterSegmentFma(const FilterArgs& args);
constexpr int kLookahead = 8;
constexpr int kSpill = 2;

namespace gain_kernel {
namespace {

// Both channels travel together: lane 0 left, lane 1 right, the same arithmetic in each lane.
#if defined(__SSE2__)
using Lanes = __m128d;
inline Lanes splat(double v) {
    return _mm_set1_pd(v);
}
inline Lanes pair(double l, double r) {
    return _mm_set_pd(r, l);
}
inline Lanes load(const double* p) {
    return _mm_load_pd(p);
}
inline void store(double* p, Lanes v) {
    _mm_store_pd(p, v);
}
inline Lanes add(Lanes a, Lanes b) {
    return _mm_add_pd(a, b);
}
inline Lanes sub(Lanes a, Lanes b) {
    return _mm_sub_pd(a, b);
}
inline Lanes mul(Lanes a, Lanes b) {
    return _mm_mul_pd(a, b);
}
// Rounds each lane to single precision, the precision the filters store.
inline Lanes toFloat(Lanes v) {
    return _mm_cvtps_pd(_mm_cvtpd_ps(v));
}
inline double lane(Lanes v, int i) {
    return i == 0 ? _mm_cvtsd_f64(v) : _mm_cvtsd_f64(_mm_unpackhi_pd(v, v));
}
#else
struct Lanes {
    double v[2];
};
inline Lanes splat(double v) {
    return {{v, v}};
}
inline Lanes pair(double l, double r) {
    return {{l, r}};
}
inline Lanes load(const double* p) {
    return {{p[0], p[1]}};
}
inline void store(double* p, Lanes v) {
    p[0] = v.v[0];
    p[1] = v.v[1];
}
inline Lanes add(Lanes a, Lanes b) {
    return {{a.v[0] + b.v[0], a.v[1] + b.v[1]}};
}
inline Lanes sub(Lanes a, Lanes b) {
    return {{a.v[0] - b.v[0], a.v[1] - b.v[1]}};
}
inline Lanes mul(Lanes a, Lanes b) {
    return {{a.v[0] * b.v[0], a.v[1] * b.v[1]}};
}
inline Lanes toFloat(Lanes v) {
    return {{static_cast<float>(v.v[0]), static_cast<float>(v.v[1])}};
}
inline double lane(Lanes v, int i) {
    return v.v[i];
}
#endif

constexpr int kOrder = 10;

// Every output is formed in double and stored rounded to float. The feed-forward sum
// (1e-10 + b0·x0 + b1·x1 + … + b10·x10) does not depend on the recursion, so it comes first;
// the feedback terms are then subtracted oldest first, so the newest output is one multiply and
// one subtraction away from the next sample; the two newest outputs of each stage stay in
// registers. The baseline for processors without AVX, and the single frames of filterPairs.
inline __attribute__((always_inline)) void filter(const FilterArgs& args) {
    // Coefficients are read from memory at each use (loads are cheap and off the recursion's
    // path); held in registers they would push the recursion's own values onto the stack.
    double coef[2 * 27 + 2] __attribute__((aligned(16)));
    for (int k = 0; k <= kOrder; ++k) {
        coef[2 * k] = coef[2 * k + 1] = args.yule[2 * k];
        coef[2 * (11 + k)] = coef[2 * (11 + k) + 1] = k == 0 ? 0.0f : args.yule[2 * k - 1];
    }
    for (int k = 0; k < 5; ++k) {
        coef[2 * (22 + k)] = coef[2 * (22 + k) + 1] = args.butter[k];
    }
    const double* volatile coefAddress = coef;
    const double* c = coefAddress;
    auto b = [c](int k) { return load(c + 2 * k); };
    auto a = [c](int k) { return load(c + 2 * (11 + k)); };
    auto hb0 = [c] { return load(c + 44); };
    auto ha1 = [c] { return load(c + 46); };
    auto hb1 = [c] { return load(c + 48); };
    auto ha2 = [c] { return load(c + 50); };
    auto hb2 = [c] { return load(c + 52); };
    const Lanes tiny = splat(1e-10);
    const double* x = args.x;
    double* y = args.y;
    double* z = args.z;
    Lanes y1 = load(y - 2), y2 = load(y - 4), z1 = load(z - 2), z2 = load(z - 4);

    auto feedForward = [&](int32_t i) __attribute__((always_inline)) {
        const double* xi = x + 2 * i;
        Lanes ff = add(tiny, mul(b(0), load(xi)));
#pragma GCC unroll 16
        for (int k = 1; k <= kOrder; ++k) {
            ff = add(ff, mul(b(k), load(xi - 2 * k)));
        }
        return ff;
    };
    auto recurse = [&](int32_t i, Lanes ff) __attribute__((always_inline)) {
        const double* yi = y + 2 * i;
        // Keeps the compiler from hoisting the coefficient loads out of the loop.
        asm volatile("" : : "r"(c) : "memory");
        Lanes v = ff;
#pragma GCC unroll 16
        for (int k = kOrder; k >= 3; --k) {
            v = sub(v, mul(a(k), load(yi - 2 * k)));
        }
        v = sub(v, mul(a(2), y2));
        v = sub(v, mul(a(1), y1));
        const Lanes y0 = toFloat(v);
        store(y + 2 * i, y0);
        Lanes w = add(add(mul(hb0(), y0), mul(hb1(), y1)), mul(hb2(), y2));
        w = sub(w, mul(ha2(), z2));
        w = sub(w, mul(ha1(), z1));
        const Lanes z0 = toFloat(w);
        store(z + 2 * i, z0);
        y2 = y1;
        y1 = y0;
        z2 = z1;
        z1 = z0;
        return mul(z0, z0);
    };

    Lanes sum = pair(*args.leftSum, *args.rightSum);
    int32_t i = 0;
    const int32_t count = args.count;
    // Squares are added one at a time for the leading count mod 16 frames, then per group of
    // 16 summed first.
    for (const int32_t lead = count % 16; i < lead; ++i) {
        sum = add(sum, recurse(i, feedForward(i)));
    }
    for (; i < count; i += 16) {
        Lanes group = recurse(i, feedForward(i));
#pragma GCC unroll 16
        for (int32_t k = 1; k < 16; ++k) {
            group = add(group, recurse(i + k, feedForward(i + k)));
        }
        sum = add(sum, group);
    }
    *args.leftSum = lane(sum, 0);
    *args.rightSum = lane(sum, 1);
}

#if defined(__AVX__)
// c + a·b and c − a·b. Every product here is of two single-precision values (coefficients,
// inputs, stored outputs) and so exact in double: a fused multiply-add rounds once, at the
// same place as the separate addition, and gives the same bits.
template <bool kFma>
inline __m256d madd(__m256d a, __m256d b, __m256d c) {
#if defined(__FMA__)
    if constexpr (kFma) {
        return _mm256_fmadd_pd(a, b, c);
    }
#endif
    return _mm256_add_pd(c, _mm256_mul_pd(a, b));
}
template <bool kFma>
inline __m256d nmadd(__m256d a, __m256d b, __m256d c) {
#if defined(__FMA__)
    if constexpr (kFma) {
        return _mm256_fnmadd_pd(a, b, c);
    }
#endif
    return _mm256_sub_pd(c, _mm256_mul_pd(a, b));
}
template <bool kFma>
inline Lanes madd(Lanes a, Lanes b, Lanes c) {
#if defined(__FMA__)
    if constexpr (kFma) {
        return _mm_fmadd_pd(a, b, c);
    }
#endif
    return add(c, mul(a, b));
}
template <bool kFma>
inline Lanes nmadd(Lanes a, Lanes b, Lanes c) {
#if defined(__FMA__)
    if constexpr (kFma) {
        return _mm_fnmadd_pd(a, b, c);
    }
#endif
    return sub(c, mul(a, b));
}

// Two frames per step, one 256-bit register holding (left, right) of frame n and of frame n+1,
// with the same sums in the same order per output as filter(). What does not wait for the
// newest outputs is formed for both frames at once and ahead, so that the long sums never stall
// the recursions: the feed-forward sum of a pair three and two steps before its turn, its
// feedback terms 4 … 10 one step before; the high-pass stage runs one pair behind. Only the last
// three feedback terms of each equal-loudness output, and the two of the high-pass stage, run
// frame by frame. Reads and writes past count (kLookahead, kSpill).
template <bool kFma>
inline __attribute__((always_inline)) void filterPairs(const FilterArgs& args) {
    struct alignas(32) Coefficients {
        double b[kOrder + 1][4]; // equal-loudness b0 … b10
        double a[kOrder + 1][4]; // equal-loudness a1 … a10 (a[0] unused)
        double hb[3][4];         // high-pass b0, b1, b2
        double ha[3][4];         // high-pass a1, a2 (ha[0] unused)
    } coef;
    for (int k = 0; k <= kOrder; ++k) {
        for (int l = 0; l < 4; ++l) {
            coef.b[k][l] = args.yule[2 * k];
            coef.a[k][l] = k == 0 ? 0.0 : args.yule[2 * k - 1];
        }
    }
    for (int l = 0; l < 4; ++l) {
        coef.hb[0][l] = args.butter[0];
        coef.hb[1][l] = args.butter[2];
        coef.hb[2][l] = args.butter[4];
        coef.ha[0][l] = 0;
        coef.ha[1][l] = args.butter[1];
        coef.ha[2][l] = args.butter[3];
    }
    const Coefficients* c = &coef;
    const double* x = args.x;
    double* y = args.y;
    double* z = args.z;
    const int32_t count = args.count;
    const int32_t lead = count % 16;
    Lanes sum = pair(*args.leftSum, *args.rightSum);
    int32_t i = 0;
    if (lead % 2 == 1) {
        // One frame alone, so that pairs never straddle the end of the leading frames.
        FilterArgs one = args;
        one.count = 1;
        double sums[2] = {lane(sum, 0), lane(sum, 1)};
        one.leftSum = &sums[0];
        one.rightSum = &sums[1];
        filter(one);
        sum = pair(sums[0], sums[1]);
        i = 1;
    }
    if (i == count) {
        *args.leftSum = lane(sum, 0);
        *args.rightSum = lane(sum, 1);
        return;
    }

    auto b = [&c](int k) { return _mm256_load_pd(c->b[k]); };
    auto a = [&c](int k) { return _mm256_load_pd(c->a[k]); };
    // The feed-forward sum of the pair at frame n in two parts, then its feedback terms 10 … 4
    // from the pairs (y[n-10], y[n-9]), (y[n-8], y[n-7]), (y[n-6], y[n-5]), (y[n-4], y[n-3]).
    auto forwardHead = [&](int32_t n) __attribute__((always_inline)) {
        const double* xn = x + 2 * n;
        __m256d p = madd<kFma>(b(0), _mm256_loadu_pd(xn), _mm256_set1_pd(1e-10));
#pragma GCC unroll 8
        for (int k = 1; k <= 5; ++k) {
            p = madd<kFma>(b(k), _mm256_loadu_pd(xn - 2 * k), p);
        }
        return p;
    };
    auto forwardTail = [&](int32_t n, __m256d p) __attribute__((always_inline)) {
        const double* xn = x + 2 * n;
#pragma GCC unroll 8
        for (int k = 6; k <= kOrder; ++k) {
            p = madd<kFma>(b(k), _mm256_loadu_pd(xn - 2 * k), p);
        }
        return p;
    };
    auto feedback = [&](int32_t n, __m256d p, __m256d q5, __m256d q4, __m256d q3, __m256d q2)
        __attribute__((always_inline)) {
        p = nmadd<kFma>(a(10), q5, p);
        p = nmadd<kFma>(a(9), _mm256_loadu_pd(y + 2 * (n - 9)), p);
        p = nmadd<kFma>(a(8), q4, p);
        p = nmadd<kFma>(a(7), _mm256_loadu_pd(y + 2 * (n - 7)), p);
        p = nmadd<kFma>(a(6), q3, p);
        p = nmadd<kFma>(a(5), _mm256_permute2f128_pd(q3, q2, 0x21), p);
        return nmadd<kFma>(a(4), q2, p);
    };

    // (y[n-2k], y[n-2k+1]) for k = 1 … 4 and the three newest outputs alone, n the first frame
    // of the next pair (a pair is only complete once its second frame is).
    __m256d yp1 = _mm256_loadu_pd(y + 2 * (i - 2));
    __m256d yp2 = _mm256_loadu_pd(y + 2 * (i - 4));
    __m256d yp3 = _mm256_loadu_pd(y + 2 * (i - 6));
    __m256d yp4 = _mm256_loadu_pd(y + 2 * (i - 8));
    Lanes y1 = load(y + 2 * (i - 1)), y2 = load(y + 2 * (i - 2)), y3 = load(y + 2 * (i - 3));
    Lanes z1 = load(z + 2 * (i - 1)), z2 = load(z + 2 * (i - 2));
    // The pipeline: the next pair's sum up to feedback term 4, the feed-forward sum of the one
    // after, and the first half of that of the third.
    __m256d next = feedback(i, forwardTail(i, forwardHead(i)), _mm256_loadu_pd(y + 2 * (i - 10)),
                            yp4, yp3, yp2);
    __m256d second = forwardTail(i + 2, forwardHead(i + 2));
    __m256d third = forwardHead(i + 4);

    // The equal-loudness outputs of the pair at n.
    auto yStep = [&](int32_t n) __attribute__((always_inline)) {
        // Opaque to the optimiser: coefficients are read at each use rather than held in
        // registers the recursion needs.
        asm("" : "+r"(c));
        const __m256d p = next;
        const Lanes a3 = _mm_load_pd(c->a[3]), a2 = _mm_load_pd(c->a[2]), a1 = _mm_load_pd(c->a[1]);
        Lanes v = nmadd<kFma>(a3, y3, _mm256_castpd256_pd128(p));
        v = nmadd<kFma>(a2, y2, v);
        const Lanes y0 = toFloat(nmadd<kFma>(a1, y1, v));
        v = nmadd<kFma>(a3, y2, _mm256_extractf128_pd(p, 1));
        v = nmadd<kFma>(a2, y1, v);
        const Lanes y01 = toFloat(nmadd<kFma>(a1, y0, v));
        const __m256d yp0 = _mm256_set_m128d(y01, y0);
        _mm256_storeu_pd(y + 2 * n, yp0);

        // The pair at n + 2 needs outputs up to n - 1 for its terms 4 … 10: all in yp1 … yp4.
        next = feedback(n + 2, second, yp4, yp3, yp2, yp1);
        second = forwardTail(n + 4, third);
        third = forwardHead(n + 6);

        yp4 = yp3;
        yp3 = yp2;
        yp2 = yp1;
        yp1 = yp0;
        y3 = y1;
        y2 = y0;
        y1 = y01;
    };
    // The high-pass outputs of the pair at n, one pair behind yStep, so that its inputs are
    // ready when it starts: (y[n], y[n+1]) is yp2 then, and (y[n-2], y[n-1]) yp3.
    auto zStep = [&](int32_t n, Lanes & out0, Lanes & out1) __attribute__((always_inline)) {
        asm("" : "+r"(c));
        __m256d w = _mm256_mul_pd(_mm256_load_pd(c->hb[0]), yp2);
        w = madd<kFma>(_mm256_load_pd(c->hb[1]), _mm256_permute2f128_pd(yp3, yp2, 0x21), w);
        w = madd<kFma>(_mm256_load_pd(c->hb[2]), yp3, w);
        const Lanes ha2 = _mm_load_pd(c->ha[2]), ha1 = _mm_load_pd(c->ha[1]);
        Lanes v = nmadd<kFma>(ha2, z2, _mm256_castpd256_pd128(w));
        const Lanes z0 = toFloat(nmadd<kFma>(ha1, z1, v));
        v = nmadd<kFma>(ha2, z1, _mm256_extractf128_pd(w, 1));
        const Lanes z01 = toFloat(nmadd<kFma>(ha1, z0, v));
        store(z + 2 * n, z0);
        store(z + 2 * n + 2, z01);
        z2 = z0;
        z1 = z01;
        out0 = z0;
        out1 = z01;
    };
    auto step = [&](int32_t n, Lanes & out0, Lanes & out1) __attribute__((always_inline)) {
        // Past the segment's end this computes a pair nobody reads (see the buffer sizes).
        yStep(n + 2);
        zStep(n, out0, out1);
    };
    yStep(i);

    // Squares are added one at a time for the leading count mod 16 frames, then per group of
    // 16 summed first.
    for (; i < lead; i += 2) {
        Lanes z0, z1;
        step(i, z0, z1);
        sum = madd<kFma>(z1, z1, madd<kFma>(z0, z0, sum));
    }
    for (; i < count; i += 16) {
        Lanes z0, z1;
        step(i, z0, z1);
        Lanes group = madd<kFma>(z1, z1, mul(z0, z0));
#pragma GCC unroll 8
        for (int32_t k = 2; k < 16; k += 2) {
            step(i + k, z0, z1);
            group = madd<kFma>(z1, z1, madd<kFma>(z0, z0, group));
        }
        sum = add(sum, group);
    }
    *args.leftSum = lane(sum, 0);
    *args.rightSum = lane(sum, 1);
}
#endif

} // namespace
} // namespace gain_kernel
} // namespace sonorix
