"""Programs that reset qubits and use measured qubits again, over their
classical register and over their qubits, against Qiskit Aer to 1e-7.

Aer samples measurements, so its exact reference defers them: a measurement
becomes a CNOT onto a fresh ancilla that then holds the bit (the measured
qubit stays free for later use), a gate conditioned on a register becomes
the gate controlled by the ancillas its bits were last written from, and a
reset stays a reset, which Aer's density-matrix method applies as the exact
channel. The register's distribution is then that of the ancillas that hold
its bits at the end."""

import random

import pytest

qiskit = pytest.importorskip("qiskit")
qiskit_aer = pytest.importorskip("qiskit_aer")

import kovra_backends  # noqa: E402
from kovra.qasm import loads  # noqa: E402
from test_qasm_aer import HEADER, _append_controlled, assert_same_distribution  # noqa: E402

PROGRAMS = {
    "reuse after measurement": """qreg q[3];
creg c[3];
h q[0]; cx q[0], q[1];
measure q[0] -> c[0];
h q[0]; cu3(0.4, 0.1, -0.3) q[0], q[2];
measure q[0] -> c[1];
if (c == 3) x q[1];
measure q[1] -> c[2];
ry(0.9) q[1]; cx q[1], q[2];
""",
    "syndrome rounds on one reset ancilla": """qreg d[3];
qreg a[1];
creg syn[2];
creg out[3];
ry(0.8) d[0]; cx d[0], d[1]; cx d[0], d[2]; rx(0.3) d[1];
cx d[0], a[0]; cx d[1], a[0]; measure a[0] -> syn[0]; reset a[0];
cx d[1], a[0]; cx d[2], a[0]; measure a[0] -> syn[1]; reset a[0];
if (syn == 1) x d[0];
if (syn == 3) x d[1];
if (syn == 2) x d[2];
measure d -> out;
""",
    "reset in superposition and entangled": """qreg q[3];
creg c[2];
h q[0]; cx q[0], q[1]; rx(1.3) q[2]; cx q[2], q[0];
reset q[0];
h q[0]; measure q[0] -> c[0];
reset q[1]; reset q[1];
if (c == 1) ry(0.6) q[1];
measure q[1] -> c[1];
reset q[0]; swap q[0], q[2];
""",
}


def random_program(seed, qubits=4, steps=24):
    """Gates, measurements, resets and conditioned gates on any qubit,
    measured or not; at most five measurements (each is an ancilla of the
    reference's density matrix)."""
    rng = random.Random(seed)
    lines = [f"qreg q[{qubits}];", "creg c[3];"]
    measurements = 0
    for _ in range(steps):
        q = rng.randrange(qubits)
        kind = rng.random()
        if kind < 0.2 and measurements < 5:
            measurements += 1
            lines.append(f"measure q[{q}] -> c[{rng.randrange(3)}];")
        elif kind < 0.3:
            lines.append(f"reset q[{q}];")
        elif kind < 0.55:
            t = rng.choice([k for k in range(qubits) if k != q])
            lines.append(f"{rng.choice(['cx', 'cz', 'ch', 'swap'])} q[{q}], q[{t}];")
        else:
            condition = f"if (c == {rng.randrange(8)}) " if rng.random() < 0.3 else ""
            angles = ", ".join(repr(rng.uniform(-3, 3)) for _ in range(3))
            lines.append(f"{condition}u3({angles}) q[{q}];")
    return HEADER + "\n".join(lines) + "\n"


def deferred(circuit):
    """The deferred form (module docstring) and, per classical bit, the
    qubit that holds it at the end (None: never written, reads 0)."""
    measured = sum(1 for i in circuit.data if i.operation.name == "measure")
    out = qiskit.QuantumCircuit(circuit.num_qubits + measured)
    writer, fresh = {}, circuit.num_qubits
    for instruction in circuit.data:
        op, qubits = instruction.operation, list(instruction.qubits)
        mapped = [out.qubits[circuit.find_bit(q).index] for q in qubits]
        if op.name == "measure":
            out.cx(mapped[0], out.qubits[fresh])
            writer[instruction.clbits[0]] = out.qubits[fresh]
            fresh += 1
        elif op.name == "if_else":
            _append_controlled(out, instruction, writer,
                               lambda qubit: out.qubits[circuit.find_bit(qubit).index])
        elif op.name != "barrier":
            out.append(op, mapped)
    return out, [writer.get(c) for c in circuit.clbits]


def aer_distributions(source):
    """(classical register, qubits): keys lowest bit or qubit first."""
    circuit = qiskit.qasm2.loads(source, custom_instructions=qiskit.qasm2.LEGACY_CUSTOM_INSTRUCTIONS)
    out, holders = deferred(circuit)
    written = [h for h in holders if h is not None]
    out.save_probabilities_dict(written, label="bits")
    out.save_probabilities_dict(out.qubits[:circuit.num_qubits], label="qubits")
    simulator = qiskit_aer.AerSimulator(method="density_matrix")
    data = simulator.run(qiskit.transpile(out, simulator, optimization_level=0)).result().data(0)

    def spread(key, width):  # Aer keys by index, the first listed qubit its lowest bit
        return [(int(key) >> k) & 1 for k in range(width)]

    bits = {}
    for key, p in data["bits"].items():
        values = iter(spread(key, len(written)))
        text = "".join("0" if h is None else str(next(values)) for h in holders)
        bits[text] = bits.get(text, 0.0) + p
    qubits = {"".join(map(str, spread(k, circuit.num_qubits))): p for k, p in data["qubits"].items()}
    return bits, qubits


@pytest.mark.parametrize("source", [HEADER + p for p in PROGRAMS.values()]
                         + [random_program(seed) for seed in range(8)],
                         ids=list(PROGRAMS) + [f"random {seed}" for seed in range(8)])
def test_resets_and_reuse_match_aer(source):
    program = loads(source)
    nbits = len(program.clbit_names)
    simulator = kovra_backends.BasicSimulator()
    by_bits = simulator.execute(program.capsule(), {"mcbits": list(range(nbits))}).probabilities
    by_qubits = simulator.execute(program.capsule(), {}).probabilities
    want_bits, want_qubits = aer_distributions(source)
    assert_same_distribution(by_bits, want_bits)
    assert_same_distribution(by_qubits, want_qubits)
