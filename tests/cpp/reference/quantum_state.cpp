#include "reference/quantum_state.h"

#include <exception>
#include <iostream>
#include <utility>

#include "reference/kernels.h"
#include "engine/parallel/large_vectors.h"
#include "engine/space/state_space.h"

using state_space::squaredMagnitude;

quantum_state::quantum_state(unsigned long n, unsigned long clbits) {
    reset(n);
    clbitNum = clbits;
    clbitValues.assign(clbits, 0);
}

quantum_state::quantum_state(unsigned long n, const vector_type& v) {
    reset(n);
    if (v.size() != history.front().size()) throw "the number of qubit is NOT consistent.";
    history.front() = v;
}

bool quantum_state::reset() {
    qubitNum = 0;
    clbitNum = 0;
    stateProb = 1.0;
    history.clear();
    return true;
}

bool quantum_state::reset(unsigned long n) {
    vector_type initial = state_space::zeroState(n);  // throws before anything changes
    history.clear();
    history.push_back(std::move(initial));
    qubitNum = n;
    clbitNum = 0;
    stateProb = 1.0;
    return true;
}

quantum_state::vector_type quantum_state::getInitialQuantumState() const {
    if (history.empty()) throw std::exception();
    return history.front();
}

quantum_state::vector_type& quantum_state::getCurrentQuantumState() {
    if (history.empty()) throw std::exception();
    return history.back();
}

const quantum_state::vector_type& quantum_state::getCurrentQuantumState() const {
    if (history.empty()) throw std::exception();
    return history.back();
}

bool quantum_state::runLayers(vector_type work, const circuit& c) {
    for (const circuit_unit& unit : c.getCircuit()) {
        if (!unit.execute(work)) {
            std::cout << "something wrong in execute circuit unit" << std::endl;
            return false;
        }
        history.push_back(work);
    }
    return true;
}

bool quantum_state::execute(const circuit& c) { return runLayers(getCurrentQuantumState(), c); }

bool quantum_state::executeInitial(const circuit& c) {
    history.assign(1, getInitialQuantumState());
    return runLayers(history.front(), c);
}

std::vector<double> quantum_state::measure() const {
    const vector_type& current = getCurrentQuantumState();
    std::vector<double> probabilities(current.size());
    for (std::size_t k = 0; k < current.size(); ++k) probabilities[k] = squaredMagnitude(current[k]);
    return probabilities;
}

std::vector<std::vector<double>> quantum_state::measureAll() const {
    std::vector<std::vector<double>> all;
    for (const vector_type& state : history) {
        std::vector<double> probabilities(state.size());
        for (std::size_t k = 0; k < state.size(); ++k) probabilities[k] = squaredMagnitude(state[k]);
        all.push_back(probabilities);
    }
    return all;
}

void quantum_state::requireMeasurable(unsigned long qubit, unsigned long clbit) const {
    if (qubit >= qubitNum || clbit >= clbitValues.size()) throw std::exception();
}

quantum_state quantum_state::measure_single_qubit(int qubit, int clbit) {
    if (qubit < 0 || clbit < 0) throw std::exception();
    requireMeasurable(qubit, clbit);
    quantum_state one(*this);

    clbitValues[clbit] = 0;
    vector_type zero = getCurrentQuantumState();
    gates::executeGateMeasure(zero, qubit, true);
    history.push_back(std::move(zero));

    one.clbitValues[clbit] = 1;
    vector_type projected = one.getCurrentQuantumState();
    gates::executeGateMeasure(projected, qubit, false);
    one.history.push_back(std::move(projected));
    return one;
}

quantum_state quantum_state::splitInPlace(unsigned long qubit, unsigned long clbit) {
    requireMeasurable(qubit, clbit);
    quantum_state one;
    one.qubitNum = qubitNum;
    one.clbitNum = clbitNum;
    one.stateProb = stateProb;
    one.clbitValues = clbitValues;
    one.history.push_back(large_vectors::copyOf(getCurrentQuantumState()));  // the one copy a split needs

    clbitValues[clbit] = 0;
    gates::executeGateMeasure(getCurrentQuantumState(), qubit, true);
    one.clbitValues[clbit] = 1;
    gates::executeGateMeasure(one.getCurrentQuantumState(), qubit, false);
    return one;
}

bool quantum_state::check_condition(const condition& c) const {
    std::vector<char> bits;  // first listed bit most significant
    for (unsigned long bit : c.getClbits()) {
        if (bit >= clbitValues.size()) throw std::exception();
        bits.push_back(static_cast<char>(clbitValues[bit] != 0));
    }
    return c.holds(bits);
}
