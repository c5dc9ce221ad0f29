"""Random dynamic circuits (measurements in the middle, resets, measured
qubits used again, if_test on bits and registers, with and without else)
through both front ends of the shared lowering: KovraBackend, and the same
circuit written as an OpenQASM program where the language can say it. Both
are compared with Qiskit Aer.

Aer samples mid-circuit measurements, so its exact reference is the
deferred-measurement form of the circuit, run with the density-matrix
method: a measurement becomes a CNOT onto a fresh ancilla, which then holds
the bit; a reset stays a reset (the exact channel); an if_test becomes its
bodies controlled by the ancillas that last received the condition's bits,
one controlled copy per value of the bits (a bit never written reads 0)."""

import random

import pytest

qiskit = pytest.importorskip("qiskit")
qiskit_aer = pytest.importorskip("qiskit_aer")

import kovra_backends  # noqa: E402
from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister  # noqa: E402
from qiskit.circuit import Clbit  # noqa: E402

from kovra.qasm import loads  # noqa: E402
from kovra.qiskit import KovraBackend  # noqa: E402
from test_qiskit_backend import _key, assert_same_distribution  # noqa: E402

# The simulator's H divides by 1.4142135624 (docs/performance.md), which
# takes about 4e-11 of the norm each time: the circuits' H stay well within.
TOLERANCE = 1e-8
MAX_MEASUREMENTS = 6  # each is an ancilla of the reference's density matrix


def random_circuit(seed, qasm=False, qubits=3, steps=22):
    """A random dynamic circuit on registers q[qubits], a[2] and b[2]; a's
    bit 0 is the circuit's last bit, so its value's bits are not in the
    circuit's bit order.

    With `qasm` only what OpenQASM 2 can say: registers in order, and a
    condition compares a whole register with a value and applies one gate,
    without else."""
    rng = random.Random(seed)
    if qasm:
        a, b = ClassicalRegister(2, "a"), ClassicalRegister(2, "b")
        circuit = QuantumCircuit(QuantumRegister(qubits, "q"), a, b)
    else:
        bits = [Clbit() for _ in range(4)]
        a, b = ClassicalRegister(bits=[bits[3], bits[0]], name="a"), ClassicalRegister(bits=bits[1:3], name="b")
        circuit = QuantumCircuit(QuantumRegister(qubits, "q"), bits, a, b)
    measurements = 0
    for _ in range(steps):
        kind, q = rng.random(), rng.randrange(qubits)
        if kind < 0.2 and measurements < MAX_MEASUREMENTS:
            measurements += 1
            circuit.measure(q, rng.choice(circuit.clbits))
        elif kind < 0.3:
            circuit.reset(q)
        elif kind < 0.5:
            target = rng.choice((a, b)) if qasm or rng.random() < 0.6 else rng.choice(circuit.clbits)
            _random_if(rng, circuit, q, target, qasm)
        elif kind < 0.7:
            others = [k for k in range(qubits) if k != q]
            if rng.random() < 0.3:
                circuit.ccx(*rng.sample(others, 2), q)
            else:
                getattr(circuit, rng.choice(["cx", "cz", "swap"]))(q, rng.choice(others))
        else:
            circuit.u(*(rng.uniform(-3, 3) for _ in range(3)), q)
    return circuit


def _random_if(rng, circuit, q, target, qasm):
    width = 1 if isinstance(target, Clbit) else len(target)
    # One value past what the bits hold: the body never runs, the else always.
    value = rng.randrange(2 ** width + 1)
    other = rng.choice([k for k in range(circuit.num_qubits) if k != q])
    with circuit.if_test((target, value)) as otherwise:
        if qasm or rng.random() < 0.5:
            circuit.u(*(rng.uniform(-3, 3) for _ in range(3)), q)
        else:
            circuit.h(q)
            circuit.cx(q, other)
    if not qasm and rng.random() < 0.5:
        with otherwise:
            circuit.ry(rng.uniform(-3, 3), other)


def openqasm(circuit):
    """The program of a circuit made by random_circuit(..., qasm=True)."""
    lines = ['OPENQASM 2.0;', 'include "qelib1.inc";', f"qreg q[{circuit.num_qubits}];"]
    lines += [f"creg {r.name}[{r.size}];" for r in circuit.cregs]

    def statement(instruction):
        op = instruction.operation
        qubits = ", ".join(f"q[{circuit.find_bit(x).index}]" for x in instruction.qubits)
        params = f"({', '.join(repr(float(p)) for p in op.params)})" if op.params else ""
        if op.name == "measure":
            register, index = circuit.find_bit(instruction.clbits[0]).registers[0]
            return f"measure {qubits} -> {register.name}[{index}];"
        return f"{op.name}{params} {qubits};"

    for instruction in circuit.data:
        op = instruction.operation
        if op.name == "if_else":
            register, value = op.condition
            (inner,) = op.blocks[0].data
            body = inner.replace(qubits=[instruction.qubits[op.blocks[0].find_bit(x).index] for x in inner.qubits])
            lines.append(f"if ({register.name}=={value}) {statement(body)}")
        else:
            lines.append(statement(instruction))
    return "\n".join(lines) + "\n"


def deferred(circuit):
    """The deferred-measurement form (module docstring) and, per classical
    bit, the ancilla that holds it at the end (None: never written)."""
    measured = sum(len(i.qubits) for i in circuit.data if i.operation.name == "measure")
    out = QuantumCircuit(circuit.num_qubits + measured)
    writer, fresh = {}, circuit.num_qubits
    for instruction in circuit.data:
        op = instruction.operation
        qubits = [circuit.find_bit(x).index for x in instruction.qubits]
        if op.name == "measure":
            for qubit, clbit in zip(qubits, instruction.clbits):
                out.cx(qubit, fresh)
                writer[clbit] = fresh
                fresh += 1
        elif op.name == "if_else":
            _append_branches(out, op, qubits, writer)
        elif op.name != "barrier":
            out.append(op, qubits)
    return out, [writer.get(c) for c in circuit.clbits]


def _append_branches(out, op, qubits, writer):
    target, value = op.condition
    bits = [target] if isinstance(target, Clbit) else list(target)
    written = [b for b in bits if b in writer]
    for state in range(2 ** len(bits)):
        if any((state >> k) & 1 for k, b in enumerate(bits) if b not in writer):
            continue  # an unwritten bit reads 0
        body = op.blocks[0] if state == value else (op.blocks[1] if len(op.blocks) > 1 else None)
        if body is None:
            continue
        control_state = sum(((state >> bits.index(b)) & 1) << k for k, b in enumerate(written))
        for inner in body.data:
            gate = inner.operation
            if written:
                gate = gate.control(len(written), ctrl_state=control_state)
            targets = [qubits[body.find_bit(x).index] for x in inner.qubits]
            out.append(gate, [writer[b] for b in written] + targets)


def aer_distribution(circuit):
    """Aer's exact distribution of the classical bits: {value: probability}."""
    out, holders = deferred(circuit)
    held = [h for h in holders if h is not None]
    if not held:
        return {0: 1.0}
    out.save_probabilities_dict(held)
    simulator = qiskit_aer.AerSimulator(method="density_matrix")
    data = simulator.run(qiskit.transpile(out, simulator, optimization_level=0)).result().data(0)
    distribution = {}
    for index, p in data["probabilities"].items():
        index = int(index, 16) if isinstance(index, str) else int(index)
        value = 0
        for position, holder in enumerate(held):
            value |= ((index >> position) & 1) << holders.index(holder)
        distribution[value] = distribution.get(value, 0.0) + p
    return distribution


@pytest.mark.parametrize("seed", range(16))
def test_kovra_backend_matches_aer_on_dynamic_circuits(seed):
    circuit = random_circuit(seed)
    expected = {_key(circuit, v): p for v, p in aer_distribution(circuit).items()}
    assert_same_distribution(KovraBackend().probabilities(circuit), expected, TOLERANCE)


@pytest.mark.parametrize("seed", range(8))
def test_openqasm_program_matches_aer_on_dynamic_circuits(seed):
    circuit = random_circuit(seed, qasm=True)
    program = loads(openqasm(circuit))
    bits = list(range(circuit.num_clbits))
    got = kovra_backends.BasicSimulator().execute(program.capsule(), {"mcbits": bits}).probabilities
    # Keys list bit 0 first.
    expected = {format(v, f"0{len(bits)}b")[::-1]: p for v, p in aer_distribution(circuit).items()}
    assert_same_distribution(got, expected, TOLERANCE)
