#include "engine/sliced_run.h"

#include <exception>

#include "engine/gate_runs.h"

sliced_run::sliced_run(const circuit& c)
    : source(c), state(state_space::zeroState(c.getQubitNum())), measurements(c.getQubitNum(), c.getClbitNum()) {}

void sliced_run::execute(const gates::keep_going& keepGoing) {
    std::vector<gates::compiled_gate> run;
    for (const circuit_unit& unit : source.layerList())
        for (const gate_unit& gate : unit.gateList()) gather(gate, run);
    bool stopped = false;
    gates::runGates(state, run, [&] { return !(stopped = keepGoing && !keepGoing()); });
    if (stopped) throw run_stopped();
}

void sliced_run::admit(const gate_unit& gate) const {
    // Nothing acts on a measured qubit, a second measurement included.
    const unsigned long arity = gate.getQubitNum();
    const unsigned long qubits[] = {gate.getQubit(), gate.getQubit2(), gate.getQubit3()};
    for (unsigned long k = 0; k < arity && k < 3; ++k)
        if (qubits[k] < source.getQubitNum() && measurements.isMeasured(qubits[k])) throw std::exception();
}

void sliced_run::gather(const gate_unit& gate, std::vector<gates::compiled_gate>& run) {
    admit(gate);
    const bool measurement = gate.getGateIndex() == GATE_MEASURE;
    if (gate.hasCondition()) {
        // A conditioned measurement would split only some branches; the
        // record cannot say that, so one that can happen is refused.
        if (measurement) {
            if (measurements.satisfiable(gate.getCondition())) throw std::exception();
            return;
        }
        gates::compiled_gate compiled;
        if (gates::compileGate(gate, source.getQubitNum(), compiled))
            measurements.confine(compiled, gate.getCondition(), run);
        else
            measurements.satisfiable(gate.getCondition());  // still refuses bits the run does not have
        return;
    }
    if (measurement) {
        measurements.measure(gate.getQubit(), gate.getClbitTarget());
        return;
    }
    gates::compiled_gate compiled;
    if (gates::compileGate(gate, source.getQubitNum(), compiled)) run.push_back(compiled);
}

state_space::state_vector sliced_run::takeStateVector() {
    if (measurements.anyMeasured()) return {};
    state_space::state_vector out = std::move(state);
    state.clear();
    state_space::normalise(out);
    return out;
}
