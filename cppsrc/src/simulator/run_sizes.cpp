// The size checks a run makes before anything is allocated, and the bytes
// it is expected to take.
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "simulator/basic_simulator.h"
#include "simulator/spread_run.h"
#include "core/memory_budget.h"
#include "simulator/setup/run_memory.h"

using spread_run::spread_bits;

double BasicSimulator::estimated_bytes(int qnum, int /*cnum*/, int probability_bits, double amplitude_bytes) {
    return run_memory::state_bytes(qnum, probability_bits, amplitude_bytes);
}

int BasicSimulator::probability_bits(const simulator_options& options, int qnum) {
    // Shots drawn from the amplitudes need no probabilities at all.
    if (options.expectations_only || !options.probabilities) return 0;
    // A result over a few qubits, or keyed by a few classical bits (each
    // reads one lane), is summed straight from the amplitudes; a full result
    // reads every basis state's probability.
    if (options.mcbits) return std::min(qnum, static_cast<int>(options.mcbits->size()));
    if (options.mqubits.empty()) return qnum;
    int reported = 0;
    for (int q : options.mqubits) reported += q >= 0 && q < qnum;
    return reported;
}

namespace {

void check_register_shape(int qnum, int cnum) {
    if (qnum < 0 || cnum < 0) {
        throw std::invalid_argument("cannot simulate " + std::to_string(qnum) + " qubits and " +
                                    std::to_string(cnum) + " classical bits");
    }
    if (qnum > BasicSimulator::kMaxQubits) {
        throw std::invalid_argument("cannot simulate " + std::to_string(qnum) +
                                    " qubits: the state vector would have 2^" +
                                    std::to_string(qnum) + " amplitudes");
    }
}

}  // namespace

void BasicSimulator::check_register_size(int qnum, int cnum, double other_bytes, int probability_bits,
                                         double amplitude_bytes) {
    check_register_shape(qnum, cnum);
    // Refused at once when the machine cannot hold it at all; the run itself
    // reserves its memory in the process-wide budget.
    double needed = estimated_bytes(qnum, cnum, probability_bits, amplitude_bytes) + other_bytes;
    if (needed < memory_budget::kSmallBytes) return;  // not worth reading /proc for
    double available = memory_budget::free_bytes();
    if (needed > available) {
        std::string beside = other_bytes > 0 ? " beside the sub-circuits before them" : "";
        throw memory_budget::exceeded("cannot simulate " + std::to_string(qnum) + " qubits" + beside + ": " +
                                      memory_budget::mebibytes(needed) + " MiB needed, only " +
                                      memory_budget::mebibytes(std::max(available, 0.0)) +
                                      " MiB are available");
    }
}

void BasicSimulator::check_run_size(int qnum, int cnum, int probability_bits, double amplitude_bytes) {
    if (spread_bits(qnum) > 0)
        check_register_shape(qnum, cnum);
    else
        check_register_size(qnum, cnum, 0.0, probability_bits, amplitude_bytes);
}

