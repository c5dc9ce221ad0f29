"""OpenQASM 2 programs on the simulator against Qiskit Aer, to 1e-7.

Between them the programs apply every gate of the lowering table, plain and
under conditions on classical registers. Aer samples mid-circuit
measurements, so its exact reference is the deferred-measurement form of the
program: a measurement is dropped (its qubit is never touched again, so the
distribution over all qubits stays the same) and a gate conditioned on a
register becomes that gate controlled by the qubits last measured into the
register's bits (a bit never written reads 0)."""

import random

import pytest

qiskit = pytest.importorskip("qiskit")
qiskit_aer = pytest.importorskip("qiskit_aer")

import kovra_backends  # noqa: E402
from kovra.qasm import loads  # noqa: E402
from kovra.qasm_gates import LOWERINGS  # noqa: E402

HEADER = 'OPENQASM 2.0;\ninclude "qelib1.inc";\n'
TOLERANCE = 1e-7

PROGRAMS = {
    "one-qubit gates": """qreg q[3];
opaque delay(t) a;
h q[0]; h q[1]; h q[2];
x q[0]; y q[1]; z q[2]; id q[0];
s q[0]; sdg q[1]; t q[2]; tdg q[0];
sx q[1]; sxdg q[2];
rx(0.3) q[0]; ry(-1.1) q[1]; rz(2.2) q[2];
p(0.7) q[0]; u1(-0.4) q[1];
u2(0.5, -1.3) q[2];
u3(1.2, 0.4, -2.1) q[0];
u(2.4, -0.6, 1.9) q[1];
U(0.8, 1.7, -0.2) q[2];
u0(3) q[0]; delay(20) q[1];
h q[0]; sx q[1]; u2(0.1, 0.2) q[2];
""",
    "two-qubit gates": """qreg q[4];
h q[0]; ry(0.9) q[1]; u3(1.3, 0.2, 0.6) q[2]; rx(-0.7) q[3];
cx q[0], q[1]; CX q[2], q[3];
cz q[1], q[2]; cy q[3], q[0]; ch q[0], q[2];
csx q[2], q[1];
swap q[1], q[3];
crx(0.8) q[3], q[1]; cry(-1.4) q[0], q[3]; crz(2.6) q[2], q[0];
cu1(0.9) q[1], q[0]; cp(-2.3) q[3], q[2];
cu3(1.1, -0.5, 0.3) q[0], q[1];
cu(0.7, 1.9, -1.2, 0.45) q[2], q[3];
rxx(0.6) q[0], q[3]; rzz(-1.7) q[1], q[2];
h q[0]; h q[1]; sx q[2]; ry(0.3) q[3];
""",
    "three to five qubits": """qreg q[5];
h q[0]; h q[1]; ry(1.2) q[2]; rx(0.4) q[3]; u3(0.9, 1.1, -0.3) q[4];
ccx q[0], q[1], q[2];
cswap q[4], q[0], q[3];
rccx q[2], q[3], q[4];
rc3x q[1], q[4], q[0], q[3];
c3x q[3], q[0], q[2], q[1];
c3sqrtx q[4], q[2], q[1], q[0];
c4x q[0], q[1], q[3], q[4], q[2];
h q[0]; h q[2]; sx q[4]; ry(0.7) q[1];
""",
    "conditions on registers": """qreg q[6];
creg a[2];
creg b[1];
creg never[2];
h q[0]; ry(1.1) q[1]; rx(0.5) q[2];
measure q[0] -> a[0];
measure q[1] -> a[1];
h q[3]; ry(0.6) q[4]; u3(0.4, 0.2, 0.9) q[5];
if (a == 1) cu3(1.3, -0.4, 0.8) q[3], q[4];
if (a == 2) c3sqrtx q[2], q[3], q[4], q[5];
if (a == 3) rc3x q[5], q[4], q[2], q[3];
if (a == 0) cswap q[2], q[3], q[5];
if (a == 3) u2(0.3, -0.9) q[2];
if (a == 1) sxdg q[5];
measure q[2] -> b[0];
if (b == 1) ch q[3], q[5];
if (b == 0) crx(0.7) q[4], q[3];
if (never == 0) cy q[3], q[4];
if (never == 2) x q[5];
if (a == 2) rzz(0.8) q[4], q[5];
""",
    "teleported rotation": """qreg q[3];
creg m0[1];
creg m1[1];
u3(1.1, 0.3, -0.7) q[0];
h q[1];
cx q[1], q[2];
cx q[0], q[1];
h q[0];
measure q[0] -> m0[0];
measure q[1] -> m1[0];
if (m1 == 1) x q[2];
if (m0 == 1) z q[2];
u3(-1.1, 0.7, -0.3) q[2];
""",
}


def deferred(circuit):
    """`circuit` with its measurements deferred: see the module docstring."""
    out = qiskit.QuantumCircuit(circuit.num_qubits)
    writer = {}  # classical bit -> the qubit measured into it last
    for instruction in circuit.data:
        op, qubits = instruction.operation, list(instruction.qubits)
        if op.name == "measure":
            writer[instruction.clbits[0]] = qubits[0]
        elif op.name == "if_else":
            _append_controlled(out, instruction, writer)
        elif op.name != "barrier":
            out.append(op, qubits)
    return out


def _append_controlled(out, instruction, writer, place=lambda qubit: qubit):
    """The conditioned body as gates controlled by the bits' writers; `place`
    maps a qubit of the program onto `out`."""
    register, value = instruction.operation.condition
    controls, state = [], 0
    for position, bit in enumerate(register):
        wanted = (value >> position) & 1
        if bit not in writer:
            if wanted:
                return  # an unwritten bit reads 0: the condition never holds
            continue
        state |= wanted << len(controls)
        controls.append(writer[bit])
    body = instruction.operation.blocks[0]
    for inner in body.data:
        targets = [place(instruction.qubits[body.find_bit(q).index]) for q in inner.qubits]
        gate = inner.operation
        if controls:
            gate = gate.control(len(controls), ctrl_state=state)
        out.append(gate, controls + targets)


def aer_probabilities(source):
    circuit = deferred(qiskit.qasm2.loads(
        source, custom_instructions=qiskit.qasm2.LEGACY_CUSTOM_INSTRUCTIONS))
    circuit.save_probabilities()
    simulator = qiskit_aer.AerSimulator(method="statevector")
    result = simulator.run(qiskit.transpile(circuit, simulator, optimization_level=0)).result()
    n = circuit.num_qubits
    # Aer's index has qubit 0 as its least significant bit; our keys put it first.
    return {format(i, f"0{n}b")[::-1]: p for i, p in enumerate(result.data(0)["probabilities"])}


def kovra_probabilities(source):
    program = loads(source)
    return kovra_backends.BasicSimulator().execute(program.capsule(), {}).probabilities


def assert_same_distribution(got, want):
    for key in set(got) | set(want):
        assert abs(got.get(key, 0.0) - want.get(key, 0.0)) <= TOLERANCE, key


@pytest.mark.parametrize("name", PROGRAMS)
def test_program_matches_aer(name):
    source = HEADER + PROGRAMS[name]
    assert_same_distribution(kovra_probabilities(source), aer_probabilities(source))


def test_programs_use_every_gate_of_the_table():
    text = " ".join(PROGRAMS.values()).replace("U(", "u(").replace("CX ", "cx ")
    used = {name for name in LOWERINGS if f"{name} " in text or f"{name}(" in text}
    assert used == set(LOWERINGS)


def random_program(seed, qubits=5, gates=40):
    """Table gates on random distinct qubits with random angles; every third
    gate conditioned on a register measured from the last qubit, so that
    conditions land on states in superposition."""
    rng = random.Random(seed)
    names = sorted(n for n, lowering in LOWERINGS.items()
                   if lowering.qubits <= qubits - 1 and n not in ("u0", "delay"))
    lines = [f"qreg q[{qubits}];", "creg c[1];",
             f"h q[{qubits - 1}];", f"measure q[{qubits - 1}] -> c[0];"]
    lines += [f"ry({rng.uniform(0.2, 3)!r}) q[{k}];" for k in range(qubits - 1)]
    for k in range(gates):
        name = rng.choice(names)
        lowering = LOWERINGS[name]
        angles = [repr(rng.uniform(-3.2, 3.2)) for _ in range(lowering.angles)]
        args = f"({', '.join(angles)})" if angles else ""
        targets = ", ".join(f"q[{q}]" for q in rng.sample(range(qubits - 1), lowering.qubits))
        condition = f"if (c == {rng.randint(0, 1)}) " if k % 3 == 2 else ""
        lines.append(f"{condition}{name}{args} {targets};")
    return HEADER + "\n".join(lines) + "\n"


@pytest.mark.parametrize("seed", range(6))
def test_random_program_matches_aer(seed):
    source = random_program(seed)
    assert_same_distribution(kovra_probabilities(source), aer_probabilities(source))
