#include "engine/kernels/fused_kernels_512.h"

#include <immintrin.h>

#include <type_traits>

#include "engine/kernels/bit_positions.h"
#include "engine/kernels/fused_walk.h"

namespace gates::wide512 {

namespace {

using cd = std::complex<double>;

#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq,avx2,fma")
namespace walks {

// Four double amplitudes per register, the entries read from
// fused_matrix::wide as the AVX2 kernels read them.
struct ops {
    using amp = cd;
    using scalar = double;
    using entry = double;
    using reg = __m512d;
    static constexpr unsigned long slots = 4;
    static constexpr unsigned registers = 32;

    // Entry k of `wide`: its real part four times, then its imaginary part.
    static double re(const entry* u, unsigned long k) { return u[k * 8]; }
    static double im(const entry* u, unsigned long k) { return u[k * 8 + 4]; }

    static reg set1(double v) { return _mm512_set1_pd(v); }
    static reg mul(reg a, reg b) { return _mm512_mul_pd(a, b); }
    static reg fmadd(reg a, reg b, reg c) { return _mm512_fmadd_pd(a, b, c); }
    // re - swap(im) in the real and re + swap(im) in the imaginary places
    // (fmaddsub by 1 rounds exactly as the AVX2 kernels' addsub).
    static reg combine(reg re, reg im) {
        return _mm512_fmaddsub_pd(re, _mm512_set1_pd(1.0), _mm512_permute_pd(im, 0x55));
    }

    // The groups at p + off[0..3]: one run of four, two runs of two, or
    // pairs of single amplitudes (off[1] and off[2] the two lanes).
    template <layout L>
    static reg load(const cd* p, const unsigned long* off) {
        const double* q = reinterpret_cast<const double*>(p);
        const double* q2 = reinterpret_cast<const double*>(p + off[2]);
        if constexpr (L == together) return _mm512_loadu_pd(q);
        __m256d lo, hi;
        if constexpr (L == halves) {
            lo = _mm256_loadu_pd(q);
            hi = _mm256_loadu_pd(q2);
        } else {
            lo = _mm256_loadu2_m128d(reinterpret_cast<const double*>(p + off[1]), q);
            hi = _mm256_loadu2_m128d(reinterpret_cast<const double*>(p + off[3]), q2);
        }
        return _mm512_insertf64x4(_mm512_castpd256_pd512(lo), hi, 1);
    }

    template <layout L>
    static void store(cd* p, const unsigned long* off, reg v) {
        double* q = reinterpret_cast<double*>(p);
        double* q2 = reinterpret_cast<double*>(p + off[2]);
        if constexpr (L == together) {
            _mm512_storeu_pd(q, v);
            return;
        }
        const __m256d lo = _mm512_castpd512_pd256(v), hi = _mm512_extractf64x4_pd(v, 1);
        if constexpr (L == halves) {
            _mm256_storeu_pd(q, lo);
            _mm256_storeu_pd(q2, hi);
        } else {
            _mm256_storeu2_m128d(reinterpret_cast<double*>(p + off[1]), q, lo);
            _mm256_storeu2_m128d(reinterpret_cast<double*>(p + off[3]), q2, hi);
        }
    }

    // Double registers take only the layouts of the lanes above, never
    // `paired`: declared for the shared walks, never defined.
    static void loadPair(const amp* p, reg& even, reg& odd);
    static void storePair(amp* p, reg even, reg odd);
    static const entry* entries(const fused_matrix& m) { return m.wide.data(); }
};

#include "engine/kernels/fused_walks.inc"

}  // namespace walks
#pragma GCC pop_options

// The walk for the row width the sparse matrix has.
template <unsigned D, unsigned M, layout L>
void sparseRows(cd* const* ptr, unsigned long length, unsigned long skip, const unsigned long* off,
                const fused_matrix& m) {
    if constexpr (M * 2 <= D) {
        if (m.rowWidth != M) return sparseRows<D, M * 2, L>(ptr, length, skip, off, m);
        walks::sparse<D, M, L>(ptr, length, skip, off, m.columns.data(), m.wide.data());
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
            run(dimension, std::integral_constant<layout, halves>{});
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
    const unsigned long off[] = {0, lane, lane2, lane + lane2};
    dispatch(m.qubits, lane, lane2, [&](auto dimension, auto at) {
        sparseRows<decltype(dimension)::value, 1, decltype(at)::value>(ptr, length, skip, off, m);
    });
}

void dense(cd* const* ptr, unsigned long length, unsigned long skip, unsigned long lane, unsigned long lane2,
           const fused_matrix& m) {
    const unsigned long off[] = {0, lane, lane2, lane + lane2};
    dispatch(m.qubits, lane, lane2, [&](auto dimension, auto at) {
        walks::dense<decltype(dimension)::value, decltype(at)::value>(ptr, length, skip, off, m.wide.data());
    });
}

}  // namespace gates::wide512
