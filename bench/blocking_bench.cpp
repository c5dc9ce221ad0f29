// One circuit, two ways, on the calling thread's CPUs: every gate as its own
// pass over the state (the kernels one by one) and the cache-blocked runs.
//   blocking_bench CIRCUIT.json [REPS [QUBITSxROW_WIDTHdDENSE...]]
// CIRCUIT.json is the race's neutral circuit: {"n": qubits, "ops": [{"g":
// name, "q": [qubits], "p": [radians]}, ...]}. Prints one JSON line:
// {"gates", "passes", "gate_by_gate_s", "blocked_s"} (medians of REPS runs),
// "blocked_cpu_s" (the process's CPU time), and for each fusion size asked
// for (QUBITSxROW_WIDTHdDENSE_QUBITS, see fusion_limits; "4" keeps the default width and dense qubits),
// "fused": {"<limits>": {"steps", "matrices", "passes", "s", "cpu_s",
// "fuse_s", "max_error", "shapes"}}: the fused run's steps (matrices and gates
// left alone, and how many of each shape: positions x entries per row), passes, times, the time fusing took, and its largest amplitude
// difference from the exact run. A negative REPS skips the gate-by-gate
// timing. Limits ending in "f" ("4f") run in single precision, as a
// "precision": "single" call does (every step a float matrix).
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/fusion/fuser.h"
#include "engine/fusion/gate_runs.h"
#include "engine/parallel/large_vectors.h"
#include "ir/angles.h"

namespace {

using json = nlohmann::json;
using state_vector = std::vector<std::complex<double>>;

// The gate records of the circuit, angles in degrees as the translation hands them over.
std::vector<gate_unit> gatesOf(const json& circuit) {
    std::vector<gate_unit> out;
    for (const json& op : circuit.at("ops")) {
        const std::string name = op.at("g");
        if (name == "MEASURE" || op.contains("if"))
            throw std::invalid_argument("measurements and conditions are not timed here (op " + op.dump() + ")");
        const std::vector<unsigned long> q = op.at("q");
        if (q.size() == 1 && op.contains("p"))
            out.emplace_back(name, q[0], angles::degrees_in_720(op.at("p").at(0).get<double>()));
        else if (q.size() == 1)
            out.emplace_back(name, q[0]);
        else if (q.size() == 2)
            out.emplace_back(name, q[0], q[1]);
        else if (q.size() == 3)
            out.emplace_back(name, q[0], q[1], q[2]);
        else
            throw std::invalid_argument("an op needs one to three qubits: " + op.dump());
    }
    return out;
}

state_vector zeroState(unsigned long n) {
    state_vector v = large_vectors::filled(std::size_t(1) << n, std::complex<double>());
    v[0] = 1.0;
    return v;
}

double processCpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Medians of REPS runs: wall time, and the CPU time of the process (which a
// machine busy with other work inflates far less on one thread).
struct timing {
    double wall, cpu;
};

template <class Amplitude = std::complex<double>, class Fn>
timing medianSeconds(unsigned long n, int reps, Fn run) {
    std::vector<double> walls, cpus;
    for (int r = 0; r < reps; ++r) {
        std::vector<Amplitude> v = large_vectors::filled(std::size_t(1) << n, Amplitude());
        v[0] = 1.0;
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = processCpuSeconds();
        run(v);
        cpus.push_back(processCpuSeconds() - cpuStart);
        walls.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(walls.begin(), walls.end());
    std::sort(cpus.begin(), cpus.end());
    return {walls[walls.size() / 2], cpus[cpus.size() / 2]};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: blocking_bench CIRCUIT.json [REPS]\n";
        return 2;
    }
    try {
        std::ifstream in(argv[1]);
        if (!in) throw std::invalid_argument(std::string("cannot read ") + argv[1]);
        const json circuit = json::parse(in);
        const unsigned long n = circuit.at("n");
        const int reps = argc > 2 ? std::max(1, std::abs(std::stoi(argv[2]))) : 3;
        const std::vector<gate_unit> records = gatesOf(circuit);
        std::vector<gates::compiled_gate> compiled;
        for (const gate_unit& g : records) {
            gates::compiled_gate c;
            if (gates::compileGate(g, n, c)) compiled.push_back(c);
        }
        const bool oneByOneToo = argc <= 2 || std::stoi(argv[2]) > 0;
        unsigned long passes = 0;
        const timing blocked = medianSeconds(n, reps, [&](state_vector& v) { passes = gates::runGates(v, compiled); });
        json out{{"gates", compiled.size()}, {"passes", passes}, {"blocked_s", blocked.wall}, {"blocked_cpu_s", blocked.cpu}};
        if (oneByOneToo)
            out["gate_by_gate_s"] = medianSeconds(n, reps, [&](state_vector& v) {
                for (const gate_unit& g : records) g.execute(v);
            }).wall;
        if (argc > 3) {
            state_vector exact = zeroState(n);
            gates::runGates(exact, compiled);
            for (int a = 3; a < argc; ++a) {
                const std::string limit = argv[a];
                const std::size_t by = limit.find('x');
                gates::fusion_limits limits;
                limits.qubits = static_cast<unsigned>(std::stoul(limit.substr(0, by)));
                if (by != std::string::npos) limits.rowWidth = static_cast<unsigned>(std::stoul(limit.substr(by + 1)));
                const std::size_t dense = limit.find('d');
                if (dense != std::string::npos) limits.denseQubits = static_cast<unsigned>(std::stoul(limit.substr(dense + 1)));
                const bool single = limit.back() == 'f';
                limits.splitPermutations = !single;
                const auto start = std::chrono::steady_clock::now();
                gates::fused_run fused = gates::fuseGates(compiled, limits);
                if (single) gates::matricesOnly(fused);
                gates::orderForTiles(fused, std::size_t(1) << n,
                                     single ? sizeof(std::complex<float>) : sizeof(std::complex<double>));
                const double fuseSeconds =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                unsigned long fusedPasses = 0;
                double error = 0;
                timing seconds{};
                const auto run = [&](auto zero) {
                    using amplitude = decltype(zero);
                    seconds = medianSeconds<amplitude>(n, reps, [&](std::vector<amplitude>& v) {
                        fusedPasses = gates::runGates(v, fused.steps);
                    });
                    std::vector<amplitude> v(std::size_t(1) << n);
                    v[0] = 1.0;
                    gates::runGates(v, fused.steps);
                    for (std::size_t k = 0; k < v.size(); ++k)
                        error = std::max(error, std::abs(std::complex<double>(v[k]) - exact[k]));
                };
                if (single)
                    run(std::complex<float>());
                else
                    run(std::complex<double>());
                json shapes = json::object();  // steps by positions x entries per row ("gate": left alone)
                for (const gates::compiled_gate& step : fused.steps) {
                    const std::string shape = step.kind != gates::compiled_gate::FUSED
                                                  ? "gate"
                                                  : std::to_string(step.fused->qubits) + "x" +
                                                        std::to_string(step.fused->rowWidth);
                    shapes[shape] = shapes.value(shape, 0) + 1;
                }
                out["fused"][argv[a]] = {{"steps", fused.steps.size()}, {"matrices", fused.matrices.size()},
                                         {"shapes", shapes},
                                         {"passes", fusedPasses}, {"s", seconds.wall}, {"cpu_s", seconds.cpu},
                                         {"fuse_s", fuseSeconds},
                                         {"max_error", error}};
            }
        }
        std::cout << out.dump() << std::endl;
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "blocking_bench: " << e.what() << "\n";
        return 3;
    }
}
