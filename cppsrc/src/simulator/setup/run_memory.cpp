#include "simulator/setup/run_memory.h"

#include <cmath>
#include <string>

namespace run_memory {

namespace {

// Bytes of a double-precision amplitude and of a probability.
constexpr double kAmplitudeBytes = 16;
constexpr double kProbabilityBytes = 8;

}  // namespace

double state_bytes(int lanes, int summed, double amplitude_bytes) {
    return std::ldexp(amplitude_bytes, lanes) +
           (summed < 0 ? std::ldexp(kProbabilityBytes, lanes) : std::ldexp(kProbabilityBytes, summed));
}

memory_budget::reservation state_vector(int qnum, unsigned long lanes, unsigned long reuses, int summed,
                                        double amplitude_bytes) {
    std::string what = "the state vector and probabilities of " + std::to_string(qnum) + " qubits";
    if (reuses > 0) {
        what += " with " + std::to_string(reuses) + " reuses of measured or reset qubits (each adds a record qubit: " +
                std::to_string(lanes) + " qubits in all)";
    }
    return memory_budget::reserve(state_bytes(static_cast<int>(lanes), summed, amplitude_bytes), what);
}

memory_budget::reservation density_matrix(int qubits, int summed) {
    const double bytes = std::ldexp(kAmplitudeBytes, 2 * qubits) + std::ldexp(kProbabilityBytes, summed);
    return memory_budget::reserve(bytes, "the density matrix of " + std::to_string(qubits) + " qubits (4^" +
                                             std::to_string(qubits) + " amplitudes) and its probabilities");
}

memory_budget::reservation trajectories(unsigned threads, int qubits) {
    return memory_budget::reserve(
        threads * (std::ldexp(kAmplitudeBytes, qubits) + std::ldexp(kProbabilityBytes, qubits)),
        std::to_string(threads) + " trajectories of " + std::to_string(qubits) + " qubits side by side");
}

}  // namespace run_memory
