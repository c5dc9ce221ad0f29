#include "engine/fused_kernels_512.h"

#include <immintrin.h>

#include "engine/bit_positions.h"

#define KOVRA_AVX512 __attribute__((target("avx512f,avx512dq,avx2,fma")))

namespace gates::wide512 {

namespace {

using cd = std::complex<double>;

// Where the four groups of a register lie: one run of four amplitudes,
// two runs of two (lane 1), or four amplitudes apart.
enum layout { together, pairs, apart };

template <layout L>
KOVRA_AVX512 __attribute__((always_inline)) inline __m512d load(const cd* p, unsigned long lane, unsigned long lane2) {
    const double* q = reinterpret_cast<const double*>(p);
    const double* q2 = reinterpret_cast<const double*>(p + lane2);
    if constexpr (L == together) return _mm512_loadu_pd(q);
    __m256d lo, hi;
    if constexpr (L == pairs) {
        lo = _mm256_loadu_pd(q);
        hi = _mm256_loadu_pd(q2);
    } else {
        lo = _mm256_loadu2_m128d(reinterpret_cast<const double*>(p + lane), q);
        hi = _mm256_loadu2_m128d(reinterpret_cast<const double*>(p + lane2 + lane), q2);
    }
    return _mm512_insertf64x4(_mm512_castpd256_pd512(lo), hi, 1);
}

template <layout L>
KOVRA_AVX512 __attribute__((always_inline)) inline void store(cd* p, unsigned long lane, unsigned long lane2,
                                                              __m512d v) {
    double* q = reinterpret_cast<double*>(p);
    double* q2 = reinterpret_cast<double*>(p + lane2);
    if constexpr (L == together) {
        _mm512_storeu_pd(q, v);
        return;
    }
    const __m256d lo = _mm512_castpd512_pd256(v), hi = _mm512_extractf64x4_pd(v, 1);
    if constexpr (L == pairs) {
        _mm256_storeu_pd(q, lo);
        _mm256_storeu_pd(q2, hi);
    } else {
        _mm256_storeu2_m128d(reinterpret_cast<double*>(p + lane), q, lo);
        _mm256_storeu2_m128d(reinterpret_cast<double*>(p + lane2 + lane), q2, hi);
    }
}

// As the AVX2 kernel: blocks of R rows, each accumulating sum(a * re) and
// sum(a * im) over the columns with the entry's parts broadcast, then
// re - swap(im) in the real and re + swap(im) in the imaginary places
// (fmaddsub by 1 rounds exactly as addsub).
template <unsigned D, layout L>
KOVRA_AVX512 void walk(cd* const* ptr, unsigned long length, unsigned long skip, unsigned long lane,
                       unsigned long lane2, const double* u) {
    constexpr unsigned R = D < 4 ? D : 4;
    const __m512d ones = _mm512_set1_pd(1.0);
    for (unsigned long x = 0; x < length; x = nextClear(x, skip)) {
        __m512d in[D];
#pragma GCC unroll 32
        for (unsigned c = 0; c < D; ++c) in[c] = load<L>(ptr[c] + x, lane, lane2);
#pragma GCC unroll 16
        for (unsigned block = 0; block < D; block += R) {
            __m512d re[R], im[R];
#pragma GCC unroll 32
            for (unsigned c = 0; c < D; ++c)
#pragma GCC unroll 4
                for (unsigned r = 0; r < R; ++r) {
                    const double* e = u + ((block + r) * D + c) * 8;
                    const __m512d fr = _mm512_set1_pd(e[0]), fi = _mm512_set1_pd(e[4]);
                    re[r] = c == 0 ? _mm512_mul_pd(in[c], fr) : _mm512_fmadd_pd(in[c], fr, re[r]);
                    im[r] = c == 0 ? _mm512_mul_pd(in[c], fi) : _mm512_fmadd_pd(in[c], fi, im[r]);
                }
#pragma GCC unroll 4
            for (unsigned r = 0; r < R; ++r)
                store<L>(ptr[block + r] + x, lane, lane2,
                         _mm512_fmaddsub_pd(re[r], ones, _mm512_permute_pd(im[r], 0x55)));
        }
    }
}

// Row by row, the listed columns' entries, as the AVX2 sparse kernel.
template <unsigned D, unsigned M, layout L>
KOVRA_AVX512 void sparseWalk(cd* const* ptr, unsigned long length, unsigned long skip, unsigned long lane,
                             unsigned long lane2, const unsigned* columns, const double* u) {
    const __m512d ones = _mm512_set1_pd(1.0);
    for (unsigned long x = 0; x < length; x = nextClear(x, skip)) {
        __m512d in[D];
#pragma GCC unroll 32
        for (unsigned c = 0; c < D; ++c) in[c] = load<L>(ptr[c] + x, lane, lane2);
#pragma GCC unroll 32
        for (unsigned r = 0; r < D; ++r) {
            __m512d re = _mm512_setzero_pd(), im = _mm512_setzero_pd();
#pragma GCC unroll 16
            for (unsigned j = 0; j < M; ++j) {
                const unsigned c = columns[r * M + j];
                const double* e = u + (r * M + j) * 8;
                const __m512d fr = _mm512_set1_pd(e[0]), fi = _mm512_set1_pd(e[4]);
                re = j == 0 ? _mm512_mul_pd(in[c], fr) : _mm512_fmadd_pd(in[c], fr, re);
                im = j == 0 ? _mm512_mul_pd(in[c], fi) : _mm512_fmadd_pd(in[c], fi, im);
            }
            store<L>(ptr[r] + x, lane, lane2, _mm512_fmaddsub_pd(re, ones, _mm512_permute_pd(im, 0x55)));
        }
    }
}

template <unsigned D, unsigned M>
void sparseByLayout(cd* const* ptr, unsigned long length, unsigned long skip, unsigned long lane,
                    unsigned long lane2, const fused_matrix& m) {
    if constexpr (M * 2 <= D) {
        if (m.rowWidth != M) return sparseByLayout<D, M * 2>(ptr, length, skip, lane, lane2, m);
        const unsigned* columns = m.columns.data();
        const double* u = m.wide.data();
        if (lane == 1 && lane2 == 2)
            sparseWalk<D, M, together>(ptr, length, skip, lane, lane2, columns, u);
        else if (lane == 1)
            sparseWalk<D, M, pairs>(ptr, length, skip, lane, lane2, columns, u);
        else
            sparseWalk<D, M, apart>(ptr, length, skip, lane, lane2, columns, u);
    }
}

template <unsigned D>
void byLayout(cd* const* ptr, unsigned long length, unsigned long skip, unsigned long lane, unsigned long lane2,
              const double* u) {
    if (lane == 1 && lane2 == 2)
        walk<D, together>(ptr, length, skip, lane, lane2, u);
    else if (lane == 1)
        walk<D, pairs>(ptr, length, skip, lane, lane2, u);
    else
        walk<D, apart>(ptr, length, skip, lane, lane2, u);
}

}  // namespace

void sparse(cd* const* ptr, unsigned long length, unsigned long skip, unsigned long lane, unsigned long lane2,
            const fused_matrix& m) {
    switch (m.qubits) {
        case 1: sparseByLayout<2, 1>(ptr, length, skip, lane, lane2, m); break;
        case 2: sparseByLayout<4, 1>(ptr, length, skip, lane, lane2, m); break;
        case 3: sparseByLayout<8, 1>(ptr, length, skip, lane, lane2, m); break;
        case 4: sparseByLayout<16, 1>(ptr, length, skip, lane, lane2, m); break;
        default: sparseByLayout<32, 1>(ptr, length, skip, lane, lane2, m); break;
    }
}

void dense(cd* const* ptr, unsigned long length, unsigned long skip, unsigned long lane, unsigned long lane2,
           const fused_matrix& m) {
    const double* u = m.wide.data();
    switch (m.qubits) {
        case 1: byLayout<2>(ptr, length, skip, lane, lane2, u); break;
        case 2: byLayout<4>(ptr, length, skip, lane, lane2, u); break;
        case 3: byLayout<8>(ptr, length, skip, lane, lane2, u); break;
        case 4: byLayout<16>(ptr, length, skip, lane, lane2, u); break;
        default: byLayout<32>(ptr, length, skip, lane, lane2, u); break;
    }
}

}  // namespace gates::wide512
