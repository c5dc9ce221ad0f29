// The fused kernels in the cache, against the FMA units' peak.
//   fused_kernel_bench [QUBITS]      (default 14: 256 KiB, an L2 cache's worth)
// For each kind of product the fuser makes (diagonal, permutation with
// phases, sparse rows of 2, 4 and 8 entries, dense on 2 to 5 positions) it
// applies 100 such products on random positions of a state of QUBITS qubits,
// best of 7, one thread, and prints amplitude updates per second. The peak
// is measured, not taken from the clock's nominal rate (which boosting
// exceeds): ten independent chains of 256-bit FMA instructions, each four
// double multiply-adds; a complex multiply-add is four of them, so a product
// with w entries per row peaks at (FMA instructions per s) / w updates per s.
#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "engine/fusion/fuser.h"
#include "engine/fusion/gate_runs.h"

namespace {

using cd = std::complex<double>;
using clock_type = std::chrono::steady_clock;

__attribute__((target("avx2,fma"))) double fmaInstructionsPerSecond() {
    __m256d a0 = _mm256_set1_pd(1.0), a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0, a6 = a0, a7 = a0, a8 = a0, a9 = a0;
    const __m256d b = _mm256_set1_pd(0.9999999), c = _mm256_set1_pd(1e-9);
    const long rounds = 100000000;
    const auto start = clock_type::now();
    for (long i = 0; i < rounds; ++i) {
        a0 = _mm256_fmadd_pd(a0, b, c), a1 = _mm256_fmadd_pd(a1, b, c), a2 = _mm256_fmadd_pd(a2, b, c);
        a3 = _mm256_fmadd_pd(a3, b, c), a4 = _mm256_fmadd_pd(a4, b, c), a5 = _mm256_fmadd_pd(a5, b, c);
        a6 = _mm256_fmadd_pd(a6, b, c), a7 = _mm256_fmadd_pd(a7, b, c), a8 = _mm256_fmadd_pd(a8, b, c);
        a9 = _mm256_fmadd_pd(a9, b, c);
        __asm__ volatile("" : "+x"(a0), "+x"(a1), "+x"(a2), "+x"(a3), "+x"(a4), "+x"(a5), "+x"(a6), "+x"(a7),
                         "+x"(a8), "+x"(a9));
    }
    const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    return 10.0 * rounds / seconds;
}

gates::compiled_gate gate(gates::compiled_gate::kind_t kind, unsigned long target, unsigned long mask = 0) {
    gates::compiled_gate g;
    g.kind = kind;
    g.target = target;
    g.mask = mask;
    g.m[0] = cd(0.8, 0.6);  // a phase, or Rz's two
    g.m[1] = cd(0.6, -0.8);
    return g;
}

// Gates on `k` random positions of `qubits` whose product is of the kind
// asked for: `mixing` H gates on distinct positions (the row width is
// 2^mixing), the rest of the positions tied in by CNOTs and phases.
std::vector<gates::compiled_gate> product(unsigned qubits, unsigned k, unsigned mixing, bool phasesOnly,
                                          std::mt19937_64& rng) {
    std::vector<unsigned long> at(qubits);
    for (unsigned long p = 0; p < qubits; ++p) at[p] = p;
    std::shuffle(at.begin(), at.end(), rng);
    std::vector<gates::compiled_gate> out;
    for (unsigned j = 0; j + 1 < k; ++j) {
        if (phasesOnly)
            out.push_back(gate(gates::compiled_gate::UPPER_PHASE, 0, (1UL << at[j]) | (1UL << at[j + 1])));
        else
            out.push_back(gate(gates::compiled_gate::PAIR_SWAP, at[j + 1], 1UL << at[j]));
    }
    for (unsigned j = 0; j < k; ++j) out.push_back(gate(gates::compiled_gate::PAIR_DIAG, at[j]));
    for (unsigned j = 0; j < mixing; ++j) out.push_back(gate(gates::compiled_gate::PAIR_H, at[j]));
    return out;
}

struct kind {
    std::string name;
    unsigned positions, mixing;
    bool phasesOnly;
};

}  // namespace

int main(int argc, char** argv) {
    const unsigned qubits = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 14;
    const double fma = fmaInstructionsPerSecond();
    std::printf("{\"qubits\": %u, \"fma_instructions_per_s\": %.4g, \"kinds\": [\n", qubits, fma);
    const kind kinds[] = {{"diagonal", 5, 0, true},       {"permutation with phases", 5, 0, false},
                          {"sparse, 2 per row", 5, 1, false}, {"sparse, 4 per row", 5, 2, false},
                          {"sparse, 8 per row", 5, 3, false}, {"dense", 2, 2, false},
                          {"dense", 3, 3, false},          {"dense", 4, 4, false},
                          {"dense", 5, 5, false}};
    bool first = true;
    for (const kind& k : kinds) {
        std::mt19937_64 rng(k.positions * 10 + k.mixing);
        std::vector<gates::fused_run> runs;  // the steps point into their run's matrices
        std::vector<gates::compiled_gate> gates;
        unsigned long width = 0;
        for (int i = 0; i < 100; ++i) {
            gates::fused_run one = gates::fuseGates(product(qubits, k.positions, k.mixing, k.phasesOnly, rng),
                                                    {k.positions, 32});
            if (one.steps.size() != 1 || one.matrices.size() != 1) continue;  // not one product
            width = one.matrices[0]->rowWidth;
            runs.push_back(std::move(one));
            gates.push_back(runs.back().steps[0]);
        }
        const unsigned long matrices = gates.size();
        std::vector<cd> state(std::size_t(1) << qubits, cd(0.001, 0.0));
        double best = 1e300;
        for (int rep = 0; rep < 7; ++rep) {
            const auto start = clock_type::now();
            for (const gates::compiled_gate& g : gates) gates::applyGate(state.data(), state.size(), g);
            best = std::min(best, std::chrono::duration<double>(clock_type::now() - start).count());
        }
        const double updates = static_cast<double>(matrices) * static_cast<double>(state.size()) / best;
        std::printf("%s  {\"product\": \"%s\", \"positions\": %u, \"entries_per_row\": %lu, \"products\": %lu, "
                    "\"updates_per_s\": %.4g, \"peak_updates_per_s\": %.4g}",
                    first ? "" : ",\n", k.name.c_str(), k.positions, width, matrices, updates,
                    fma / static_cast<double>(std::max(width, 1UL)));
        first = false;
    }
    std::printf("\n]}\n");
}
