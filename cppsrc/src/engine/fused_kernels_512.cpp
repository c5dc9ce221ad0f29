#include "engine/fused_kernels_512.h"

#include <immintrin.h>

#include <type_traits>

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

// Every column's amplitudes of the register's four groups at offset x.
template <unsigned D, layout L>
KOVRA_AVX512 __attribute__((always_inline)) inline void loadColumns(__m512d (&in)[D], cd* const* ptr, unsigned long x,
                                                                    unsigned long lane, unsigned long lane2) {
#pragma GCC unroll 32
    for (unsigned c = 0; c < D; ++c) in[c] = load<L>(ptr[c] + x, lane, lane2);
}

// re - swap(im) in the real and re + swap(im) in the imaginary places
// (fmaddsub by 1 rounds exactly as the AVX2 kernels' addsub).
KOVRA_AVX512 __attribute__((always_inline)) inline __m512d combine(__m512d re, __m512d im) {
    return _mm512_fmaddsub_pd(re, _mm512_set1_pd(1.0), _mm512_permute_pd(im, 0x55));
}

// As the AVX2 kernel: blocks of R rows, each accumulating sum(a * re) and
// sum(a * im) over the columns with the entry's parts broadcast, then
// combined.
template <unsigned D, layout L>
KOVRA_AVX512 void walk(cd* const* ptr, unsigned long length, unsigned long skip, unsigned long lane,
                       unsigned long lane2, const double* u) {
    constexpr unsigned R = D < 4 ? D : 4;
    for (unsigned long x = 0; x < length; x = nextClear(x, skip)) {
        __m512d in[D];
        loadColumns<D, L>(in, ptr, x, lane, lane2);
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
                store<L>(ptr[block + r] + x, lane, lane2, combine(re[r], im[r]));
        }
    }
}

// Row by row, the listed columns' entries, as the AVX2 sparse kernel.
template <unsigned D, unsigned M, layout L>
KOVRA_AVX512 void sparseWalk(cd* const* ptr, unsigned long length, unsigned long skip, unsigned long lane,
                             unsigned long lane2, const unsigned* columns, const double* u) {
    for (unsigned long x = 0; x < length; x = nextClear(x, skip)) {
        __m512d in[D];
        loadColumns<D, L>(in, ptr, x, lane, lane2);
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
            store<L>(ptr[r] + x, lane, lane2, combine(re, im));
        }
    }
}

// The walk for the row width the sparse matrix has.
template <unsigned D, unsigned M, layout L>
void sparseRows(cd* const* ptr, unsigned long length, unsigned long skip, unsigned long lane, unsigned long lane2,
                const fused_matrix& m) {
    if constexpr (M * 2 <= D) {
        if (m.rowWidth != M) return sparseRows<D, M * 2, L>(ptr, length, skip, lane, lane2, m);
        sparseWalk<D, M, L>(ptr, length, skip, lane, lane2, m.columns.data(), m.wide.data());
    }
}

// Calls run(dimension, layout), each as a type's ::value, for a matrix on
// `qubits` positions and the registers' layout.
template <typename Run>
void dispatch(unsigned qubits, unsigned long lane, unsigned long lane2, Run run) {
    auto withLayout = [&](auto dimension) {
        if (lane == 1 && lane2 == 2)
            run(dimension, std::integral_constant<layout, together>{});
        else if (lane == 1)
            run(dimension, std::integral_constant<layout, pairs>{});
        else
            run(dimension, std::integral_constant<layout, apart>{});
    };
    switch (qubits) {
        case 1: withLayout(std::integral_constant<unsigned, 2>{}); break;
        case 2: withLayout(std::integral_constant<unsigned, 4>{}); break;
        case 3: withLayout(std::integral_constant<unsigned, 8>{}); break;
        case 4: withLayout(std::integral_constant<unsigned, 16>{}); break;
        default: withLayout(std::integral_constant<unsigned, 32>{}); break;
    }
}

}  // namespace

void sparse(cd* const* ptr, unsigned long length, unsigned long skip, unsigned long lane, unsigned long lane2,
            const fused_matrix& m) {
    dispatch(m.qubits, lane, lane2, [&](auto dimension, auto at) {
        sparseRows<decltype(dimension)::value, 1, decltype(at)::value>(ptr, length, skip, lane, lane2, m);
    });
}

void dense(cd* const* ptr, unsigned long length, unsigned long skip, unsigned long lane, unsigned long lane2,
           const fused_matrix& m) {
    dispatch(m.qubits, lane, lane2, [&](auto dimension, auto at) {
        walk<decltype(dimension)::value, decltype(at)::value>(ptr, length, skip, lane, lane2, m.wide.data());
    });
}

}  // namespace gates::wide512
