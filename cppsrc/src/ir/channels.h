// Quantum channels by name, as Kraus operators (program::kraus_channel):
// what noise descriptions and "KRAUS" vertices are made into. Each maker
// checks its parameters and throws invalid_channel naming the one at fault.
#pragma once

#include <array>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ir/program.h"

namespace program::channels {

struct invalid_channel : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// How far sum K^dagger K may be from the identity, entry by entry.
constexpr double kTraceTolerance = 1e-8;

// Channels act on at most this many qubits: a "KRAUS" vertex, a Pauli or a
// depolarizing channel, a noise rule's channel.
constexpr unsigned kMaxQubits = 2;

// Given operators, each 2^m by 2^m (row-major, m of 1 to 2): checked for
// shape and for keeping the trace.
kraus_channel kraus(std::vector<std::vector<std::complex<double>>> operators);

// (1 - p) rho + p Tr(rho) 1 / 2^m on m qubits, for 0 <= p <= 4^m / (4^m - 1):
// each non-identity Pauli string with probability p / 4^m.
kraus_channel depolarizing(double p, unsigned qubits);
// Pauli strings ("X", "IZ", ...: the first character on the first qubit)
// with their probabilities, the identity taking what they leave of 1.
kraus_channel pauli(const std::vector<std::pair<std::string, double>>& terms);
// |1> decays to |0> with probability gamma.
kraus_channel amplitudeDamping(double gamma);
// Coherences scaled by sqrt(1 - lambda).
kraus_channel phaseDamping(double lambda);
// Relaxation towards |0> for `time` with times T1 and T2 (T2 <= 2 T1): the
// population of |1> scaled by exp(-time/T1), coherences by exp(-time/T2).
kraus_channel thermalRelaxation(double t1, double t2, double time);

// A readout error: `probabilities[2 t + r]` is the probability of recording
// r where the outcome is t; each row must sum to 1.
std::array<double, 4> readoutError(const std::vector<double>& probabilities);

}  // namespace program::channels
