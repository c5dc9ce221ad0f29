// What share of a simulation goes to reading the graph and translating it:
// a random 20-qubit circuit of 500 gates, built by the project's graph builder
// in an embedded interpreter, timed through translate() alone and through the
// whole simulate() (translation, state-vector run, probabilities).
//   build/.../bench/translate_bench
#include <benchmark/benchmark.h>
#include <pybind11/embed.h>

#include <complex>
#include <vector>

#include "simulator/basic_simulator.h"

namespace py = pybind11;

namespace {

const char* const kBuild = R"(
import random, sys
sys.path.insert(0, PYTHON_DIR)
from kovra.builder import CircuitBuilder
def build(n, gates, seed):
    rng = random.Random(seed)
    b = CircuitBuilder()
    b.qreg(n)
    one = ["H", "X", "Y", "Z", "S", "T", "X90", "Y90"]
    for _ in range(gates):
        r = rng.random()
        if r < 0.3:
            c, t = rng.sample(range(n), 2)
            b.gate("CNOT", [c, t])
        elif r < 0.6:
            b.gate(rng.choice(["Rx", "Ry", "Rz", "P"]), [rng.randrange(n)], params=[rng.uniform(-3, 3)])
        else:
            b.gate(rng.choice(one), [rng.randrange(n)])
    return b
)";

struct fixture {
    fixture() {
        py::dict scope = py::module_::import("__main__").attr("__dict__");
        scope["PYTHON_DIR"] = KOVRA_PYTHON_DIR;
        py::module_::import("sys").attr("path").attr("insert")(0, KOVRA_SITE_PACKAGES);
        py::exec(kBuild, scope);
        builder = scope["build"](20, 500, 1);
        graph = builder.attr("graph")();
        py::capsule capsule = builder.attr("capsule")();
        g = capsule.get_pointer<const igraph_t>();
        long count = py::len(graph.attr("vs"));
        for (int v = 0; v < count; ++v) vertices.push_back(v);  // the builder adds vertices in order
    }
    py::object builder, graph;
    const igraph_t* g = nullptr;
    std::vector<int> vertices;
};

fixture& circuitGraph() {
    static py::scoped_interpreter interpreter;
    static fixture f;
    return f;
}

void BM_Translate20x500(benchmark::State& state) {
    fixture& f = circuitGraph();
    BasicSimulator sim;
    for (auto _ : state) {
        std::vector<int> order = f.vertices;
        circuit c = sim.translate(f.g, order, 20, 0);
        benchmark::DoNotOptimize(c);
    }
}

void BM_Simulate20x500(benchmark::State& state) {
    fixture& f = circuitGraph();
    BasicSimulator sim;
    std::vector<std::complex<double>> states;
    for (auto _ : state) {
        std::vector<int> order = f.vertices;
        std::vector<double> p = sim.simulate(f.g, order, 20, 0, states, false);
        benchmark::DoNotOptimize(p.data());
    }
}

}  // namespace

BENCHMARK(BM_Translate20x500)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Simulate20x500)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
