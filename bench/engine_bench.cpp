// Kernel throughput against memory bandwidth: every kernel is one in-place
// pass, so a plain copy of the same vector is the natural yardstick.
//   build/.../bench/engine_bench --benchmark_min_time=1
#include <benchmark/benchmark.h>

#include <algorithm>
#include <complex>
#include <random>
#include <vector>

#include "engine/fusion/gate_runs.h"
#include "reference/kernels.h"

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

// The memory-bandwidth limit of a gate: one in-place pass multiplying every
// amplitude by a constant.
void BM_InPlacePass(benchmark::State& state) {
    const unsigned long n = state.range(0);
    state_vector v = uniform(n);
    const std::complex<double> c(0.999, 0.001);
    for (auto _ : state) {
        for (auto& a : v) a *= c;
        benchmark::ClobberMemory();
    }
    setBytes(state, v.size());
}

// Depth-20 layers of random one- and two-qubit gates, every qubit once a layer.
std::vector<gate_unit> layeredCircuit(unsigned long n) {
    std::mt19937_64 rng(n);
    const char* const one[] = {"H", "X", "Y", "Z", "S", "T", "X90", "Y90"};
    const char* const angled[] = {"Rx", "Ry", "Rz", "P"};
    std::vector<gate_unit> gates;
    for (int layer = 0; layer < 20; ++layer) {
        std::vector<unsigned long> q(n);
        for (unsigned long i = 0; i < n; ++i) q[i] = i;
        std::shuffle(q.begin(), q.end(), rng);
        while (!q.empty()) {
            const unsigned long a = q.back();
            q.pop_back();
            if (rng() % 10 < 3 && !q.empty()) {
                gates.emplace_back("CNOT", a, q.back());
                q.pop_back();
            } else if (rng() % 2) {
                gates.emplace_back(one[rng() % 8], a);
            } else {
                gates.emplace_back(angled[rng() % 4], a, double(rng() % 720));
            }
        }
    }
    return gates;
}

void BM_LayeredGateByGate(benchmark::State& state) {
    const unsigned long n = state.range(0);
    const std::vector<gate_unit> gates = layeredCircuit(n);
    state_vector v = uniform(n);
    for (auto _ : state) {
        for (const gate_unit& g : gates) g.execute(v);
        benchmark::ClobberMemory();
    }
    state.counters["gates"] = gates.size();
}

void BM_LayeredRuns(benchmark::State& state) {
    const unsigned long n = state.range(0);
    std::vector<gates::compiled_gate> compiled;
    for (const gate_unit& g : layeredCircuit(n)) {
        gates::compiled_gate c;
        if (gates::compileGate(g, n, c)) compiled.push_back(c);
    }
    state_vector v = uniform(n);
    for (auto _ : state) {
        gates::runGates(v, compiled);
        benchmark::ClobberMemory();
    }
    state.counters["gates"] = compiled.size();
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

BENCHMARK(BM_InPlacePass)->DenseRange(20, 24, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LayeredGateByGate)->Arg(16)->DenseRange(20, 24, 2)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_LayeredRuns)->Arg(16)->DenseRange(20, 24, 2)->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK_MAIN();
