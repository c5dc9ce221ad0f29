// Branching simulation of a circuit. A mid-circuit measurement does not draw
// an outcome: it splits every branch into its two outcomes, unnormalised, so
// the squared norm of a branch is its probability. Conditioned gates act only
// on the branches whose classical bits satisfy the condition.
#pragma once

#include <complex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "ir/circuit.h"
#include "engine/fusion/gate_runs.h"
#include "reference/quantum_state.h"

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
