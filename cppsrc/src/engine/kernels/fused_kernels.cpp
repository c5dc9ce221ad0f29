#include "engine/kernels/fused_kernels.h"

#include <immintrin.h>

#include <algorithm>

#include "engine/kernels/bit_positions.h"
#include "engine/kernels/cpu_paths.h"
#include "engine/kernels/fused_kernels_512.h"
#include "engine/kernels/fused_walk.h"

namespace gates {

namespace {

using cd = std::complex<double>;

// The walk over double amplitudes, all these kernels take.
using double_walk = group_walk<double>;

// AVX2 and FMA: a register holds the same amplitude of two groups, the
// groups `lane` apart (neighbours when the matrix leaves bit 0 alone).
namespace wide {

template <bool Contiguous>
__attribute__((target("avx2,fma"), always_inline)) inline __m256d load(const cd* p, unsigned long lane) {
    const double* q = reinterpret_cast<const double*>(p);
    if constexpr (Contiguous) return _mm256_loadu_pd(q);
    return _mm256_loadu2_m128d(reinterpret_cast<const double*>(p + lane), q);
}

template <bool Contiguous>
__attribute__((target("avx2,fma"), always_inline)) inline void store(cd* p, unsigned long lane, __m256d v) {
    double* q = reinterpret_cast<double*>(p);
    if constexpr (Contiguous)
        _mm256_storeu_pd(q, v);
    else
        _mm256_storeu2_m128d(reinterpret_cast<double*>(p + lane), q, v);
}

// The amplitudes of G groups, column by column, before any is written.
template <unsigned D, unsigned G, bool Contiguous>
__attribute__((target("avx2,fma"), always_inline)) inline void loadGroups(__m256d (&in)[G][D], cd* const* ptr,
                                                                         const unsigned long* xs, unsigned long lane) {
#pragma GCC unroll 32
    for (unsigned c = 0; c < D; ++c)
#pragma GCC unroll 8
        for (unsigned g = 0; g < G; ++g) in[g][c] = load<Contiguous>(ptr[c] + xs[g], lane);
}

// The next group offset after x, or `length` when there is none.
inline unsigned long nextGroup(const double_walk& w, unsigned long x) {
    return std::min(nextClear(x, w.skip), w.length);
}

// Rows of the product for G groups (offsets xs), a block of R rows at a
// time. Each block accumulates sum(a * re) and sum(a * im) over the columns,
// a = [ar, ai] and the entry's parts broadcast (see fused_matrix::wide), so
// that
//   addsub(sum(a * re), swap(sum(a * im))) = [sum(ar re - ai im), sum(ai re + ar im)]
// needs no shuffle per product. The block's accumulators and one column stay
// in registers; each pair of factor loads feeds 2G FMAs, where whole rows of
// a 16-column matrix would spill both operands.
template <unsigned D, unsigned G, bool Contiguous>
__attribute__((target("avx2,fma"), always_inline)) inline void denseGroups(cd* const* ptr, const unsigned long* xs,
                                                                          unsigned long lane, const double* u) {
    constexpr unsigned R = D < 4 / G ? D : 4 / G;
    __m256d in[G][D];
    loadGroups<D, G, Contiguous>(in, ptr, xs, lane);
#pragma GCC unroll 16
    for (unsigned block = 0; block < D; block += R) {
        __m256d re[G][R], im[G][R];
#pragma GCC unroll 32
        for (unsigned c = 0; c < D; ++c)
#pragma GCC unroll 4
            for (unsigned r = 0; r < R; ++r) {
                const double* e = u + ((block + r) * D + c) * 8;
                const __m256d fr = _mm256_loadu_pd(e), fi = _mm256_loadu_pd(e + 4);
#pragma GCC unroll 2
                for (unsigned g = 0; g < G; ++g) {
                    re[g][r] = c == 0 ? _mm256_mul_pd(in[g][c], fr) : _mm256_fmadd_pd(in[g][c], fr, re[g][r]);
                    im[g][r] = c == 0 ? _mm256_mul_pd(in[g][c], fi) : _mm256_fmadd_pd(in[g][c], fi, im[g][r]);
                }
            }
#pragma GCC unroll 4
        for (unsigned r = 0; r < R; ++r)
#pragma GCC unroll 2
            for (unsigned g = 0; g < G; ++g)
                store<Contiguous>(ptr[block + r] + xs[g], lane,
                                  _mm256_addsub_pd(re[g][r], _mm256_permute_pd(im[g][r], 0x5)));
    }
}

// Small matrices take groups two at a time, so that each factor loaded
// serves both, then a last one alone; from eight columns on, two groups'
// columns would no longer fit the registers.
template <unsigned D, bool Contiguous>
__attribute__((target("avx2,fma"))) void dense(const double_walk& w, unsigned long lane, const double* u) {
    unsigned long xs[2] = {0, nextGroup(w, 0)};
    if constexpr (D >= 8) {
        for (; xs[0] < w.length; xs[0] = nextGroup(w, xs[0])) denseGroups<D, 1, Contiguous>(w.ptr, xs, lane, u);
        return;
    }
    for (; xs[1] < w.length; xs[1] = nextGroup(w, xs[0])) {
        denseGroups<D, 2, Contiguous>(w.ptr, xs, lane, u);
        xs[0] = nextGroup(w, xs[1]);
    }
    if (xs[0] < w.length) denseGroups<D, 1, Contiguous>(w.ptr, xs, lane, u);
}

template <bool Contiguous>
__attribute__((target("avx2,fma"), always_inline)) inline void scale(cd* p, unsigned long lane, __m256d fr, __m256d fi) {
    const __m256d a = load<Contiguous>(p, lane);
    store<Contiguous>(p, lane, _mm256_fmaddsub_pd(a, fr, _mm256_mul_pd(_mm256_permute_pd(a, 0x5), fi)));
}

// Factor by factor, each over its amplitudes in memory order. (Group by
// group, the D amplitudes of a group lie multiples of 4 KiB apart, and each
// store held up the next load of the same cache set: three times slower.)
// Where the matrix leaves bit 0 alone, its lowest position bounds runs of
// contiguous amplitudes that share a factor.
template <unsigned D, bool Contiguous>
__attribute__((target("avx2,fma"))) void diagonal(const double_walk& w, unsigned long lane, const double* u) {
    const unsigned long positions = w.skip & ~lane;
    const unsigned long run = Contiguous && positions ? std::min(lowestBit(positions), w.length) : w.length;
    const unsigned long runSkip = w.skip | (run - 1);
#pragma GCC unroll 1
    for (unsigned c = 0; c < D; ++c) {
        const __m256d fr = _mm256_loadu_pd(u + c * 8), fi = _mm256_loadu_pd(u + c * 8 + 4);
        cd* const p = w.ptr[c];
        if constexpr (Contiguous) {
            for (unsigned long base = 0; base < w.length; base = nextClear(base, runSkip))
#pragma GCC unroll 4
                for (unsigned long x = base; x < base + run; x += 2) scale<true>(p + x, lane, fr, fi);
        } else {
            for (unsigned long x = 0; x < w.length; x = nextClear(x, w.skip)) scale<false>(p + x, lane, fr, fi);
        }
    }
}

// M entries per row at the columns the matrix lists, for G groups: a
// product of permutations and phases (M = 1) or with few mixing gates.
template <unsigned D, unsigned M, unsigned G, bool Contiguous>
__attribute__((target("avx2,fma"), always_inline)) inline void sparseGroups(cd* const* ptr, const unsigned long* xs,
                                                                           unsigned long lane, const unsigned* columns,
                                                                           const double* u) {
    __m256d in[G][D];
    loadGroups<D, G, Contiguous>(in, ptr, xs, lane);
#pragma GCC unroll 32
    for (unsigned r = 0; r < D; ++r) {
        __m256d re[G], im[G];
#pragma GCC unroll 16
        for (unsigned j = 0; j < M; ++j) {
            const unsigned c = columns[r * M + j];
            const double* e = u + (r * M + j) * 8;
            const __m256d fr = _mm256_loadu_pd(e), fi = _mm256_loadu_pd(e + 4);
#pragma GCC unroll 8
            for (unsigned g = 0; g < G; ++g) {
                re[g] = j == 0 ? _mm256_mul_pd(in[g][c], fr) : _mm256_fmadd_pd(in[g][c], fr, re[g]);
                im[g] = j == 0 ? _mm256_mul_pd(in[g][c], fi) : _mm256_fmadd_pd(in[g][c], fi, im[g]);
            }
        }
#pragma GCC unroll 8
        for (unsigned g = 0; g < G; ++g)
            store<Contiguous>(ptr[r] + xs[g], lane, _mm256_addsub_pd(re[g], _mm256_permute_pd(im[g], 0x5)));
    }
}

template <unsigned D, unsigned M, bool Contiguous>
__attribute__((target("avx2,fma"))) void sparse(const double_walk& w, unsigned long lane, const unsigned* columns,
                                                const double* u) {
    constexpr unsigned G = 4;
    unsigned long xs[G];
    unsigned long x = 0;
    while (x < w.length) {
        unsigned k = 0;
        for (; k < G && x < w.length; ++k, x = nextGroup(w, x)) xs[k] = x;
        if (k == G) {
            sparseGroups<D, M, G, Contiguous>(w.ptr, xs, lane, columns, u);
        } else {
            for (unsigned j = 0; j < k; ++j) sparseGroups<D, M, 1, Contiguous>(w.ptr, xs + j, lane, columns, u);
        }
    }
}

template <unsigned D, unsigned M, bool Contiguous>
void applySparse(const double_walk& w, unsigned long lane, const fused_matrix& m) {
    if constexpr (M * 2 <= D) {
        if (m.rowWidth == M) return sparse<D, M, Contiguous>(w, lane, m.columns.data(), m.wide.data());
        return applySparse<D, M * 2, Contiguous>(w, lane, m);
    }
}

template <unsigned D, bool Contiguous>
void apply(const double_walk& w, unsigned long lane, const fused_matrix& m) {
    if (m.diagonal)
        diagonal<D, Contiguous>(w, lane, m.wide.data());
    else if (m.dense())
        dense<D, Contiguous>(w, lane, m.wide.data());
    else
        applySparse<D, 1, Contiguous>(w, lane, m);
}

template <bool Contiguous>
void apply(const double_walk& w, unsigned long lane, const fused_matrix& m) {
    switch (m.qubits) {
        case 1: apply<2, Contiguous>(w, lane, m); break;
        case 2: apply<4, Contiguous>(w, lane, m); break;
        case 3: apply<8, Contiguous>(w, lane, m); break;
        case 4: apply<16, Contiguous>(w, lane, m); break;
        default: apply<32, Contiguous>(w, lane, m); break;
    }
}

}  // namespace wide


}  // namespace

namespace {

// Entries per row from which AVX-512 registers take a product.
constexpr unsigned kWiderRowWidth = 2;

}  // namespace

void applyFusedToTile(cd* const* segments, unsigned long count, unsigned long length, unsigned long lowPositions,
                      unsigned long highPositions, const fused_matrix& m) {
    // The lowest bit the matrix leaves alone inside a segment pairs groups
    // into the two halves of a register.
    const unsigned long lane = lowestBit(~lowPositions);
    const bool vector = cpu_paths::avx2() && lane < length;
    // The next bit left alone pairs those pairs into the four quarters of an
    // AVX-512 register, for products of two or more entries per row, whose
    // walks take two groups per factor (random circuits of 22 qubits 10%
    // faster than on AVX2; with one entry per row the loads and stores bound
    // the kernel, not its arithmetic).
    const unsigned long lane2 = lowestBit(~(lowPositions | lane));
    const bool wider = vector && cpu_paths::avx512() && !m.diagonal && m.rowWidth >= kWiderRowWidth && lane2 < length;
    double_walk w;
    w.length = length;
    w.skip = lowPositions | (wider ? lane | lane2 : vector ? lane : 0);
    forEachSegmentSet(segments, count, lowPositions, highPositions, m.dimension(), w, [&](const double_walk& set) {
        if (!vector)
            m.diagonal ? generic::diagonal(set, m.dimension(), m.entries.data())
                       : generic::dense(set, m.dimension(), m.entries.data());
        else if (wider)
            m.dense() ? wide512::dense(set.ptr, set.length, set.skip, lane, lane2, m)
                      : wide512::sparse(set.ptr, set.length, set.skip, lane, lane2, m);
        else if (lane == 1)
            wide::apply<true>(set, lane, m);
        else
            wide::apply<false>(set, lane, m);
    });
}

}  // namespace gates
