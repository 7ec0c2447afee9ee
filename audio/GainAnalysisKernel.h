#pragma once

// The filters and square sums of GainAnalysis, included by two translation units: one built for
// the baseline instruction set, one with AVX. Everything here has internal linkage, so the two
// builds never stand in for each other.

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

void filterSegmentAvx(const FilterArgs& args);

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
// (1e-10 + b0·x0 + b1·x1 + … + b10·x10) does not depend on the recursion, so it is computed
// ahead: with kWide for two frames at once in one 256-bit register. The feedback terms are then
// subtracted oldest first, so the newest output is one multiply and one subtraction away from
// the next sample; the two newest outputs of each stage stay in registers.
template <bool kWide>
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
        Lanes group;
        if constexpr (kWide) {
#if defined(__AVX__)
            __m256d wb[kOrder + 1];
            for (int k = 0; k <= kOrder; ++k) {
                wb[k] = _mm256_set1_pd(args.yule[2 * k]);
            }
            const __m256d wtiny = _mm256_set1_pd(1e-10);
#pragma GCC unroll 8
            for (int32_t k = 0; k < 16; k += 2) {
                const double* xi = x + 2 * (i + k);
                __m256d ff = _mm256_add_pd(wtiny, _mm256_mul_pd(wb[0], _mm256_loadu_pd(xi)));
#pragma GCC unroll 16
                for (int j = 1; j <= kOrder; ++j) {
                    ff = _mm256_add_pd(ff, _mm256_mul_pd(wb[j], _mm256_loadu_pd(xi - 2 * j)));
                }
                Lanes first = recurse(i + k, _mm256_castpd256_pd128(ff));
                group = k == 0 ? first : add(group, first);
                group = add(group, recurse(i + k + 1, _mm256_extractf128_pd(ff, 1)));
            }
#endif
        } else {
            group = recurse(i, feedForward(i));
#pragma GCC unroll 16
            for (int32_t k = 1; k < 16; ++k) {
                group = add(group, recurse(i + k, feedForward(i + k)));
            }
        }
        sum = add(sum, group);
    }
    *args.leftSum = lane(sum, 0);
    *args.rightSum = lane(sum, 1);
}

} // namespace
} // namespace gain_kernel
} // namespace sonorix
