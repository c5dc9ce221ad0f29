// Fused products on single-precision amplitudes. A complex float is eight
// bytes, so an AVX2 register holds the same amplitude of four groups and an
// AVX-512 register eight: twice the double kernels' lanes for the same
// instructions. The groups of a register lie at the lowest bits the matrix
// leaves alone; where those are the lowest bits of the index the register
// is one contiguous load.
#include <immintrin.h>

#include <cstring>

#include "engine/kernels/bit_positions.h"
#include "engine/kernels/cpu_paths.h"
#include "engine/kernels/fused_kernels.h"
#include "engine/kernels/fused_walk.h"

namespace gates {

namespace {

using cf = std::complex<float>;

// The lanes of a register of `slots` amplitudes: the lowest log2(slots) bits
// the matrix leaves alone, or 0 when they do not all fit in a segment.
unsigned long laneBits(unsigned long lowPositions, unsigned long length, unsigned long slots) {
    unsigned long lanes = 0;
    for (unsigned long k = 1; k < slots; k *= 2) lanes |= lowestBit(~(lowPositions | lanes));
    return lanes < length ? lanes : 0;
}

// How a register of `slots` (at least 4) amplitudes at `lanes` lies: runs
// of 2^k amplitudes where the k lowest bits are all lanes.
layout layoutOf(unsigned long lanes, unsigned long slots, unsigned long lowPositions) {
    const auto runsOf = [&](unsigned long run) { return (lanes & (run - 1)) == run - 1; };
    if ((lowPositions & 1) && lanes == (slots - 1) << 1) return paired;
    if (lanes == slots - 1) return together;
    if (runsOf(slots / 2)) return halves;
    if (slots >= 8 && runsOf(slots / 4)) return quarters;
    return apart;
}

// One complex float, as the 64 bits a register lane takes.
inline double bitsOf(const cf* p) {
    double bits;
    std::memcpy(&bits, p, sizeof bits);
    return bits;
}

// Amplitudes and a matrix's multiplied entries in float.
struct single_entries {
    using amp = cf;
    using scalar = float;
    using entry = cf;
    static float re(const entry* u, unsigned long k) { return u[k].real(); }
    static float im(const entry* u, unsigned long k) { return u[k].imag(); }
    static const entry* entries(const fused_matrix& m) { return m.singleRows.data(); }
};

#pragma GCC push_options
#pragma GCC target("avx2,fma")
namespace avx2 {

struct ops : single_entries {
    using reg = __m256;
    static constexpr unsigned long slots = 4;
    static constexpr unsigned registers = 16;

    static reg set1(float v) { return _mm256_set1_ps(v); }
    static reg mul(reg a, reg b) { return _mm256_mul_ps(a, b); }
    static reg fmadd(reg a, reg b, reg c) { return _mm256_fmadd_ps(a, b, c); }
    // [re - swap(im), re + swap(im)] in the real and imaginary places.
    static reg combine(reg re, reg im) { return _mm256_addsub_ps(re, _mm256_permute_ps(im, 0xB1)); }

    // The even and odd amplitudes of p[0, 8), each pair of 64-bit lanes
    // split within its 128-bit half (any order serves, the same for every
    // column); storePair undoes it.
    static void loadPair(const cf* p, reg& even, reg& odd) {
        const __m256d a = _mm256_castps_pd(_mm256_loadu_ps(reinterpret_cast<const float*>(p)));
        const __m256d b = _mm256_castps_pd(_mm256_loadu_ps(reinterpret_cast<const float*>(p + 4)));
        even = _mm256_castpd_ps(_mm256_unpacklo_pd(a, b));
        odd = _mm256_castpd_ps(_mm256_unpackhi_pd(a, b));
    }
    static void storePair(cf* p, reg even, reg odd) {
        const __m256d e = _mm256_castps_pd(even), o = _mm256_castps_pd(odd);
        _mm256_storeu_ps(reinterpret_cast<float*>(p), _mm256_castpd_ps(_mm256_unpacklo_pd(e, o)));
        _mm256_storeu_ps(reinterpret_cast<float*>(p + 4), _mm256_castpd_ps(_mm256_unpackhi_pd(e, o)));
    }

    template <layout L>
    static reg load(const cf* p, const unsigned long* off) {
        if constexpr (L == together) return _mm256_loadu_ps(reinterpret_cast<const float*>(p));
        if constexpr (L == halves)
            return _mm256_loadu2_m128(reinterpret_cast<const float*>(p + off[2]), reinterpret_cast<const float*>(p));
        return _mm256_castpd_ps(_mm256_setr_pd(bitsOf(p), bitsOf(p + off[1]), bitsOf(p + off[2]), bitsOf(p + off[3])));
    }

    template <layout L>
    static void store(cf* p, const unsigned long* off, reg v) {
        if constexpr (L == together) {
            _mm256_storeu_ps(reinterpret_cast<float*>(p), v);
        } else if constexpr (L == halves) {
            _mm256_storeu2_m128(reinterpret_cast<float*>(p + off[2]), reinterpret_cast<float*>(p), v);
        } else {
            const __m128 lo = _mm256_castps256_ps128(v), hi = _mm256_extractf128_ps(v, 1);
            _mm_storel_pi(reinterpret_cast<__m64*>(p), lo);
            _mm_storeh_pi(reinterpret_cast<__m64*>(p + off[1]), lo);
            _mm_storel_pi(reinterpret_cast<__m64*>(p + off[2]), hi);
            _mm_storeh_pi(reinterpret_cast<__m64*>(p + off[3]), hi);
        }
    }
};

#include "engine/kernels/fused_walks.inc"

}  // namespace avx2
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq,avx2,fma")
namespace avx512 {

struct ops : single_entries {
    using reg = __m512;
    static constexpr unsigned long slots = 8;
    static constexpr unsigned registers = 32;

    static reg set1(float v) { return _mm512_set1_ps(v); }
    static reg mul(reg a, reg b) { return _mm512_mul_ps(a, b); }
    static reg fmadd(reg a, reg b, reg c) { return _mm512_fmadd_ps(a, b, c); }
    // No addsub in AVX-512: fmaddsub by one rounds the same.
    static reg combine(reg re, reg im) {
        return _mm512_fmaddsub_ps(re, _mm512_set1_ps(1.0f), _mm512_permute_ps(im, 0xB1));
    }


    // As the AVX2 registers' pairs, over p[0, 16).
    static void loadPair(const cf* p, reg& even, reg& odd) {
        const __m512d a = _mm512_castps_pd(_mm512_loadu_ps(reinterpret_cast<const float*>(p)));
        const __m512d b = _mm512_castps_pd(_mm512_loadu_ps(reinterpret_cast<const float*>(p + 8)));
        even = _mm512_castpd_ps(_mm512_unpacklo_pd(a, b));
        odd = _mm512_castpd_ps(_mm512_unpackhi_pd(a, b));
    }
    static void storePair(cf* p, reg even, reg odd) {
        const __m512d e = _mm512_castps_pd(even), o = _mm512_castps_pd(odd);
        _mm512_storeu_ps(reinterpret_cast<float*>(p), _mm512_castpd_ps(_mm512_unpacklo_pd(e, o)));
        _mm512_storeu_ps(reinterpret_cast<float*>(p + 8), _mm512_castpd_ps(_mm512_unpackhi_pd(e, o)));
    }

    template <layout L>
    static reg load(const cf* p, const unsigned long* off) {
        const float* q = reinterpret_cast<const float*>(p);
        if constexpr (L == together) return _mm512_loadu_ps(q);
        if constexpr (L == halves)
            return _mm512_insertf32x8(_mm512_castps256_ps512(_mm256_loadu_ps(q)),
                                      _mm256_loadu_ps(reinterpret_cast<const float*>(p + off[4])), 1);
        if constexpr (L == quarters) {
            const auto at = [&](unsigned k) { return _mm_loadu_ps(reinterpret_cast<const float*>(p + off[2 * k])); };
            const __m512 low = _mm512_insertf32x4(_mm512_castps128_ps512(at(0)), at(1), 1);
            return _mm512_insertf32x4(_mm512_insertf32x4(low, at(2), 2), at(3), 3);
        }
        return _mm512_castpd_ps(_mm512_setr_pd(bitsOf(p), bitsOf(p + off[1]), bitsOf(p + off[2]), bitsOf(p + off[3]),
                                               bitsOf(p + off[4]), bitsOf(p + off[5]), bitsOf(p + off[6]),
                                               bitsOf(p + off[7])));
    }

    template <layout L>
    static void store(cf* p, const unsigned long* off, reg v) {
        float* q = reinterpret_cast<float*>(p);
        if constexpr (L == together) {
            _mm512_storeu_ps(q, v);
        } else if constexpr (L == halves) {
            _mm256_storeu_ps(q, _mm512_castps512_ps256(v));
            _mm256_storeu_ps(reinterpret_cast<float*>(p + off[4]), _mm512_extractf32x8_ps(v, 1));
        } else if constexpr (L == quarters) {
            _mm_storeu_ps(q, _mm512_castps512_ps128(v));
            _mm_storeu_ps(reinterpret_cast<float*>(p + off[2]), _mm512_extractf32x4_ps(v, 1));
            _mm_storeu_ps(reinterpret_cast<float*>(p + off[4]), _mm512_extractf32x4_ps(v, 2));
            _mm_storeu_ps(reinterpret_cast<float*>(p + off[6]), _mm512_extractf32x4_ps(v, 3));
        } else {
            const __m128 quarters[4] = {_mm512_extractf32x4_ps(v, 0), _mm512_extractf32x4_ps(v, 1),
                                        _mm512_extractf32x4_ps(v, 2), _mm512_extractf32x4_ps(v, 3)};
            for (unsigned k = 0; k < 4; ++k) {
                _mm_storel_pi(reinterpret_cast<__m64*>(p + off[2 * k]), quarters[k]);
                _mm_storeh_pi(reinterpret_cast<__m64*>(p + off[2 * k + 1]), quarters[k]);
            }
        }
    }
};

#include "engine/kernels/fused_walks.inc"

}  // namespace avx512
#pragma GCC pop_options

// The register a tile's walk uses: the widest the CPU runs whose lanes fit
// in a segment, or none (the plain loop).
struct register_plan {
    unsigned long slots = 1;
    unsigned long lanes = 0;
    unsigned long off[avx512::ops::slots] = {};
    layout at = apart;
};

register_plan planFor(unsigned long lowPositions, unsigned long length) {
    register_plan plan;
    for (unsigned long slots : {avx512::ops::slots, avx2::ops::slots}) {
        if (slots == avx512::ops::slots && !cpu_paths::avx512()) continue;
        if (!cpu_paths::avx2()) break;
        const unsigned long lanes = laneBits(lowPositions, length, slots);
        if (lanes == 0) continue;
        plan.slots = slots;
        plan.lanes = lanes;
        for (unsigned long s = 0; s < slots; ++s) plan.off[s] = deposit(s, lanes);
        plan.at = layoutOf(lanes, slots, lowPositions);
        break;
    }
    return plan;
}

}  // namespace

void applyFusedToTile(cf* const* segments, unsigned long count, unsigned long length, unsigned long lowPositions,
                      unsigned long highPositions, const fused_matrix& m) {
    const register_plan plan = planFor(lowPositions, length);
    group_walk<float> w;
    w.length = length;
    w.skip = lowPositions | plan.lanes;
    forEachSegmentSet(segments, count, lowPositions, highPositions, m.dimension(), w,
                      [&](const group_walk<float>& set) {
                          if (plan.slots == avx512::ops::slots)
                              avx512::applyWithLayout(set, plan.off, plan.at, m);
                          else if (plan.slots == avx2::ops::slots)
                              avx2::applyWithLayout(set, plan.off, plan.at, m);
                          else if (m.diagonal)
                              generic::diagonal(set, m.dimension(), m.singleEntries.data());
                          else
                              generic::dense(set, m.dimension(), m.singleEntries.data());
                      });
}

}  // namespace gates
