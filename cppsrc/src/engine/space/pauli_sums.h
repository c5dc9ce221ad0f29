// Expectation values of sums of Pauli strings on a state vector, exact.
//
// A Pauli string P maps basis state i to phase(i) |i ^ flip>, flip holding
// the positions of its X and Y factors, so <psi|P|psi> is the sum over i of
// conj(psi[i ^ flip]) psi[i] phase(i). Terms are grouped by their flip mask:
// one pass over the vector serves every term of a group, each adding its
// own sign pattern; a diagonal group (Z and I only) reads |psi[i]|^2.
#pragma once

#include <complex>
#include <functional>
#include <vector>

namespace pauli_sums {

using state_vector = std::vector<std::complex<double>>;

// One term: coefficient times the product of the factors, on bit positions
// of the state's index.
struct term {
    unsigned long x = 0;  // positions with X
    unsigned long y = 0;  // positions with Y
    unsigned long z = 0;  // positions with Z
    double coefficient = 0;
};
using observable = std::vector<term>;

// <psi|O|psi> / <psi|psi> for each observable. The vector need not be
// normalised; float amplitudes are summed in double. `keepGoing`, when
// given, is asked between stretches of terms on the calling thread; false
// stops the sums with run_stopped (run_stopped.h).
template <class T>
std::vector<double> expectations(const std::vector<std::complex<T>>& state,
                                 const std::vector<observable>& observables,
                                 const std::function<bool()>& keepGoing = {});

// For a vector spread over slices: each term's sum over this slice's
// indices i of conj(partner[i ^ flip]) slice[i] (-1)^|(offset + i) & (y|z)|,
// `partner` the slice that holds the partners (the terms' flips already cut
// to the slice's positions), `offset` the global index of slice[0].
template <class T>
std::vector<std::complex<double>> slice_sums(const std::vector<std::complex<T>>& slice,
                                             const std::vector<std::complex<T>>& partner, unsigned long offset,
                                             const std::vector<term>& terms);
// i^(number of Y factors): what the sums are multiplied by.
std::complex<double> y_factor(const term& t);

}  // namespace pauli_sums
