#include "engine/run/sliced_run.h"

#include <algorithm>
#include <exception>
#include <type_traits>
#include <utility>

#include "engine/kernels/bit_positions.h"
#include "engine/fusion/fuser.h"
#include "engine/fusion/gate_runs.h"
#include "engine/run/run_refused.h"
#include "engine/parallel/share_out.h"

template <class T>
basic_sliced_run<T>::basic_sliced_run(op_list ops, fusion_choice fusion)
    : source(std::move(ops)),
      fusion(fusion),
      state(state_space::zeroStateOf<T>(source.qubits)),
      measurements(source.qubits, source.clbits) {}

namespace {

// Nothing acts on a measured qubit, a second measurement included.
void admit(const lane_op& gate, unsigned long qubitNum, const measurement_record& record) {
    for (unsigned long k = 0; k < gate.arity && k < 3; ++k)
        if (gate.qubits[k] < qubitNum && record.isMeasured(gate.qubits[k])) throw run_refused();
}

void gather(const lane_op& gate, unsigned long qubitNum, measurement_record& record,
            std::vector<gates::compiled_gate>& run) {
    admit(gate, qubitNum, record);
    const bool measurement = gate.measures();
    if (gate.cond.isValid()) {
        // A conditioned measurement would split only some branches; the
        // record cannot say that, so one that can happen is refused.
        if (measurement) {
            if (record.satisfiable(gate.cond)) throw run_refused();
            return;
        }
        gates::compiled_gate compiled;
        if (gates::compileGate(gate, qubitNum, compiled))
            record.confine(compiled, gate.cond, run);
        else
            record.satisfiable(gate.cond);  // still refuses bits the run does not have
        return;
    }
    if (measurement) {
        record.measure(gate.qubits[0], gate.clbit);
        return;
    }
    gates::compiled_gate compiled;
    if (gates::compileGate(gate, qubitNum, compiled)) run.push_back(compiled);
}

}  // namespace

std::vector<gates::compiled_gate> compileSliced(const op_list& ops, measurement_record& record) {
    std::vector<gates::compiled_gate> run;
    run.reserve(ops.ops.size());
    for (const lane_op& gate : ops.ops) gather(gate, ops.qubits, record, run);
    return run;
}

bool fusesAt(fusion_choice choice, unsigned long qubits) {
    if (choice == fusion_choice::by_size) return qubits >= gates::FUSION_MIN_QUBITS;
    return choice == fusion_choice::on;
}

template <class T>
unsigned long runCompiled(state_space::amplitudes<T>& state, const std::vector<gates::compiled_gate>& run, bool fuse,
                          const gates::keep_going& keepGoing) {
    if constexpr (std::is_same_v<T, float>) {
        // Float has only the fused kernels: a gate left alone (or every
        // gate, unfused) runs as the matrix of its positions.
        gates::fusion_limits limits;
        limits.splitPermutations = false;
        gates::fused_run steps = fuse ? gates::fuseGates(run, limits) : gates::fused_run{run, {}};
        gates::matricesOnly(steps);
        if (fuse) gates::orderForTiles(steps, state.size(), sizeof(std::complex<T>));
        return gates::runGates(state, steps.steps, keepGoing);
    } else {
        if (!fuse) return gates::runGates(state, run, keepGoing);
        gates::fused_run fused = gates::fuseGates(run);
        gates::orderForTiles(fused, state.size());
        return gates::runGates(state, fused.steps, keepGoing);
    }
}

template unsigned long runCompiled<double>(state_space::amplitudes<double>&, const std::vector<gates::compiled_gate>&,
                                           bool, const gates::keep_going&);
template unsigned long runCompiled<float>(state_space::amplitudes<float>&, const std::vector<gates::compiled_gate>&,
                                          bool, const gates::keep_going&);

namespace {

using cd = std::complex<double>;

// out[i] = the product over positions p in [from, to) of
// factors[2p + (bit p - from of i)], built one position at a time.
std::vector<cd> productOf(const std::vector<cd>& factors, unsigned long from, unsigned long to) {
    std::vector<cd> out{1.0};
    out.reserve(std::size_t(1) << (to - from));
    for (unsigned long p = from; p < to; ++p) {
        const std::size_t half = out.size();
        out.resize(2 * half);
        for (std::size_t i = 0; i < half; ++i) {
            out[half + i] = out[i] * factors[2 * p + 1];
            out[i] *= factors[2 * p];
        }
    }
    return out;
}

}  // namespace

std::vector<gates::compiled_gate> foldFirstLayer(state_space::state_vector& state,
                                                 const std::vector<gates::compiled_gate>& run) {
    unsigned long qubits = 0;
    while ((std::size_t(1) << qubits) < state.size()) ++qubits;
    std::vector<cd> factors(2 * qubits);  // the state of position p: factors[2p] |0> + factors[2p + 1] |1>
    for (unsigned long p = 0; p < qubits; ++p) factors[2 * p] = 1.0;
    std::vector<gates::compiled_gate> rest;
    rest.reserve(run.size());
    unsigned long touched = 0;  // positions some gate left in the run reads
    bool folded = false;
    for (const gates::compiled_gate& g : run) {
        const unsigned long positions = g.positions();
        const bool oneQubit = g.kind != gates::compiled_gate::FUSED && !g.confined && positions != 0 &&
                              (positions & (positions - 1)) == 0;
        if (!oneQubit || (positions & touched)) {
            touched |= positions;
            rest.push_back(g);
            continue;
        }
        // Nothing before it in the run touched its qubit: it commutes to the
        // front and acts on that qubit's own two amplitudes.
        const unsigned long p = static_cast<unsigned long>(__builtin_ctzl(positions));
        gates::compiled_gate local = g;
        local.target = 0;
        local.mask = g.isPair() ? 0 : 1;
        gates::applyGate(&factors[2 * p], 2, local);
        folded = true;
    }
    if (!folded) return rest;
    // The product state, written in one pass on every CPU: the low positions'
    // products held in cache, the high ones' taken once per block.
    const unsigned long lowBits = std::min<unsigned long>(qubits, 12);
    const std::vector<cd> low = productOf(factors, 0, lowBits), high = productOf(factors, lowBits, qubits);
    const std::size_t block = low.size();
    gates::shareOut(high.size(), gates::workerCount(state.size()), [&](unsigned long begin, unsigned long end) {
        for (unsigned long h = begin; h < end; ++h) {
            cd* out = state.data() + h * block;
            const cd factor = high[h];
            for (std::size_t l = 0; l < block; ++l) out[l] = factor * low[l];
        }
    });
    return rest;
}

template <class T>
void basic_sliced_run<T>::execute(const gates::keep_going& keepGoing) {
    std::vector<gates::compiled_gate> run = compileSliced(source, measurements);
    // A float run has no exact result to keep below FUSION_MIN_QUBITS, and
    // a product built in double and rounded once rounds less than its
    // gates applied in float one by one: it fuses at every size.
    const bool fuse = std::is_same_v<T, float> ? fusion != fusion_choice::off : fusesAt(fusion, source.qubits);
    // Rounding may differ from the gates' own: only where fusion already
    // allows it. (A float run's first layer is matrices like the rest.)
    if constexpr (std::is_same_v<T, double>)
        if (fuse && !executed) run = foldFirstLayer(state, run);
    executed = true;
    bool stopped = false;
    const gates::keep_going check = [&] { return !(stopped = keepGoing && !keepGoing()); };
    runCompiled(state, run, fuse, check);
    if (stopped) throw run_stopped();
}

template <class T>
std::vector<double> basic_sliced_run<T>::marginal(const std::vector<unsigned long>& lanes) const {
    std::vector<unsigned long> positions;
    for (unsigned long lane : lanes) positions.push_back(source.qubits - 1 - lane);
    return state_space::marginal(state, positions);
}

template <class T>
state_space::amplitudes<T> basic_sliced_run<T>::takeStateVector() {
    if (measurements.anyMeasured()) return {};
    state_space::amplitudes<T> out = std::move(state);
    state.clear();
    state_space::normalise(out);
    return out;
}

template class basic_sliced_run<double>;
template class basic_sliced_run<float>;
