#include "engine/sliced_run.h"

#include <exception>

#include "engine/fuser.h"
#include "engine/gate_runs.h"

sliced_run::sliced_run(const circuit& c, fusion_choice fusion)
    : source(c), fusion(fusion), state(state_space::zeroState(c.getQubitNum())), measurements(c.getQubitNum(), c.getClbitNum()) {}

namespace {

// Nothing acts on a measured qubit, a second measurement included.
void admit(const gate_unit& gate, unsigned long qubitNum, const measurement_record& record) {
    const unsigned long arity = gate.getQubitNum();
    const unsigned long qubits[] = {gate.getQubit(), gate.getQubit2(), gate.getQubit3()};
    for (unsigned long k = 0; k < arity && k < 3; ++k)
        if (qubits[k] < qubitNum && record.isMeasured(qubits[k])) throw std::exception();
}

void gather(const gate_unit& gate, unsigned long qubitNum, measurement_record& record,
            std::vector<gates::compiled_gate>& run) {
    admit(gate, qubitNum, record);
    const bool measurement = gate.getGateIndex() == GATE_MEASURE;
    if (gate.hasCondition()) {
        // A conditioned measurement would split only some branches; the
        // record cannot say that, so one that can happen is refused.
        if (measurement) {
            if (record.satisfiable(gate.getCondition())) throw std::exception();
            return;
        }
        gates::compiled_gate compiled;
        if (gates::compileGate(gate, qubitNum, compiled))
            record.confine(compiled, gate.getCondition(), run);
        else
            record.satisfiable(gate.getCondition());  // still refuses bits the run does not have
        return;
    }
    if (measurement) {
        record.measure(gate.getQubit(), gate.getClbitTarget());
        return;
    }
    gates::compiled_gate compiled;
    if (gates::compileGate(gate, qubitNum, compiled)) run.push_back(compiled);
}

}  // namespace

std::vector<gates::compiled_gate> compileSliced(const circuit& c, measurement_record& record) {
    std::vector<gates::compiled_gate> run;
    for (const circuit_unit& unit : c.layerList())
        for (const gate_unit& gate : unit.gateList()) gather(gate, c.getQubitNum(), record, run);
    return run;
}

bool fusesAt(fusion_choice choice, unsigned long qubits) {
    if (choice == fusion_choice::by_size) return qubits >= gates::FUSION_MIN_QUBITS;
    return choice == fusion_choice::on;
}

unsigned long runCompiled(state_space::state_vector& state, const std::vector<gates::compiled_gate>& run, bool fuse,
                          const gates::keep_going& keepGoing) {
    if (!fuse) return gates::runGates(state, run, keepGoing);
    gates::fused_run fused = gates::fuseGates(run);
    gates::orderForTiles(fused, state.size());
    return gates::runGates(state, fused.steps, keepGoing);
}

void sliced_run::execute(const gates::keep_going& keepGoing) {
    const std::vector<gates::compiled_gate> run = compileSliced(source, measurements);
    bool stopped = false;
    const gates::keep_going check = [&] { return !(stopped = keepGoing && !keepGoing()); };
    runCompiled(state, run, fusesAt(fusion, source.getQubitNum()), check);
    if (stopped) throw run_stopped();
}

std::vector<double> sliced_run::marginal(const std::vector<unsigned long>& lanes, double floor) const {
    std::vector<unsigned long> positions;
    for (unsigned long lane : lanes) positions.push_back(source.getQubitNum() - 1 - lane);
    return state_space::marginal(state, positions, floor);
}

state_space::state_vector sliced_run::takeStateVector() {
    if (measurements.anyMeasured()) return {};
    state_space::state_vector out = std::move(state);
    state.clear();
    state_space::normalise(out);
    return out;
}
