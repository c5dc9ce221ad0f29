#include "engine/fusion/op_list.h"

gate_unit lane_op::record() const {
    gate_unit out;
    const std::string name = gates::getGateName(gate);
    if (arity == 3) {
        out = gate_unit(name, qubits[0], qubits[1], qubits[2]);
    } else if (arity == 2) {
        out = gate_unit(name, qubits[0], qubits[1]);
    } else {
        out = hasAngle ? gate_unit(name, qubits[0], angle) : gate_unit(name, qubits[0]);
    }
    if (measures()) out.setClbitTarget(clbit);
    if (cond.isValid()) out.setCondition(cond);
    return out;
}

lane_op measureOn(unsigned long qubit, unsigned long clbit) {
    lane_op out;
    out.gate = GATE_MEASURE;
    out.qubits[0] = qubit;
    out.clbit = clbit;
    return out;
}

lane_op laneOp(const gate_unit& record) {
    lane_op op;
    op.gate = record.getGateIndex() == GATE_MEASURE ? GATE_MEASURE : record.kernelIndex();
    op.arity = static_cast<unsigned char>(record.getQubitNum());
    op.qubits[0] = record.getQubit();
    op.qubits[1] = record.getQubit2();
    op.qubits[2] = record.getQubit3();
    op.angle = record.getAngle();
    op.hasAngle = true;
    op.clbit = record.getClbitTarget();
    op.cond = record.getCondition();
    return op;
}

op_list opsOf(const circuit& c) {
    op_list out;
    out.qubits = c.getQubitNum();
    out.clbits = c.getClbitNum();
    for (const circuit_unit& unit : c.layerList())
        for (const gate_unit& record : unit.gateList()) out.ops.push_back(laneOp(record));
    return out;
}
