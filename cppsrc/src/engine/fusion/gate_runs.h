// Runs of gates on one state vector, cache-blocked and on all the CPUs the
// process may use.
//
// A run is a sequence of gates applied in order. It is cut into stretches
// whose gates together touch few enough high bit positions; the vector is
// then walked tile by tile, a tile being the amplitudes that differ only in
// the low bits and in the stretch's high positions, and every gate of the
// stretch is applied to one tile before the next tile is loaded. Tiles are
// cache-sized, so a stretch of k gates costs about one pass over memory
// instead of k. Each amplitude group sees exactly the arithmetic of the
// kernels in kernels.cpp, in the same gate order, so the results are the
// same to the last bit; only the order in which groups are visited changes.
#pragma once

#include <complex>
#include <functional>
#include <vector>

#include "engine/fusion/compile_gate.h"

namespace gates {

// Asked between stretches whether to go on; false stops the run there.
using keep_going = std::function<bool()>;

// Applies the gates in order to a state of power-of-two length. Returns the
// number of passes over the vector it made: one per stretch. A run that
// `keepGoing` stops leaves the vector part-way and returns the passes made.
// On float amplitudes every gate must be FUSED (fuser.h, matricesOnly):
// single precision has only the fused kernels; others throw
// std::invalid_argument before any amplitude moves.
template <class T>
unsigned long runGates(std::vector<std::complex<T>>& state, const std::vector<compiled_gate>& gates,
                       const keep_going& keepGoing = {});

// How runGates cuts a vector of `size` amplitudes (a power of two): tiles
// are segments of 2^segmentBits contiguous amplitudes, and a stretch's gates
// may together have at most `highRoom` positions at or above segmentBits.
struct tile_shape {
    unsigned long segmentBits = 0;
    unsigned long highRoom = 0;
};
// Amplitudes of `amplitudeBytes` each (float ones make larger tiles).
tile_shape tileShape(unsigned long size, std::size_t amplitudeBytes = sizeof(std::complex<double>));

// Applies one gate, with the arithmetic of the runs, to `size` amplitudes
// (a power of two covering the gate's positions): how the fuser multiplies
// gates into a matrix.
void applyGate(std::complex<double>* amplitudes, unsigned long size, const compiled_gate& gate);

// Threads runGates uses for a vector of `size` amplitudes: the CPUs this
// process may run on, for vectors large enough to share out; else 1.
unsigned workerCount(unsigned long size);

}  // namespace gates
