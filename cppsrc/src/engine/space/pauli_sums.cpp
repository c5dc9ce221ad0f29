#include "engine/space/pauli_sums.h"

#include <immintrin.h>

#include <algorithm>
#include <map>
#include <mutex>

#include "engine/kernels/cpu_paths.h"
#include "engine/fusion/gate_runs.h"
#include "engine/fusion/run_stopped.h"
#include "engine/parallel/share_out.h"
#include "engine/space/state_space.h"

namespace pauli_sums {

namespace {

// The vector is walked tile by tile, a tile being 2^kTileBits amplitudes
// (512 KiB) that stay in a core's cache while every term whose flip mask
// has the same high part (bits at or above kTileBits) reads it: with random
// terms on n qubits at most 2^(n - kTileBits) passes over memory, not one
// per term. Within a tile, blocks of 2^kBlockBits amplitudes give each term
// its sign on the low bits from a table (once per block for the rest).
constexpr unsigned long kTileBits = 15;
constexpr unsigned long kBlockBits = 10;
// The caller is asked whether to go on after at most this many amplitude
// products (terms times amplitudes, some 50 ms): a sum of many terms on a
// large vector otherwise runs for minutes past Ctrl-C. Each term's sum is
// its own, so summing the terms in stretches changes no value.
constexpr double kProductsBetweenChecks = 67108864.0;  // 2^26

int parity(unsigned long bits) { return __builtin_parityl(bits); }

struct placed_term {
    term t;
    std::size_t owner;          // the observable it belongs to
    unsigned long signs;        // positions whose bit flips the sign: Y and Z
    bool partner_symmetric;     // (-1)^|flip & signs|: the partner's sign is the same
};

// Terms whose flip masks share their high part: the tiles they pair.
struct tile_class {
    unsigned long high = 0;  // flip >> kTileBits
    std::vector<placed_term> terms;
};

// conj(psi[j]) psi[i] for the block's i and their partners j = i ^ flip,
// in double whatever the amplitudes' precision (a product of two floats is
// exact in double).
template <class S>
void products_plain(const S* partner, const S* amplitudes, unsigned long base, unsigned long flip,
                    unsigned long block, double* re, double* im) {
    for (unsigned long l = 0; l < block; ++l) {
        const S* a = partner + 2 * ((base + l) ^ flip);
        const S* b = amplitudes + 2 * (base + l);
        const double ar = a[0], ai = a[1], br = b[0], bi = b[1];
        re[l] = ar * br + ai * bi;  // written out: std::complex's product checks for NaN
        im[l] = ar * bi - ai * br;
    }
}

double signed_sum_plain(const double* sign, const double* values, unsigned long block) {
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    unsigned long l = 0;
    for (; l + 4 <= block; l += 4) {
        s0 += sign[l] * values[l];
        s1 += sign[l + 1] * values[l + 1];
        s2 += sign[l + 2] * values[l + 2];
        s3 += sign[l + 3] * values[l + 3];
    }
    for (; l < block; ++l) s0 += sign[l] * values[l];
    return (s0 + s1) + (s2 + s3);
}

#pragma GCC push_options
#pragma GCC target("avx2,fma")
// The same with AVX2, four amplitudes at a time (a block is a multiple of 8).
// Two neighbours' partners are neighbours too, swapped when the flip holds
// bit 0.
inline __m256d partners_avx2(const double* amplitudes, unsigned long i, unsigned long flip) {
    const __m256d pair = _mm256_loadu_pd(amplitudes + 2 * ((i ^ flip) & ~1UL));
    return (flip & 1) ? _mm256_permute2f128_pd(pair, pair, 0x01) : pair;
}

void products_avx2(const double* partner, const double* amplitudes, unsigned long base, unsigned long flip,
                   unsigned long block, double* re, double* im) {
    for (unsigned long l = 0; l < block; l += 4) {
        const unsigned long i = base + l;
        const __m256d a0 = partners_avx2(partner, i, flip), a1 = partners_avx2(partner, i + 2, flip);
        const __m256d b0 = _mm256_loadu_pd(amplitudes + 2 * i), b1 = _mm256_loadu_pd(amplitudes + 2 * (i + 2));
        // ar br + ai bi and ar bi - ai br, each pair of lanes summed.
        const __m256d real = _mm256_hadd_pd(_mm256_mul_pd(a0, b0), _mm256_mul_pd(a1, b1));
        const __m256d imag = _mm256_hsub_pd(_mm256_mul_pd(a0, _mm256_permute_pd(b0, 0x5)),
                                            _mm256_mul_pd(a1, _mm256_permute_pd(b1, 0x5)));
        // hadd leaves l, l+2, l+1, l+3: back in order.
        _mm256_storeu_pd(re + l, _mm256_permute4x64_pd(real, 0xd8));
        _mm256_storeu_pd(im + l, _mm256_permute4x64_pd(imag, 0xd8));
    }
}

double signed_sum_avx2(const double* sign, const double* values, unsigned long block) {
    __m256d sum0 = _mm256_setzero_pd(), sum1 = _mm256_setzero_pd();
    for (unsigned long l = 0; l < block; l += 8) {
        sum0 = _mm256_fmadd_pd(_mm256_loadu_pd(sign + l), _mm256_loadu_pd(values + l), sum0);
        sum1 = _mm256_fmadd_pd(_mm256_loadu_pd(sign + l + 4), _mm256_loadu_pd(values + l + 4), sum1);
    }
    double lanes[4];
    _mm256_storeu_pd(lanes, _mm256_add_pd(sum0, sum1));
    return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
}
#pragma GCC pop_options

bool wide_enough(unsigned long block) { return cpu_paths::avx2() && block % 8 == 0; }

// conj(partner[i ^ flip]) amplitudes[i] for the block's i.
void products(const double* partner, const double* amplitudes, unsigned long base, unsigned long flip,
              unsigned long block, double* re, double* im) {
    if (wide_enough(block))
        products_avx2(partner, amplitudes, base, flip, block, re, im);
    else
        products_plain(partner, amplitudes, base, flip, block, re, im);
}

// Float amplitudes: the plain loop, in double.
void products(const float* partner, const float* amplitudes, unsigned long base, unsigned long flip,
              unsigned long block, double* re, double* im) {
    products_plain(partner, amplitudes, base, flip, block, re, im);
}

double signed_sum(const double* sign, const double* values, unsigned long block) {
    return wide_enough(block) ? signed_sum_avx2(sign, values, block) : signed_sum_plain(sign, values, block);
}

// Sum over i of conj(psi[i ^ flip]) psi[i] (-1)^|i & signs| for each term
// of the class. Where the flip reaches above a tile, only the tiles whose
// bit at the flip's top position is clear are visited, and each pair
// (i, i ^ flip) adds c + sigma conj(c), sigma the partner's relative sign.
// Terms `first` to `first + count` of the class, or every one.
template <class T>
std::vector<std::complex<double>> class_sums(const std::vector<std::complex<T>>& psi, const T* partner,
                                             unsigned long offset, const tile_class& c, std::size_t first = 0,
                                             std::size_t count = static_cast<std::size_t>(-1)) {
    const unsigned long size = psi.size();
    const unsigned long tile = std::min<unsigned long>(size, 1UL << kTileBits);
    const unsigned long block = std::min<unsigned long>(tile, 1UL << kBlockBits);
    count = std::min(count, c.terms.size() - first);
    const placed_term* terms = c.terms.data() + first;
    const unsigned long top = c.high == 0 ? 0 : 1UL << (63 - __builtin_clzl(c.high));  // in tile numbers
    std::vector<double> low(count * block);
    for (std::size_t t = 0; t < count; ++t)
        for (unsigned long l = 0; l < block; ++l) low[t * block + l] = parity(l & terms[t].signs) ? -1.0 : 1.0;
    std::vector<std::complex<double>> total(count);
    std::mutex adding;
    const T* amplitudes = reinterpret_cast<const T*>(psi.data());
    gates::shareOut(size / tile, gates::workerCount(size), [&](unsigned long begin, unsigned long end) {
        std::vector<double> re(block), im(block);
        std::vector<std::complex<double>> part(count);
        for (unsigned long b = begin; b < end; ++b) {
            if (b & top) continue;  // visited as the partner of b ^ high
            for (unsigned long base = b * tile; base < (b + 1) * tile; base += block) {
                for (std::size_t t = 0; t < count; ++t) {
                    const placed_term& p = terms[t];
                    products(partner, amplitudes, base, p.t.x | p.t.y, block, re.data(), im.data());
                    const double high = parity((offset + base) & p.signs) ? -1.0 : 1.0;
                    const double* sign = &low[t * block];
                    if (c.high == 0) {
                        part[t] += high * std::complex<double>(signed_sum(sign, re.data(), block),
                                                                signed_sum(sign, im.data(), block));
                    } else if (p.partner_symmetric) {
                        part[t] += high * 2 * signed_sum(sign, re.data(), block);  // c + conj(c)
                    } else {
                        part[t] += high * std::complex<double>(0, 2 * signed_sum(sign, im.data(), block));
                    }
                }
            }
        }
        std::lock_guard<std::mutex> hold(adding);
        for (std::size_t t = 0; t < count; ++t) total[t] += part[t];
    });
    return total;
}

// i^(number of Y factors).
std::complex<double> y_phase(unsigned long y) {
    static const std::complex<double> powers[4] = {{1, 0}, {0, 1}, {-1, 0}, {0, -1}};
    return powers[__builtin_popcountl(y) % 4];
}

}  // namespace

template <class T>
std::vector<std::complex<double>> slice_sums(const std::vector<std::complex<T>>& slice,
                                             const std::vector<std::complex<T>>& partner, unsigned long offset,
                                             const std::vector<term>& terms) {
    tile_class c;
    for (const term& t : terms) {
        const unsigned long flip = t.x | t.y, signs = t.y | t.z;
        c.terms.push_back({t, 0, signs, parity(flip & signs) == 0});
    }
    return class_sums(slice, reinterpret_cast<const T*>(partner.data()), offset, c);
}

template std::vector<std::complex<double>> slice_sums(const std::vector<std::complex<double>>&,
                                                      const std::vector<std::complex<double>>&, unsigned long,
                                                      const std::vector<term>&);
template std::vector<std::complex<double>> slice_sums(const std::vector<std::complex<float>>&,
                                                      const std::vector<std::complex<float>>&, unsigned long,
                                                      const std::vector<term>&);

std::complex<double> y_factor(const term& t) { return y_phase(t.y); }

template <class T>
std::vector<double> expectations(const std::vector<std::complex<T>>& state,
                                 const std::vector<observable>& observables,
                                 const std::function<bool()>& keepGoing) {
    std::map<unsigned long, tile_class> classes;
    for (std::size_t o = 0; o < observables.size(); ++o) {
        for (const term& t : observables[o]) {
            const unsigned long flip = t.x | t.y, signs = t.y | t.z;
            // Below a tile's size the whole vector is one tile.
            const unsigned long high = state.size() > (1UL << kTileBits) ? flip >> kTileBits : 0;
            tile_class& c = classes[high];
            c.high = high;
            c.terms.push_back({t, o, signs, parity(flip & signs) == 0});
        }
    }
    std::vector<double> values(observables.size(), 0.0);
    const double norm = state_space::squaredNorm(state);
    if (norm == 0) return values;
    // Without a caller to ask, a class's terms are summed in one stretch.
    const std::size_t stretch =
        keepGoing ? std::max<std::size_t>(1, static_cast<std::size_t>(kProductsBetweenChecks /
                                                                      static_cast<double>(state.size())))
                  : static_cast<std::size_t>(-1);
    for (const auto& [high, c] : classes) {
        for (std::size_t first = 0; first < c.terms.size(); first += stretch) {
            if (keepGoing && !keepGoing()) throw run_stopped();
            const std::vector<std::complex<double>> sums =
                class_sums(state, reinterpret_cast<const T*>(state.data()), 0, c, first, stretch);
            for (std::size_t t = 0; t < sums.size(); ++t) {
                const placed_term& p = c.terms[first + t];
                // <psi|P|psi> is real for a Hermitian P: the imaginary part is rounding.
                const double value = (y_phase(p.t.y) * sums[t]).real();
                values[p.owner] += p.t.coefficient * value / norm;
            }
        }
    }
    return values;
}

template std::vector<double> expectations<double>(const std::vector<std::complex<double>>&,
                                                  const std::vector<observable>&, const std::function<bool()>&);
template std::vector<double> expectations<float>(const std::vector<std::complex<float>>&,
                                                 const std::vector<observable>&, const std::function<bool()>&);

}  // namespace pauli_sums
