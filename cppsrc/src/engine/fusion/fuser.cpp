#include "engine/fusion/fuser.h"

#include <algorithm>
#include <stdexcept>

#include "engine/kernels/bit_positions.h"
#include "engine/kernels/fused_kernels.h"
#include "engine/fusion/gate_order.h"
#include "engine/fusion/fusion_pattern.h"

namespace gates {

namespace {

static_assert(MAX_PATTERN_QUBITS <= MAX_FUSED_QUBITS, "the kernels must take every product the fuser may make");

using cd = std::complex<double>;

// Longest permutation left as its gates. blocking_bench, one CPU, median
// of 3: the multiplier of bench/wide (26 qubits) took 2.19 s with every
// permutation fused and 1.25 s with those of up to four gates split (17
// passes down to 10), its adder (28 qubits) 3.65 s and 2.50 s, the race's
// random and QFT circuits the same as before; splitting longer ones too
// made the QFT of 24 qubits 0.72 s to 1.10 s (its permutations of nine and
// more gates: each gate a sweep of the tile where the product is one).
constexpr std::size_t kMaxSplitPermutation = 4;

struct group {
    unsigned long positions = 0;
    std::vector<std::size_t> members;  // indices of its gates, in an order equivalent to theirs
    pattern shape;                     // which entries of its product may be non-zero
};

// The gate as it acts on the vector of a group's 2^k amplitudes.
compiled_gate onGroup(const compiled_gate& g, unsigned long positions) {
    compiled_gate local = g;
    if (g.isPair()) local.target = static_cast<unsigned long>(popcount(positions & ((1UL << g.target) - 1)));
    local.mask = compress(g.mask, positions);
    local.zeros = compress(g.zeros, positions);
    return local;
}

// The product of the group's gates, each with its own arithmetic: column c
// is the gates applied to basis state c.
std::vector<cd> productOf(const group& grp, const std::vector<compiled_gate>& gates, unsigned long d) {
    std::vector<cd> columns(d * d);
    for (unsigned long c = 0; c < d; ++c) columns[c * d + c] = 1.0;
    for (std::size_t i : grp.members) {
        const compiled_gate local = onGroup(gates[i], grp.positions);
        for (unsigned long c = 0; c < d; ++c) applyGate(columns.data() + c * d, d, local);
    }
    std::vector<cd> rows(d * d);
    for (unsigned long r = 0; r < d; ++r)
        for (unsigned long c = 0; c < d; ++c) rows[r * d + c] = columns[c * d + r];
    return rows;
}

std::unique_ptr<fused_matrix> matrixOf(const group& grp, const std::vector<compiled_gate>& gates) {
    auto m = std::make_unique<fused_matrix>();
    m->positions = grp.positions;
    m->qubits = static_cast<unsigned>(popcount(grp.positions));
    m->entries = productOf(grp, gates, m->dimension());
    prepareRows(*m);
    return m;
}

// The gates in an order that does the same, taking next the ready gate on
// the most recently used positions (the earliest among ties): work goes on
// where it last was, as in a circuit written step by step, and groups grow
// there. A circuit lowered layer by layer interleaves its steps across the
// register and ended groups early: the QFT of 22 qubits made 99 matrices
// where this order makes 58.
std::vector<std::size_t> localOrder(const std::vector<compiled_gate>& gates) {
    std::vector<unsigned long> positions;
    for (const compiled_gate& g : gates) positions.push_back(g.positions());
    std::vector<long> lastUse(64, -1);
    long now = 0;
    return dependencyOrder(positions, [&](const std::vector<std::size_t>& ready) {
        std::size_t best = 0;
        long bestUse = -2;
        for (std::size_t k = 0; k < ready.size(); ++k) {
            long use = -1;
            for (unsigned long m = positions[ready[k]]; m; m &= m - 1) use = std::max(use, lastUse[__builtin_ctzl(m)]);
            if (use > bestUse || (use == bestUse && ready[k] < ready[best])) {
                best = k;
                bestUse = use;
            }
        }
        for (unsigned long m = positions[ready[best]]; m; m &= m - 1) lastUse[__builtin_ctzl(m)] = now;
        ++now;
        return best;
    });
}

class fuser {
public:
    fuser(const std::vector<compiled_gate>& gates, const fusion_limits& limits) : gates(gates), limits(limits) {}

    fused_run run() {
        for (std::size_t i : localOrder(gates)) add(i);
        for (group& g : open) emit(g);
        open.clear();
        return std::move(out);
    }

private:
    void add(std::size_t i) {
        const unsigned long positions = gates[i].positions();
        std::vector<std::size_t> touching;
        for (std::size_t k = 0; k < open.size(); ++k)
            if (open[k].positions & positions) touching.push_back(k);
        // A confined gate touches only the satisfying part of the vector on
        // its own; as a matrix its controls would cost full products (the
        // benchmark of conditioned gates: 2.5 times slower fused).
        if (gates[i].confined || static_cast<unsigned>(popcount(positions)) > limits.qubits) {
            for (std::size_t k : touching) emit(open[k]);
            erase(touching);
            out.steps.push_back(gates[i]);
            return;
        }
        // Join the touching groups that make the cheapest product holding
        // the most gates; the others end here.
        group joined = bestJoin(touching, i);
        for (std::size_t t = 0; t < touching.size(); ++t)
            if (!open[touching[t]].members.empty()) emit(open[touching[t]]);
        erase(touching);
        open.push_back(std::move(joined));
    }

    // The group the gate makes with the touching groups in `subset`, whose
    // members are moved out of them when `take`.
    group join(const std::vector<std::size_t>& touching, unsigned long subset, std::size_t i, bool take) {
        group joined;
        joined.positions = gates[i].positions();
        for (std::size_t t = 0; t < touching.size(); ++t)
            if (subset & (1UL << t)) joined.positions |= open[touching[t]].positions;
        joined.shape = identityPattern(static_cast<unsigned>(popcount(joined.positions)));
        for (std::size_t t = 0; t < touching.size(); ++t) {
            if (!(subset & (1UL << t))) continue;
            group& g = open[touching[t]];
            joined.shape = product(widen(g.shape, g.positions, joined.positions), joined.shape);
            if (take) {
                joined.members.insert(joined.members.end(), g.members.begin(), g.members.end());
                g.members.clear();
            }
        }
        applyToPattern(joined.shape, onGroup(gates[i], joined.positions));
        if (take) joined.members.push_back(i);
        return joined;
    }

    group bestJoin(const std::vector<std::size_t>& touching, std::size_t i) {
        unsigned long best = 0;
        std::size_t bestGates = 0;
        for (unsigned long subset = 1; subset < (1UL << touching.size()); ++subset) {
            unsigned long positions = gates[i].positions();
            std::size_t count = 0;
            for (std::size_t t = 0; t < touching.size(); ++t)
                if (subset & (1UL << t)) {
                    positions |= open[touching[t]].positions;
                    count += open[touching[t]].members.size();
                }
            const unsigned qubits = static_cast<unsigned>(popcount(positions));
            if (qubits > limits.qubits || count <= bestGates) continue;
            if (qubits > limits.denseQubits) {
                const unsigned width = rowWidth(join(touching, subset, i, false).shape);
                if (width > limits.rowWidth && width > widestOn(positions, touching, subset, i)) continue;
            }
            best = subset;
            bestGates = count;
        }
        return join(touching, best, i, true);
    }

    // The widest rows a part of the join already has on all of `positions`:
    // a given matrix there (a channel's superoperator on a density matrix
    // is dense) costs that per pass anyway, so joining the gates around it
    // saves their passes and costs nothing more.
    unsigned widestOn(unsigned long positions, const std::vector<std::size_t>& touching, unsigned long subset,
                      std::size_t i) const {
        unsigned widest = 0;
        if (gates[i].kind == compiled_gate::FUSED && gates[i].positions() == positions)
            widest = gates[i].fused->rowWidth;
        for (std::size_t t = 0; t < touching.size(); ++t)
            if ((subset & (1UL << t)) && open[touching[t]].positions == positions)
                widest = std::max(widest, rowWidth(open[touching[t]].shape));
        return widest;
    }

    // Drops open groups by index (`which` ascending).
    void erase(const std::vector<std::size_t>& which) {
        for (auto k = which.rbegin(); k != which.rend(); ++k) open.erase(open.begin() + static_cast<long>(*k));
    }

    void emit(group& g) {
        if (g.members.size() == 1) {
            out.steps.push_back(gates[g.members.front()]);
        } else if (!g.members.empty()) {
            std::unique_ptr<fused_matrix> m = matrixOf(g, gates);
            if (limits.splitPermutations && m->rowWidth == 1 && !m->diagonal &&
                g.members.size() <= kMaxSplitPermutation) {
                // A short permutation (with phases) costs more fused than
                // gate by gate: the product gathers and scatters every
                // amplitude of its positions, all of which a tile must then
                // span, while a CNOT or CCX swaps only the pairs its controls
                // pick, in a tile that holds the controls fixed.
                for (std::size_t i : g.members) out.steps.push_back(gates[i]);
                g.members.clear();
                return;
            }
            out.matrices.push_back(std::move(m));
            compiled_gate step;
            step.kind = compiled_gate::FUSED;
            step.mask = g.positions;
            step.fused = out.matrices.back().get();
            out.steps.push_back(step);
        }
        g.members.clear();
    }

    const std::vector<compiled_gate>& gates;
    const fusion_limits limits;
    std::vector<group> open;
    fused_run out;
};

}  // namespace

fused_run fuseGates(const std::vector<compiled_gate>& gates, const fusion_limits& limits) {
    if (limits.qubits < 1 || limits.qubits > MAX_PATTERN_QUBITS || limits.rowWidth < 1)
        throw std::invalid_argument("fused matrices take 1 to 5 qubits and rows of at least one entry");
    return fuser(gates, limits).run();
}

void matricesOnly(fused_run& run) {
    for (compiled_gate& step : run.steps) {
        if (step.kind == compiled_gate::FUSED) continue;
        if (popcount(step.positions()) > static_cast<int>(MAX_FUSED_QUBITS)) throw too_wide_for_matrix();
        group alone;
        // A phase on every amplitude (a spread run's phase on a rank qubit,
        // its controls all on other ranks) becomes a diagonal on position 0.
        alone.positions = step.positions() != 0 ? step.positions() : 1;
        alone.members = {0};
        run.matrices.push_back(matrixOf(alone, {step}));
        step = compiled_gate{};
        step.kind = compiled_gate::FUSED;
        step.mask = alone.positions;
        step.fused = run.matrices.back().get();
    }
    for (std::unique_ptr<fused_matrix>& m : run.matrices) roundToSingle(*m);
}

void orderForTiles(fused_run& run, unsigned long size, std::size_t amplitudeBytes) {
    if (size < 2 || (size & (size - 1)) != 0) return;
    const tile_shape shape = tileShape(size, amplitudeBytes);
    const unsigned long low = (1UL << shape.segmentBits) - 1;
    std::vector<unsigned long> positions, spans;
    for (const compiled_gate& step : run.steps) {
        positions.push_back(step.positions());
        spans.push_back(step.tilePositions());
    }
    unsigned long stretchHigh = 0;  // the high positions of the stretch being filled
    const std::vector<std::size_t> order = dependencyOrder(positions, [&](const std::vector<std::size_t>& ready) {
        std::size_t best = ready.size();
        unsigned long bestHigh = 0;
        for (std::size_t k = 0; k < ready.size(); ++k) {
            // The high positions the stretch would have with this step; ties go to the earliest.
            const unsigned long high = static_cast<unsigned long>(popcount((stretchHigh | spans[ready[k]]) & ~low));
            if (high > shape.highRoom) continue;
            if (best == ready.size() || high < bestHigh || (high == bestHigh && ready[k] < ready[best])) {
                best = k;
                bestHigh = high;
            }
        }
        if (best == ready.size()) {  // none fits: the next stretch starts with the earliest
            stretchHigh = 0;
            best = static_cast<std::size_t>(std::min_element(ready.begin(), ready.end()) - ready.begin());
        }
        stretchHigh |= spans[ready[best]] & ~low;
        return best;
    });
    std::vector<compiled_gate> steps;
    steps.reserve(order.size());
    for (std::size_t i : order) steps.push_back(run.steps[i]);
    run.steps = std::move(steps);
}

}  // namespace gates
