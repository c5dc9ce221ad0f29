// The gate catalogue: gate kinds, their names and their matrices.
#pragma once

#include <complex>
#include <string>

#include "ir/matrix.h"

// Stored in gate records and compared numerically, so the order is fixed:
// 9-12 take an angle, 17-19 act on two qubits, 20 on three, 21 measures.
enum GATE_INDEX : int {
    GATE_INVALID = 0,
    GATE_I = 1,
    GATE_H = 2,
    GATE_X = 3,
    GATE_Y = 4,
    GATE_Z = 5,
    GATE_X90 = 6,
    GATE_Y90 = 7,
    GATE_Z90 = 8,
    GATE_RX = 9,
    GATE_RY = 10,
    GATE_RZ = 11,
    GATE_P = 12,
    GATE_S = 13,
    GATE_SD = 14,
    GATE_T = 15,
    GATE_TD = 16,
    GATE_CNOT = 17,
    GATE_YCON = 18,
    GATE_ZCON = 19,
    GATE_CCX = 20,
    GATE_MEASURE = 21,
};

using gate_matrix = matrix<std::complex<double>>;

// Builds the matrices of the parametrised gates from an angle. Angles arrive
// in degrees and are kept in radians, converted with the engine's fixed pi.
class gateAttr {
public:
    gateAttr() = default;
    explicit gateAttr(double degrees);
    ~gateAttr() {}

    bool setAngle(double radians);
    double getAngle() const;

    gate_matrix getGateXMatrix() const;
    gate_matrix getGateYMatrix() const;
    gate_matrix getGateZMatrix() const;
    gate_matrix getGatePMatrix() const;

private:
    double angle = 0.0;
};

namespace gates {

using ::gateAttr;

// The engine's numeric constants. They are the literals the circuits were
// calibrated with, not the full-precision values: 1 / SQRT2 is the double
// 0.707106781173095, and every angle carries PI's error in its 11th digit.
constexpr double SQRT2 = 1.4142135624;
constexpr double INV_SQRT2 = 0.707106781173095;
constexpr double PI = 3.1415926532;

// Qubits a kind's kernel reads: 2 for CNOT, YCON and ZCON, 3 for CCX, 1 for
// every other kind.
inline unsigned long gateArity(GATE_INDEX index) {
    if (index == GATE_CNOT || index == GATE_YCON || index == GATE_ZCON) return 2;
    return index == GATE_CCX ? 3 : 1;
}
// Rx, Ry, Rz and P take an angle.
inline bool takesAngle(GATE_INDEX index) { return index >= GATE_RX && index <= GATE_P; }

// floor(log2(size)): the qubit count of a state vector. Here, with the
// catalogue, because the gate runs need it without the one-gate kernels.
inline unsigned long qubitCount(unsigned long size) {
    unsigned long n = 0;
    while (size > 1) {
        size >>= 1;
        ++n;
    }
    return n;
}

// Exact, case-sensitive match; anything else is GATE_INVALID.
GATE_INDEX getGateIndex(const std::string& name);
// "Invalid Gate" for GATE_INVALID and values outside the catalogue.
std::string getGateName(GATE_INDEX index);

gate_matrix getGateI();
gate_matrix getGateH();
gate_matrix getGateX();
gate_matrix getGateY();
gate_matrix getGateZ();
gate_matrix getGateX90();
gate_matrix getGateY90();
gate_matrix getGateZ90();
gate_matrix getGateS();
gate_matrix getGateSd();
gate_matrix getGateT();
gate_matrix getGateTd();
gate_matrix getGateCNOT();
gate_matrix getGateYCON();
gate_matrix getGateZCON();
gate_matrix getGateCCX();

// Parametrised gates; the angle is in degrees.
gate_matrix getGateXr(double degrees);
gate_matrix getGateYr(double degrees);
gate_matrix getGateZr(double degrees);
gate_matrix getGateP(double degrees);

}  // namespace gates
