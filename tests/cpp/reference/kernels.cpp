#include "reference/kernels.h"

#include "engine/kernels/kernel_arith.h"

#include <algorithm>
#include <utility>

namespace gates {

namespace {

using namespace arith;

// Visits every pair (i0, i1) of indices that differ only in the bit m, i0
// with the bit clear. One pass, in memory order.
template <typename F>
inline void forEachPair(state_vector& state, unsigned long m, F&& f) {
    const unsigned long n = state.size();
    cd* const a = state.data();
    for (unsigned long base = 0; base < n; base += 2 * m)
        for (unsigned long i = 0; i < m; ++i) f(a[base | i], a[base | i | m]);
}

// Visits only the amplitudes with the bit m set: the diagonal gates leave the
// others alone.
template <typename F>
inline void forEachUpper(state_vector& state, unsigned long m, F&& f) {
    const unsigned long n = state.size();
    cd* const a = state.data();
    for (unsigned long base = m; base < n; base += 2 * m)
        for (unsigned long i = 0; i < m; ++i) f(a[base | i]);
}

// Visits every index with the bits at positions lo < hi clear.
template <typename F>
inline void forEachClear2(unsigned long n, unsigned long lo, unsigned long hi, F&& f) {
    for (unsigned long base = 0; base < n; base += bit(hi + 1))
        for (unsigned long mid = 0; mid < bit(hi); mid += bit(lo + 1))
            for (unsigned long i = 0; i < bit(lo); ++i) f(base + mid + i);
}

// Visits every index with the bits at positions p0 < p1 < p2 clear.
template <typename F>
inline void forEachClear3(unsigned long n, unsigned long p0, unsigned long p1, unsigned long p2, F&& f) {
    for (unsigned long base3 = 0; base3 < n; base3 += bit(p2 + 1))
        for (unsigned long base2 = 0; base2 < bit(p2); base2 += bit(p1 + 1))
            for (unsigned long base1 = 0; base1 < bit(p1); base1 += bit(p0 + 1))
                for (unsigned long i = 0; i < bit(p0); ++i) f(base3 + base2 + base1 + i);
}

// A general one-qubit gate [[m00, m01], [m10, m11]]. The matrix is taken by
// value: its writable row access reads elements without copying rows.
void applyMatrix(state_vector& state, unsigned long pos, gate_matrix m) {
    const cd m00 = m[0][0], m01 = m[0][1], m10 = m[1][0], m11 = m[1][1];
    forEachPair(state, bit(pos), [&](cd& x0, cd& x1) {
        const cd a0 = x0, a1 = x1;
        x0 = a0 * m00 + a1 * m01;
        x1 = a0 * m10 + a1 * m11;
    });
}

void applyPhase(state_vector& state, unsigned long pos, cd phase) {
    forEachUpper(state, bit(pos), [phase](cd& x1) { x1 = x1 * phase; });
}

}  // namespace

bool executeGateI(state_vector&, unsigned long) { return true; }

bool executeGateH(state_vector& state, unsigned long pos) {
    forEachPair(state, bit(pos), [](cd& x0, cd& x1) {
        const cd a0 = x0, a1 = x1;
        x0 = divide(a0 + a1, SQRT2);
        x1 = divide(a0 - a1, SQRT2);
    });
    return true;
}

bool executeGateX(state_vector& state, unsigned long pos) {
    forEachPair(state, bit(pos), [](cd& x0, cd& x1) { std::swap(x0, x1); });
    return true;
}

bool executeGateY(state_vector& state, unsigned long pos) {
    forEachPair(state, bit(pos), [](cd& x0, cd& x1) {
        const cd a0 = x0, a1 = x1;
        x0 = a1 * MINUS_I;
        x1 = a0 * I_UNIT;
    });
    return true;
}

bool executeGateZ(state_vector& state, unsigned long pos) {
    forEachUpper(state, bit(pos), [](cd& x1) { x1 = negate(x1); });
    return true;
}

bool executeGateX90(state_vector& state, unsigned long pos) {
    forEachPair(state, bit(pos), [](cd& x0, cd& x1) {
        const cd a0 = x0, a1 = x1;
        x0 = (a0 + a1 * MINUS_I) * HALF_PLUS_HALF_I;
        x1 = (a0 * MINUS_I + a1) * HALF_PLUS_HALF_I;
    });
    return true;
}

bool executeGateY90(state_vector& state, unsigned long pos) {
    forEachPair(state, bit(pos), [](cd& x0, cd& x1) {
        const cd a0 = x0, a1 = x1;
        x0 = (a0 - a1) * HALF_PLUS_HALF_I;
        x1 = (a0 + a1) * HALF_PLUS_HALF_I;
    });
    return true;
}

bool executeGateZ90(state_vector& state, unsigned long pos) {
    applyPhase(state, pos, I_UNIT);
    return true;
}

bool executeGateXr(state_vector& state, unsigned long pos, double degrees) {
    applyMatrix(state, pos, getGateXr(degrees));
    return true;
}

bool executeGateYr(state_vector& state, unsigned long pos, double degrees) {
    applyMatrix(state, pos, getGateYr(degrees));
    return true;
}

bool executeGateZr(state_vector& state, unsigned long pos, double degrees) {
    gate_matrix m = getGateZr(degrees);
    const cd d0 = m[0][0], d1 = m[1][1];
    forEachPair(state, bit(pos), [d0, d1](cd& x0, cd& x1) {
        x0 = x0 * d0;
        x1 = x1 * d1;
    });
    return true;
}

bool executeGateP(state_vector& state, unsigned long pos, double degrees) {
    applyPhase(state, pos, getGateP(degrees)[1][1]);
    return true;
}

bool executeGateS(state_vector& state, unsigned long pos) {
    applyPhase(state, pos, I_UNIT);
    return true;
}

bool executeGateSd(state_vector& state, unsigned long pos) {
    applyPhase(state, pos, MINUS_I);
    return true;
}

bool executeGateT(state_vector& state, unsigned long pos) {
    applyPhase(state, pos, divide(cd(1, 1), SQRT2));
    return true;
}

bool executeGateTd(state_vector& state, unsigned long pos) {
    applyPhase(state, pos, divide(cd(1, -1), SQRT2));
    return true;
}

bool executeGateCNOT(state_vector& state, unsigned long control, unsigned long target) {
    cd* const a = state.data();
    const unsigned long c = bit(control), t = bit(target);
    forEachClear2(state.size(), std::min(control, target), std::max(control, target), [=](unsigned long z) {
        std::swap(a[z + c], a[z + c + t]);
    });
    return true;
}

// Controlled [[0, -1], [1, 0]].
bool executeGateYCON(state_vector& state, unsigned long control, unsigned long target) {
    cd* const a = state.data();
    const unsigned long c = bit(control), t = bit(target);
    forEachClear2(state.size(), std::min(control, target), std::max(control, target), [=](unsigned long z) {
        const cd d = a[z + c], e = a[z + c + t];
        a[z + c] = -e;
        a[z + c + t] = d;
    });
    return true;
}

bool executeGateZCON(state_vector& state, unsigned long control, unsigned long target) {
    cd* const a = state.data();
    const unsigned long ct = bit(control) + bit(target);
    forEachClear2(state.size(), std::min(control, target), std::max(control, target),
                  [=](unsigned long z) { a[z + ct] = negate(a[z + ct]); });
    return true;
}

bool executeGateCCX(state_vector& state, unsigned long control1, unsigned long control2, unsigned long target) {
    unsigned long p[3] = {control1, control2, target};
    for (int i = 1; i < 3; ++i)  // insertion sort of three positions
        for (int j = i; j > 0 && p[j - 1] > p[j]; --j) std::swap(p[j - 1], p[j]);
    cd* const a = state.data();
    const unsigned long cc = bit(control1) + bit(control2), t = bit(target);
    forEachClear3(state.size(), p[0], p[1], p[2], [=](unsigned long z) { std::swap(a[z + cc], a[z + cc + t]); });
    return true;
}

bool executeGateMeasure(state_vector& state, unsigned long qubit, bool keepZero) {
    const unsigned long m = bit(qubitCount(state.size()) - 1 - qubit);
    const unsigned long n = state.size();
    cd* const a = state.data();
    // Zero the half that did not happen; the other half keeps its amplitudes.
    const unsigned long first = keepZero ? m : 0;
    for (unsigned long base = first; base < n; base += 2 * m)
        for (unsigned long i = 0; i < m; ++i) a[base | i] = cd(0.0, 0.0);
    return true;
}

bool executeGate(state_vector& state, const unsigned long* positions, GATE_INDEX index) {
    const unsigned long p = positions[0];
    switch (index) {
        case GATE_I: return executeGateI(state, p);
        case GATE_H: return executeGateH(state, p);
        case GATE_X: return executeGateX(state, p);
        case GATE_Y: return executeGateY(state, p);
        case GATE_Z: return executeGateZ(state, p);
        case GATE_X90: return executeGateX90(state, p);
        case GATE_Y90: return executeGateY90(state, p);
        case GATE_Z90: return executeGateZ90(state, p);
        case GATE_S: return executeGateS(state, p);
        case GATE_SD: return executeGateSd(state, p);
        case GATE_T: return executeGateT(state, p);
        case GATE_TD: return executeGateTd(state, p);
        case GATE_CNOT: return executeGateCNOT(state, p, positions[1]);
        case GATE_YCON: return executeGateYCON(state, p, positions[1]);
        case GATE_ZCON: return executeGateZCON(state, p, positions[1]);
        case GATE_CCX: return executeGateCCX(state, p, positions[1], positions[2]);
        default: return false;  // invalid, measurement, or an angle is missing
    }
}

bool executeGate(state_vector& state, const unsigned long* positions, GATE_INDEX index, double degrees) {
    switch (index) {
        case GATE_RX: return executeGateXr(state, positions[0], degrees);
        case GATE_RY: return executeGateYr(state, positions[0], degrees);
        case GATE_RZ: return executeGateZr(state, positions[0], degrees);
        case GATE_P: return executeGateP(state, positions[0], degrees);
        default: return executeGate(state, positions, index);
    }
}

bool executeGate(state_vector& state, const unsigned long* positions, const std::string& name) {
    return executeGate(state, positions, getGateIndex(name));
}

bool executeGate(state_vector& state, const unsigned long* positions, const std::string& name, double degrees) {
    return executeGate(state, positions, getGateIndex(name), degrees);
}

}  // namespace gates
