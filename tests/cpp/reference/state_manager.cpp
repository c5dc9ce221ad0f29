#include "reference/state_manager.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <stdexcept>
#include <utility>

#include "engine/fusion/gate_runs.h"
#include "engine/parallel/share_out.h"
#include "engine/space/state_space.h"

using state_space::squaredMagnitude;

void state_manager::execute_inplace(const circuit& c) { run(c, false); }

void state_manager::execute(const circuit& c) { run(c, true); }

void state_manager::run(const circuit& c, bool keepHistory) {
    qubitNum = c.getQubitNum();
    clbitNum = c.getClbitNum();
    branches.emplace_back(qubitNum, clbitNum);
    // In place, consecutive unconditioned gates are gathered and run as one
    // cache-blocked run on every branch (branches are independent, so this
    // is the same as applying the gates one by one to every branch). A
    // measurement, a conditioned gate or a refused gate first completes the
    // gathered run.
    std::vector<gates::compiled_gate> pending;
    for (const circuit_unit& unit : c.layerList()) {
        const std::vector<gate_unit>& gates = unit.gateList();
        for (auto gate = gates.cbegin(); gate != gates.cend(); ++gate) {
            const bool gathered = !keepHistory && !gate->hasCondition() && gate->getGateIndex() != GATE_MEASURE;
            const bool allowed = check_qubits(gate);
            if (!gathered || !allowed) flushPending(pending);
            if (!allowed) throw std::exception();
            if (gathered) {
                gates::compiled_gate compiled;
                if (gates::compileGate(*gate, qubitNum, compiled)) pending.push_back(compiled);
            } else if (gate->hasCondition()) {
                runConditioned(*gate, keepHistory);
            } else {
                runUnconditioned(*gate, keepHistory);
            }
        }
    }
    flushPending(pending);
}

void state_manager::flushPending(std::vector<gates::compiled_gate>& pending) {
    if (pending.empty()) return;
    for (quantum_state& branch : branches) gates::runGates(branch.getCurrentQuantumState(), pending);
    pending.clear();
}

void state_manager::runConditioned(const gate_unit& gate, bool keepHistory) {
    for (unsigned long index : satisfyingBranches(gate.getCondition())) {
        if (gate.getGateIndex() == GATE_MEASURE) throw std::exception();
        applyGate(branches[index], gate, keepHistory);
    }
}

void state_manager::runUnconditioned(const gate_unit& gate, bool keepHistory) {
    if (gate.getGateIndex() == GATE_MEASURE) {
        measureAllBranches(gate, keepHistory);
        return;
    }
    for (quantum_state& branch : branches) applyGate(branch, gate, keepHistory);
}

void state_manager::measureAllBranches(const gate_unit& gate, bool keepHistory) {
    const unsigned long qubit = gate.getQubit();
    const unsigned long clbit = gate.getClbitTarget();
    if (qubit >= qubitNum || clbit >= clbitNum) throw std::exception();

    // Outcome 0 stays in place; the outcome-1 branches follow in the same order.
    const std::size_t count = branches.size();
    branches.reserve(2 * count);
    for (std::size_t i = 0; i < count; ++i)
        branches.push_back(keepHistory ? branches[i].measure_single_qubit(static_cast<int>(qubit),
                                                                          static_cast<int>(clbit))
                                       : branches[i].splitInPlace(qubit, clbit));
    measuredQubits.insert(qubit);
    invalidate_condition_entry(clbit);
    // New branches exist (and old ones may have had this bit rewritten), so
    // every cached branch list is stale, not only those naming this bit.
    conditionCache.clear();
    clbitCondition.clear();
}

void state_manager::applyGate(quantum_state& branch, const gate_unit& gate, bool keepHistory) {
    // A gate that reports false (a name outside the catalogue) leaves the
    // branch alone and the run goes on.
    if (!keepHistory) {
        gates::compiled_gate compiled;
        if (gates::compileGate(gate, branch.getQubitNum(), compiled))
            gates::runGates(branch.getCurrentQuantumState(), {compiled});
        return;
    }
    quantum_state::vector_type next = branch.getCurrentQuantumState();
    if (gate.execute(next)) branch.history.push_back(std::move(next));
}

std::vector<unsigned long> state_manager::satisfyingBranches(const condition& cond) {
    const auto cached = conditionCache.find(cond);
    if (cached != conditionCache.end()) return cached->second;

    std::vector<unsigned long> satisfying;
    for (unsigned long i = 0; i < branches.size(); ++i)
        if (branches[i].check_condition(cond)) satisfying.push_back(i);
    conditionCache.emplace(cond, satisfying);
    for (unsigned long bit : cond.getClbits()) clbitCondition.insert_or_assign(bit, cond);
    return satisfying;
}

bool state_manager::check_qubits(std::vector<gate_unit>::const_iterator gate) const {
    if (measuredQubits.count(gate->getQubit())) return false;
    if (gate->getQubitNum() > 1 && measuredQubits.count(gate->getQubit2())) return false;
    if (gate->getQubitNum() == 3 && measuredQubits.count(gate->getQubit3())) return false;
    return true;
}

void state_manager::invalidate_condition_entry(unsigned long clbit) {
    const auto entry = clbitCondition.find(clbit);
    if (entry == clbitCondition.end()) return;
    conditionCache.erase(entry->second);
    clbitCondition.erase(entry);
}

std::vector<double> state_manager::getProbabilities() const {
    if (branches.empty()) return {};
    std::vector<double> probabilities(branches.front().getCurrentQuantumState().size(), 0.0);
    // Every entry sums its branches in branch order, as one branch after the
    // other would; blocks of entries keep the partial sums in cache, and the
    // threads take disjoint entries.
    constexpr std::size_t BLOCK = 4096;
    const auto sumBlocks = [&](unsigned long begin, unsigned long end) {
        for (std::size_t lo = begin; lo < end; lo += BLOCK) {
            const std::size_t hi = std::min<std::size_t>(lo + BLOCK, end);
            for (const quantum_state& branch : branches) {
                const quantum_state::vector_type& amplitudes = branch.getCurrentQuantumState();
                const std::size_t stop = std::min(hi, amplitudes.size());
                for (std::size_t k = lo; k < stop; ++k)
                    probabilities[k] += branch.getStateProb() * squaredMagnitude(amplitudes[k]);
            }
        }
    };
    gates::shareOut(probabilities.size(), gates::workerCount(probabilities.size()), sumBlocks);
    return probabilities;
}

std::vector<std::complex<double>> state_manager::getStateVector() const {
    if (branches.size() != 1) return {};
    std::vector<std::complex<double>> state = branches.front().getCurrentQuantumState();
    state_space::normalise(state);
    return state;
}

std::vector<std::complex<double>> state_manager::takeStateVector() {
    if (branches.size() != 1) return {};
    std::vector<std::complex<double>> state = std::move(branches.front().getCurrentQuantumState());
    branches.front().getCurrentQuantumState().clear();
    state_space::normalise(state);
    return state;
}
