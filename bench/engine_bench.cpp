// Kernel throughput against memory bandwidth: every kernel is one in-place
// pass, so a plain copy of the same vector is the natural yardstick.
//   build/.../bench/engine_bench --benchmark_min_time=1
#include <benchmark/benchmark.h>

#include <algorithm>
#include <complex>
#include <vector>

#include "engine/kernels.h"

namespace {

using state_vector = std::vector<std::complex<double>>;

state_vector uniform(unsigned long qubits) {
    const unsigned long size = 1UL << qubits;
    return state_vector(size, std::complex<double>(1.0, 0.5));
}

void setBytes(benchmark::State& state, unsigned long size) {
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size * sizeof(std::complex<double>)));
}

void BM_Copy(benchmark::State& state) {
    const unsigned long n = state.range(0);
    const state_vector source = uniform(n);
    state_vector target(source.size());
    for (auto _ : state) {
        std::copy(source.begin(), source.end(), target.begin());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    setBytes(state, source.size());
}

// range(1) chooses the bit position of the gate's (last) qubit: 0 is the
// least significant bit, so the pairs are adjacent; n - 1 the most.
void BM_H(benchmark::State& state) {
    const unsigned long n = state.range(0), pos = state.range(1) ? n - 1 : 0;
    state_vector v = uniform(n);
    for (auto _ : state) {
        gates::executeGateH(v, pos);
        benchmark::ClobberMemory();
    }
    setBytes(state, v.size());
}

void BM_CNOT(benchmark::State& state) {
    const unsigned long n = state.range(0), target = state.range(1) ? n - 2 : 0;
    state_vector v = uniform(n);
    for (auto _ : state) {
        gates::executeGateCNOT(v, n - 1, target);
        benchmark::ClobberMemory();
    }
    setBytes(state, v.size());
}

void BM_CCX(benchmark::State& state) {
    const unsigned long n = state.range(0), target = state.range(1) ? n - 3 : 0;
    state_vector v = uniform(n);
    for (auto _ : state) {
        gates::executeGateCCX(v, n - 1, n - 2, target);
        benchmark::ClobberMemory();
    }
    setBytes(state, v.size());
}

void sizes(benchmark::internal::Benchmark* b) {
    for (long n : {20, 24}) b->Args({n, 0});
}

void sizesAndPositions(benchmark::internal::Benchmark* b) {
    for (long n : {20, 24})
        for (long high : {0, 1}) b->Args({n, high});
}

}  // namespace

BENCHMARK(BM_Copy)->Apply(sizes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_H)->Apply(sizesAndPositions)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CNOT)->Apply(sizesAndPositions)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CCX)->Apply(sizesAndPositions)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
