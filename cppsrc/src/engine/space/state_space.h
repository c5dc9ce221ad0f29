// The dense state vector as storage: allocation, norms and probabilities.
// Kept apart from the code that applies gates, so that every run reads its
// results the same way. Amplitudes are doubles or, in single precision,
// floats; probabilities and norms are summed in double either way, so that
// a sum over 2^n terms does not lose what float amplitudes still hold.
#pragma once

#include <complex>
#include <vector>

namespace state_space {

using state_vector = std::vector<std::complex<double>>;
// A vector of amplitudes of either precision.
template <class T>
using amplitudes = std::vector<std::complex<T>>;

// re^2 + im^2, rounded as written (the engine is built without FMA
// contraction), the figure every probability is made of.
inline double squaredMagnitude(const std::complex<double>& a) { return a.real() * a.real() + a.imag() * a.imag(); }
// The same in double for a float amplitude: its parts are exact in double.
inline double squaredMagnitude(const std::complex<float>& a) {
    return squaredMagnitude(std::complex<double>(a.real(), a.imag()));
}

// |0...0> on `qubits` qubits, its storage advised for huge pages. Throws
// std::length_error when 2^qubits amplitudes cannot be addressed.
template <class T>
amplitudes<T> zeroStateOf(unsigned long qubits);
inline state_vector zeroState(unsigned long qubits) { return zeroStateOf<double>(qubits); }

// |a_k|^2 for every index k, shared between the CPUs.
template <class T>
std::vector<double> probabilities(const amplitudes<T>& state);

// Probabilities summed over all but a few bit positions: out[key] is the sum
// of |a_k|^2, in index order, over the k whose bits at `positions` (the
// first listed the top bit of the key) spell key. `offset`
// is or'ed into every index first: the global index of a slice's first
// amplitude, on bits above the slice's. One pass, no vector of 2^n
// probabilities.
template <class T>
std::vector<double> marginal(const amplitudes<T>& state, const std::vector<unsigned long>& positions,
                             unsigned long offset = 0);

// Divides every part by the norm (squaredNorm).
template <class T>
void normalise(amplitudes<T>& state);

// Amplitudes whose |a|^2 are added one after another in a norm: no more
// than the fewest a rank's slice holds (a spread run keeps at least two
// local qubits), so that every slice is a whole subtree of the sum.
constexpr unsigned long NORM_LEAF = 4;

// sum |a|^2 as a tree in index order: each half of a power-of-two range
// summed apart, then the two added, down to runs of NORM_LEAF amplitudes
// added in order. The same whether the vector is summed whole or as the
// sums of its equal aligned parts added by combineSums: a vector spread
// over ranks has exactly the norm it has when gathered.
template <class T>
double squaredNorm(const amplitudes<T>& state);
// The sums of equal consecutive aligned parts of a vector, added as
// squaredNorm adds them.
double combineSums(const std::vector<double>& parts);
// Divides every real and imaginary part by `norm` (in double, rounded
// once to the amplitudes' precision).
template <class T>
void divideBy(amplitudes<T>& state, double norm);

// Zeroes the amplitudes whose index bit `mask` reads `one`: the projection
// onto the other outcome of that qubit, unnormalised.
void zeroPart(state_vector& state, unsigned long mask, bool one);
// X on the qubit of index bit `mask`: the two halves swap.
void flipBit(state_vector& state, unsigned long mask);

}  // namespace state_space
