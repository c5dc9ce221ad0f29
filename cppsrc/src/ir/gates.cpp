#include "ir/gates.h"

#include <cmath>

namespace {

using cd = std::complex<double>;

// Names of GATE_INDEX 1..21, in enumerator order.
const char* const kGateNames[] = {"I",    "H",  "X",  "Y",  "Z",  "X90",  "Y90",  "Z90",  "Rx",   "Ry",     "Rz",
                                  "P",    "S",  "Sd", "T",  "Td", "CNOT", "YCON", "ZCON", "CCX",  "MEASURE"};
constexpr int kGateCount = sizeof(kGateNames) / sizeof(kGateNames[0]);

gate_matrix diagonal(cd d0, cd d1) {
    gate_matrix m(2, 2);
    m[0][0] = d0;
    m[1][1] = d1;
    return m;
}

gate_matrix square(unsigned long size) { return gate_matrix(size, size); }

}  // namespace

gateAttr::gateAttr(double degrees) : angle(degrees * gates::PI / 180.0) {}

bool gateAttr::setAngle(double radians) {
    angle = radians;
    return true;
}

double gateAttr::getAngle() const { return angle; }

gate_matrix gateAttr::getGateXMatrix() const {
    gate_matrix m(2, 2);
    m[0][0] = std::cos(angle / 2);
    m[0][1] = cd(0, -1) * std::sin(angle / 2);
    m[1][0] = m[0][1];
    m[1][1] = m[0][0];
    return m;
}

gate_matrix gateAttr::getGateYMatrix() const {
    gate_matrix m(2, 2);
    m[0][0] = std::cos(angle / 2);
    m[0][1] = -std::sin(angle / 2);
    m[1][0] = -m[0][1];  // +sin with a negative-zero imaginary part
    m[1][1] = m[0][0];
    return m;
}

gate_matrix gateAttr::getGateZMatrix() const {
    const cd i(0, 1);
    return diagonal(std::exp(-i * (angle / 2)), std::exp(i * (angle / 2)));
}

gate_matrix gateAttr::getGatePMatrix() const { return diagonal(1.0, std::exp(cd(0, 1) * angle)); }

namespace gates {

GATE_INDEX getGateIndex(const std::string& name) {
    for (int k = 0; k < kGateCount; ++k)
        if (name == kGateNames[k]) return static_cast<GATE_INDEX>(k + 1);
    return GATE_INVALID;
}

std::string getGateName(GATE_INDEX index) {
    if (index < 1 || index > kGateCount) return "Invalid Gate";
    return kGateNames[index - 1];
}

gate_matrix getGateI() { return diagonal(1.0, 1.0); }

gate_matrix getGateH() {
    gate_matrix m(2, 2);
    m[0][0] = INV_SQRT2;
    m[0][1] = INV_SQRT2;
    m[1][0] = INV_SQRT2;
    m[1][1] = -INV_SQRT2;
    return m;
}

gate_matrix getGateX() {
    gate_matrix m(2, 2);
    m[0][1] = 1.0;
    m[1][0] = 1.0;
    return m;
}

gate_matrix getGateY() {
    gate_matrix m(2, 2);
    m[0][1] = cd(0, -1);
    m[1][0] = cd(0, 1);
    return m;
}

gate_matrix getGateZ() { return diagonal(1.0, -1.0); }

gate_matrix getGateX90() {
    gate_matrix m(2, 2);
    m[0][0] = cd(0.5, 0.5);
    m[0][1] = cd(0.5, -0.5);
    m[1][0] = cd(0.5, -0.5);
    m[1][1] = cd(0.5, 0.5);
    return m;
}

gate_matrix getGateY90() {
    gate_matrix m(2, 2);
    m[0][0] = cd(0.5, 0.5);
    m[0][1] = cd(-0.5, -0.5);
    m[1][0] = cd(0.5, 0.5);
    m[1][1] = cd(0.5, 0.5);
    return m;
}

gate_matrix getGateZ90() { return diagonal(1.0, cd(0, 1)); }
gate_matrix getGateS() { return diagonal(1.0, cd(0, 1)); }
gate_matrix getGateSd() { return diagonal(1.0, cd(0, -1)); }
gate_matrix getGateT() { return diagonal(1.0, cd(INV_SQRT2, INV_SQRT2)); }
gate_matrix getGateTd() { return diagonal(1.0, cd(INV_SQRT2, -INV_SQRT2)); }

// Two- and three-qubit matrices number rows with the first qubit as the most
// significant bit, so the controlled block is the bottom-right one.
gate_matrix getGateCNOT() {
    gate_matrix m = square(4);
    m[0][0] = 1.0;
    m[1][1] = 1.0;
    m[2][3] = 1.0;
    m[3][2] = 1.0;
    return m;
}

gate_matrix getGateYCON() {
    gate_matrix m = square(4);
    m[0][0] = 1.0;
    m[1][1] = 1.0;
    m[2][3] = -1.0;
    m[3][2] = 1.0;
    return m;
}

gate_matrix getGateZCON() {
    gate_matrix m = square(4);
    m[0][0] = 1.0;
    m[1][1] = 1.0;
    m[2][2] = 1.0;
    m[3][3] = -1.0;
    return m;
}

gate_matrix getGateCCX() {
    gate_matrix m = square(8);
    for (unsigned long k = 0; k < 6; ++k) m[k][k] = 1.0;
    m[6][7] = 1.0;
    m[7][6] = 1.0;
    return m;
}

gate_matrix getGateXr(double degrees) { return gateAttr(degrees).getGateXMatrix(); }
gate_matrix getGateYr(double degrees) { return gateAttr(degrees).getGateYMatrix(); }
gate_matrix getGateZr(double degrees) { return gateAttr(degrees).getGateZMatrix(); }
gate_matrix getGateP(double degrees) { return gateAttr(degrees).getGatePMatrix(); }

}  // namespace gates
