// One circuit, two ways, on the calling thread's CPUs: every gate as its own
// pass over the state (the kernels one by one) and the cache-blocked runs.
//   blocking_bench CIRCUIT.json [REPS]
// CIRCUIT.json is the race's neutral circuit: {"n": qubits, "ops": [{"g":
// name, "q": [qubits], "p": [radians]}, ...]}. Prints one JSON line:
// {"gates", "passes", "gate_by_gate_s", "blocked_s"} (medians of REPS runs).
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/gate_runs.h"
#include "engine/large_vectors.h"
#include "util/angles.h"

namespace {

using json = nlohmann::json;

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

gates::state_vector zeroState(unsigned long n) {
    gates::state_vector v = large_vectors::filled(std::size_t(1) << n, std::complex<double>());
    v[0] = 1.0;
    return v;
}

template <class Fn>
double medianSeconds(unsigned long n, int reps, Fn run) {
    std::vector<double> times;
    for (int r = 0; r < reps; ++r) {
        gates::state_vector v = zeroState(n);
        const auto start = std::chrono::steady_clock::now();
        run(v);
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
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
        const int reps = argc > 2 ? std::max(1, std::stoi(argv[2])) : 3;
        const std::vector<gate_unit> records = gatesOf(circuit);
        std::vector<gates::compiled_gate> compiled;
        for (const gate_unit& g : records) {
            gates::compiled_gate c;
            if (gates::compileGate(g, n, c)) compiled.push_back(c);
        }
        unsigned long passes = 0;
        const double blocked = medianSeconds(n, reps, [&](gates::state_vector& v) { passes = gates::runGates(v, compiled); });
        const double oneByOne = medianSeconds(n, reps, [&](gates::state_vector& v) {
            for (const gate_unit& g : records) g.execute(v);
        });
        std::cout << json{{"gates", compiled.size()}, {"passes", passes}, {"gate_by_gate_s", oneByOne},
                          {"blocked_s", blocked}}.dump()
                  << std::endl;
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "blocking_bench: " << e.what() << "\n";
        return 3;
    }
}
