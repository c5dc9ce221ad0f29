// Branching simulation of a circuit. A mid-circuit measurement does not draw
// an outcome: it splits every branch into its two outcomes, unnormalised, so
// the squared norm of a branch is its probability. Conditioned gates act only
// on the branches whose classical bits satisfy the condition.
#pragma once

#include <complex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/circuit.h"
#include "engine/gate_runs.h"

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

// The list of branches of one run. Use a fresh manager for every run.
class state_manager {
public:
    // Runs the circuit; gates change the branches' states in place.
    void execute_inplace(const circuit& c);
    // The same run, but every gate appends its result to the branch history.
    void execute(const circuit& c);

    // Probability of every basis state, summed over all branches.
    std::vector<double> getProbabilities() const;
    // The final state, renormalised, when the run stayed a single branch;
    // empty otherwise.
    std::vector<std::complex<double>> getStateVector() const;
    // The same vector, made from the branch's own storage instead of a copy;
    // the manager's single branch is left empty. For a caller that is done
    // with the manager.
    std::vector<std::complex<double>> takeStateVector();

    // False when the gate touches a qubit that has already been measured.
    bool check_qubits(std::vector<gate_unit>::const_iterator gate) const;
    // Drops the cached condition last recorded for the classical bit.
    void invalidate_condition_entry(unsigned long clbit);

    // The branches in creation order: measuring on (b0..bk-1) gives
    // (b0 with 0, ..., bk-1 with 0, b0 with 1, ..., bk-1 with 1).
    const std::vector<quantum_state>& getBranches() const { return branches; }

private:
    void run(const circuit& c, bool keepHistory);
    void flushPending(std::vector<gates::compiled_gate>& pending);
    void runConditioned(const gate_unit& gate, bool keepHistory);
    void runUnconditioned(const gate_unit& gate, bool keepHistory);
    void measureAllBranches(const gate_unit& gate, bool keepHistory);
    static void applyGate(quantum_state& branch, const gate_unit& gate, bool keepHistory);
    std::vector<unsigned long> satisfyingBranches(const condition& cond);

    unsigned long qubitNum = 0;
    unsigned long clbitNum = 0;
    std::vector<quantum_state> branches;
    std::unordered_set<unsigned long> measuredQubits;
    std::unordered_map<condition, std::vector<unsigned long>, hash_condition> conditionCache;
    std::unordered_map<unsigned long, condition> clbitCondition;
};
