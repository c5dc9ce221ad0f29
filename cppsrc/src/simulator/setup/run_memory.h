// What a run takes of the process-wide memory budget (core/memory_budget.h),
// reckoned in one place for every kind of run: each reservation is held
// until the vectors it stands for exist, so that other runs see them as
// taken, and names what it holds when the budget refuses it.
#pragma once

#include "core/memory_budget.h"

namespace run_memory {

// Bytes of a state vector of `lanes` qubits, `amplitude_bytes` each, and
// of the probabilities read over `summed` qubits (over all when negative).
// Classical bits cost nothing until a measurement writes them, and then
// only a record qubit.
double state_bytes(int lanes, int summed, double amplitude_bytes);

// One state vector of a register of `qnum` qubits on `lanes` lanes (each
// of `reuses` reuses of a measured or reset qubit adds a record lane,
// doubling the vector) and its probabilities over `summed` qubits.
memory_budget::reservation state_vector(int qnum, unsigned long lanes, unsigned long reuses, int summed,
                                        double amplitude_bytes);

// A density matrix of `qubits` qubits (4^n amplitudes) and its
// probabilities over `summed` qubits.
memory_budget::reservation density_matrix(int qubits, int summed);

// `threads` trajectories of `qubits` qubits side by side, each a branch
// run's vector and probabilities.
memory_budget::reservation trajectories(unsigned threads, int qubits);

}  // namespace run_memory
