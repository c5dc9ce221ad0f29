#include "engine/fusion/gate_runs.h"

#include "engine/kernels/bit_positions.h"
#include "engine/kernels/cpu_paths.h"
#include "engine/kernels/fused_kernels.h"
#include "engine/kernels/kernel_arith.h"
#include "engine/parallel/share_out.h"
#include "engine/parallel/side_by_side.h"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <stdexcept>
#include <system_error>
#include <type_traits>
#include <thread>
#include <utility>

namespace gates {

namespace {

// The kernels' constants and helpers, so that every update rounds exactly
// as there.
using namespace arith;

// Amplitudes a tile holds: 2^16 (1 MiB), in a core's L2 cache where it is
// that large, else partly in the shared L3 (tiles of 2^18 and 2^19 made
// fewer passes on a 512 KiB L2 but ran no faster).
constexpr unsigned long TILE_BITS = 16;
// Tiles are made of contiguous segments of at least 2^10 amplitudes (16 KiB),
// long enough for the hardware prefetchers.
constexpr unsigned long SEGMENT_BITS = 10;
// Tiles hold at most 2^MAX_HIGH segments (TILE_BITS - SEGMENT_BITS, or the
// three positions of one gate), twice as many of float amplitudes.
constexpr unsigned long MAX_HIGH = 6;
// Below this many amplitudes (4 MiB) one thread does everything.
constexpr unsigned long PARALLEL_SIZE = 1UL << 18;

struct parts {
    double r, i;
};
inline parts loadParts(const cd& x) {
    return {reinterpret_cast<const double*>(&x)[0], reinterpret_cast<const double*>(&x)[1]};
}
inline void storeParts(cd& x, parts v) {
    reinterpret_cast<double*>(&x)[0] = v.r;
    reinterpret_cast<double*>(&x)[1] = v.i;
}

// A gate as it acts inside the tiles of one stretch: positions below the
// segment bits stay within a segment; the stretch's high positions are bits
// of the segment number.
struct tile_gate {
    const compiled_gate* gate;
    unsigned long lowTarget;    // 2^target when the target is inside a segment, else 0
    unsigned long lowMask;      // controls (pairs) or mask (upper) inside a segment
    unsigned long lowZeros;     // positions inside a segment that must be clear
    unsigned long highTarget;   // segment-number bit of the target, else 0
    unsigned long highMask;     // segment-number bits that must be set
    unsigned long highZeros;    // segment-number bits that must be clear
    unsigned long fixedMask;    // bits that pick the tile and must be set for the gate to act on it
    unsigned long fixedZeros;   // bits that pick the tile and must be clear
    // Whether the gate acts on the tile whose picking bits are `at`.
    bool actsOn(unsigned long at) const { return (at & fixedMask) == fixedMask && (at & fixedZeros) == 0; }
};

// The per-tile code, twice: for any x86-64 and for AVX2. Both compute every
// amplitude with the same operations in the same order (no FMA contraction).
namespace generic {
struct ops {
    using T = parts;
    using factor = parts;
    static constexpr unsigned long width = 1;
    static T load(const cd* p) { return loadParts(*p); }
    static void store(cd* p, T v) { storeParts(*p, v); }
    static T add(T a, T b) { return {a.r + b.r, a.i + b.i}; }
    static T sub(T a, T b) { return {a.r - b.r, a.i - b.i}; }
    static factor make(cd b) { return {b.real(), b.imag()}; }
    // (ar br - ai bi, ar bi + ai br): std::complex's product.
    static T mul(T a, factor b) { return {a.r * b.r - a.i * b.i, a.r * b.i + a.i * b.r}; }
    static T over(T a, double d) { return {a.r / d, a.i / d}; }
    static T timesMinusOne(T a) { return {a.r * -1.0, a.i * -1.0}; }
    static T negative(T a) { return {-a.r, -a.i}; }
    // Regrouping of neighbouring pairs: only registers of two amplitudes need it.
    static void unzip(const cd*, T&, T&) {}
    static void zip(cd*, T, T) {}
};
using scalar_ops = ops;
#include "engine/fusion/gate_runs_tile.inc"
}  // namespace generic

#pragma GCC push_options
#pragma GCC target("avx2")
namespace wide {
// Two amplitudes per register, [re0, im0, re1, im1].
struct ops {
    using T = __m256d;
    struct factor {
        __m256d re;  // [br, br, br, br]
        __m256d im;  // [-bi, bi, -bi, bi]
    };
    static constexpr unsigned long width = 2;
    static T load(const cd* p) { return _mm256_loadu_pd(reinterpret_cast<const double*>(p)); }
    static void store(cd* p, T v) { _mm256_storeu_pd(reinterpret_cast<double*>(p), v); }
    static T add(T a, T b) { return _mm256_add_pd(a, b); }
    static T sub(T a, T b) { return _mm256_sub_pd(a, b); }
    static factor make(cd b) {
        return {_mm256_set1_pd(b.real()), _mm256_setr_pd(-b.imag(), b.imag(), -b.imag(), b.imag())};
    }
    // [ar br + ai (-bi), ai br + ar bi]: ar br - ai bi and ar bi + ai br to
    // the last bit, since x (-y) = -(x y) and a + (-b) = a - b exactly.
    static T mul(T a, const factor& b) {
        const T swapped = _mm256_permute_pd(a, 0x5);
        return _mm256_add_pd(_mm256_mul_pd(a, b.re), _mm256_mul_pd(swapped, b.im));
    }
    static T over(T a, double d) { return _mm256_div_pd(a, _mm256_set1_pd(d)); }
    static T timesMinusOne(T a) { return _mm256_mul_pd(a, _mm256_set1_pd(-1.0)); }
    static T negative(T a) { return _mm256_xor_pd(a, _mm256_set1_pd(-0.0)); }
    // Four amplitudes a0 a1 b0 b1 to [a0, b0] and [a1, b1], and back.
    static void unzip(const cd* p, T& x0, T& x1) {
        const T v0 = load(p), v1 = load(p + 2);
        x0 = _mm256_permute2f128_pd(v0, v1, 0x20);
        x1 = _mm256_permute2f128_pd(v0, v1, 0x31);
    }
    static void zip(cd* p, T x0, T x1) {
        store(p, _mm256_permute2f128_pd(x0, x1, 0x20));
        store(p + 2, _mm256_permute2f128_pd(x0, x1, 0x31));
    }
};
using scalar_ops = generic::ops;
#include "engine/fusion/gate_runs_tile.inc"
}  // namespace wide
#pragma GCC pop_options


void applyToTile(cd* const* segments, unsigned long count, unsigned long length, const tile_gate& g) {
    if (g.gate->kind == compiled_gate::FUSED)
        applyFusedToTile(segments, count, length, g.lowMask, g.highMask, *g.gate->fused);
    else if (cpu_paths::avx2())
        wide::applyToTile(segments, count, length, g);
    else
        generic::applyToTile(segments, count, length, g);
}

// Single precision takes every gate as a matrix (runGates checks).
void applyToTile(std::complex<float>* const* segments, unsigned long count, unsigned long length,
                 const tile_gate& g) {
    applyFusedToTile(segments, count, length, g.lowMask, g.highMask, *g.gate->fused);
}

// A stretch of consecutive gates whose high positions fit one tile.
struct stretch {
    std::size_t first, last;  // gates [first, last)
    unsigned long high;       // the positions at or above the segment bits its tiles span
};

template <class T>
void runStretch(std::vector<std::complex<T>>& state, const std::vector<compiled_gate>& gates, const stretch& s,
                unsigned long segmentBits, unsigned threads) {
    const unsigned long size = state.size();
    const unsigned long length = 1UL << segmentBits;
    const unsigned long highMask = s.high;
    const unsigned long count = 1UL << popcount(highMask);  // segments in a tile
    const unsigned long segmentMask = length - 1;
    const unsigned long tileBits = segmentMask | highMask;  // bits that vary inside a tile
    const unsigned long freeMask = (size - 1) & ~tileBits;  // bits that pick the tile
    const unsigned long tiles = size >> (segmentBits + popcount(highMask));

    // Where each high position sits in the segment number.
    unsigned long highBits[64];
    int h = 0;
    for (unsigned long m = highMask; m; m &= m - 1) highBits[h++] = lowestBit(m);
    auto toSegmentBits = [&](unsigned long positions) {
        unsigned long out = 0;
        for (int k = 0; k < h; ++k)
            if (positions & highBits[k]) out |= 1UL << k;
        return out;
    };

    std::vector<tile_gate> local;
    local.reserve(s.last - s.first);
    for (std::size_t i = s.first; i < s.last; ++i) {
        const compiled_gate& c = gates[i];
        tile_gate g{&c,
                    0,
                    c.mask & segmentMask,
                    c.zeros & segmentMask,
                    0,
                    toSegmentBits(c.mask),
                    toSegmentBits(c.zeros),
                    c.mask & freeMask,
                    c.zeros & freeMask};
        if (c.isPair()) {
            const unsigned long t = bit(c.target);
            if (t & segmentMask)
                g.lowTarget = t;
            else
                g.highTarget = toSegmentBits(t);
        }
        local.push_back(g);
    }
    std::vector<unsigned long> offsets(count);
    for (unsigned long j = 0; j < count; ++j) offsets[j] = deposit(j, highMask);

    std::complex<T>* const data = state.data();
    shareOut(tiles, threads, [&](unsigned long begin, unsigned long end) {
        std::array<std::complex<T>*, 1UL << (MAX_HIGH + 1)> segments;  // no allocation on the workers
        for (unsigned long tile = begin; tile < end; ++tile) {
            const unsigned long at = deposit(tile, freeMask);
            for (unsigned long j = 0; j < count; ++j) segments[j] = data + at + offsets[j];
            for (const tile_gate& g : local)
                if (g.actsOn(at)) applyToTile(segments.data(), count, length, g);
        }
    });
}

// One gate in a pass of its own: segments end below its lowest positions so
// that at most MAX_HIGH of them lie above.
template <class T>
void runAlone(std::vector<std::complex<T>>& state, const std::vector<compiled_gate>& gates, std::size_t i,
              unsigned threads) {
    const unsigned long positions = gates[i].tilePositions();
    unsigned long segmentBits = 0;
    while (popcount(positions >> segmentBits) > static_cast<int>(MAX_HIGH)) ++segmentBits;
    const unsigned long high = positions & ~((1UL << segmentBits) - 1);
    runStretch(state, gates, stretch{i, i + 1, high}, segmentBits, threads);
}

}  // namespace

void applyGate(cd* amplitudes, unsigned long size, const compiled_gate& gate) {
    const tile_gate g{&gate, gate.isPair() ? bit(gate.target) : 0, gate.mask, gate.zeros, 0, 0, 0, 0, 0};
    cd* const segments[] = {amplitudes};
    if (gate.kind == compiled_gate::FUSED)
        applyFusedToTile(segments, 1, size, gate.mask, 0, *gate.fused);
    else
        generic::applyToTile(segments, 1, size, g);
}

unsigned workerCount(unsigned long size) {
    if (size < PARALLEL_SIZE) return 1;
    return parallel::cpus_for_this_thread();
}

tile_shape tileShape(unsigned long size, std::size_t amplitudeBytes) {
    const unsigned long qubits = qubitCount(size);
    const unsigned threads = workerCount(size);
    // A tile holds the same bytes in either precision: a float tile has
    // twice the amplitudes, room for one more high position.
    const unsigned long wider = amplitudeBytes < sizeof(cd) ? 1 : 0;
    // Tile size, in bits; with several threads keep at least one tile each.
    unsigned long tileBits = std::min(TILE_BITS + wider, qubits);
    while (threads > 1 && tileBits > 0 && (1UL << (qubits - tileBits)) < threads) --tileBits;
    // At most three positions of a gate may lie above the segment bits.
    const unsigned long highRoom = std::min(
        tileBits, std::min(MAX_HIGH + wider, std::max(3UL, tileBits - std::min(tileBits, SEGMENT_BITS))));
    return tile_shape{tileBits - highRoom, highRoom};
}

template <class T>
unsigned long runGates(std::vector<std::complex<T>>& state, const std::vector<compiled_gate>& gates,
                       const keep_going& keepGoing) {
    if constexpr (std::is_same_v<T, float>) {
        for (const compiled_gate& g : gates)
            if (g.kind != compiled_gate::FUSED || g.fused->singleRows.empty())
                throw std::invalid_argument("single-precision runs take every gate as a float matrix");
    }
    const unsigned long size = state.size();
    if (gates.empty() || size < 2 || (size & (size - 1)) != 0) return 0;
    const unsigned threads = workerCount(size);
    const tile_shape shape = tileShape(size, sizeof(std::complex<T>));
    const unsigned long highRoom = shape.highRoom;
    const unsigned long segmentBits = shape.segmentBits;
    const unsigned long segmentMask = (1UL << segmentBits) - 1;

    stretch s{0, 0, 0};
    unsigned long passes = 0;
    bool going = true;
    // Runs the gathered stretch, if any, and asks whether to go on.
    const auto finish = [&](std::size_t next) {
        if (s.last > s.first) {
            runStretch(state, gates, s, segmentBits, threads);
            ++passes;
            going = !keepGoing || keepGoing();
        }
        s = stretch{next, next, 0};
    };
    for (std::size_t i = 0; i < gates.size() && going; ++i) {
        const unsigned long high = gates[i].tilePositions() & ~segmentMask;
        if (static_cast<unsigned long>(popcount(high)) > highRoom) {
            // A fused product on more high positions than a tile holds gets
            // a pass of its own, with segments short enough to keep its high
            // positions to MAX_HIGH.
            finish(i);
            if (!going) break;
            runAlone(state, gates, i, threads);
            ++passes;
            going = !keepGoing || keepGoing();
            s = stretch{i + 1, i + 1, 0};
            continue;
        }
        if (static_cast<unsigned long>(popcount(s.high | high)) > highRoom) finish(i);
        if (!going) break;
        s.high |= high;
        s.last = i + 1;
    }
    if (going) finish(gates.size());
    return passes;
}

template unsigned long runGates<double>(std::vector<std::complex<double>>&, const std::vector<compiled_gate>&,
                                       const keep_going&);
template unsigned long runGates<float>(std::vector<std::complex<float>>&, const std::vector<compiled_gate>&,
                                      const keep_going&);

}  // namespace gates
