// One branch of the branching simulation (state_manager.h): a state vector,
// the states it went through, its weight and its classical bits.
#pragma once

#include <complex>
#include <vector>

#include "ir/circuit.h"

// One branch: a state vector with its history and this branch's classical bits.
class quantum_state {
public:
    using vector_type = std::vector<std::complex<double>>;

    quantum_state() { reset(); }
    explicit quantum_state(unsigned long n) { reset(n); }
    quantum_state(unsigned long n, unsigned long clbits);
    // Throws the C string "the number of qubit is NOT consistent." unless v
    // holds 2^n amplitudes.
    quantum_state(unsigned long n, const vector_type& v);

    // No qubits, no history, weight 1.
    bool reset();
    // |0...0> on n qubits as the only history entry; the classical bits are
    // left as they are. Throws std::length_error when 2^n amplitudes cannot
    // be addressed.
    bool reset(unsigned long n);

    unsigned long getQubitNum() const { return qubitNum; }
    unsigned long getClbitNum() const { return clbitNum; }
    double getStateProb() const { return stateProb; }
    std::vector<int> getClbitValues() const { return clbitValues; }

    std::vector<vector_type> getAllQuantumState() const { return history; }
    // These throw std::exception when the history is empty.
    vector_type getInitialQuantumState() const;
    vector_type& getCurrentQuantumState();
    const vector_type& getCurrentQuantumState() const;
    void appendQuantumState(const vector_type& v) { history.push_back(v); }

    // Runs a circuit without branching, appending the state after each layer;
    // executeInitial first rewinds the history to the initial state. A layer
    // that fails (a measurement always does) ends the run with false.
    bool execute(const circuit& c);
    bool executeInitial(const circuit& c);

    // |a|^2 of every amplitude of the current state, or of every history entry.
    std::vector<double> measure() const;
    std::vector<std::vector<double>> measureAll() const;

    // Splits this branch on a measurement of `qubit` into `clbit`: this branch
    // becomes outcome 0 and the returned one outcome 1, each with its history
    // plus the projected state. Throws std::exception for a qubit or bit that
    // the branch does not have.
    quantum_state measure_single_qubit(int qubit, int clbit);

    // Whether the classical bits satisfy the condition; throws std::exception
    // when it names a bit that the branch does not have.
    bool check_condition(const condition& c) const;

private:
    friend class state_manager;

    // The split of an in-place run: both branches keep only their current
    // state, projected in place; the only copy is the new branch's vector.
    quantum_state splitInPlace(unsigned long qubit, unsigned long clbit);
    void requireMeasurable(unsigned long qubit, unsigned long clbit) const;
    bool runLayers(vector_type work, const circuit& c);

    unsigned long qubitNum = 0;
    unsigned long clbitNum = 0;
    std::vector<vector_type> history;
    double stateProb = 1.0;
    std::vector<int> clbitValues;
};
