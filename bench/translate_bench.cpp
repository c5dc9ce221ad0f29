// What share of a simulation goes to reading the graph, placing the program
// and fusing its gates: a random 20-qubit circuit of 500 gates, built by the
// project's graph builder in an embedded interpreter, timed step by step and
// through the whole simulate() (placement, fused state-vector run,
// probabilities).
//   taskset -c 0 build/.../bench/translate_bench
#include <benchmark/benchmark.h>
#include <pybind11/embed.h>

#include <complex>
#include <vector>

#include "engine/fusion/fuser.h"
#include "engine/run/measurement_record.h"
#include "graph/graph_program.h"
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

program::sub_circuit readProgram(const fixture& f) {
    return frontend::read_sub_circuit(graph_attributes::graph_reader(f.g), f.vertices, 20, 0);
}

void BM_Read20x500(benchmark::State& state) {
    fixture& f = circuitGraph();
    for (auto _ : state) benchmark::DoNotOptimize(readProgram(f));
}

void BM_Place20x500(benchmark::State& state) {
    const program::sub_circuit sub = readProgram(circuitGraph());
    for (auto _ : state) benchmark::DoNotOptimize(BasicSimulator::place(sub));
}

void BM_CompileAndFuse20x500(benchmark::State& state) {
    const placement::placed_run placed = BasicSimulator::place(readProgram(circuitGraph()));
    for (auto _ : state) {
        measurement_record record(placed.run.qubits, placed.run.clbits);
        gates::fused_run fused = gates::fuseGates(compileSliced(placed.run, record));
        gates::orderForTiles(fused, 1UL << 20);
        benchmark::DoNotOptimize(fused);
    }
}

void BM_Simulate20x500(benchmark::State& state) {
    const program::sub_circuit sub = readProgram(circuitGraph());
    BasicSimulator sim;
    simulator_options options;
    run_context context;
    std::vector<std::complex<double>> states;
    run_request request{options, context, states};
    for (auto _ : state) {
        std::vector<double> p = sim.simulate(sub, request);
        benchmark::DoNotOptimize(p.data());
    }
}

}  // namespace

BENCHMARK(BM_Read20x500)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Place20x500)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompileAndFuse20x500)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Simulate20x500)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
