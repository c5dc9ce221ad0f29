"""Every entry of the OpenQASM 2 gate table against qiskit's matrix of the
gate, up to one global phase.

The lowered gate runs on the simulator itself: each of its k qubits starts
maximally entangled with a reference qubit, so one final state vector holds
the whole 2^k x 2^k matrix (the state is sum_x U|x>|x> / 2^(k/2))."""

import math

import numpy as np
import pytest

qiskit = pytest.importorskip("qiskit")
from qiskit.quantum_info import Operator  # noqa: E402

import kovra_backends  # noqa: E402
from kovra.qasm import QasmError, loads  # noqa: E402
from kovra.qasm_gates import LOWERINGS  # noqa: E402

HEADER = 'OPENQASM 2.0;\ninclude "qelib1.inc";\n'
# Generic angles, then ones that hit the special cases (0 drops a step, the
# multiples of pi/2 make entries vanish).
ANGLE_SETS = {"generic": (0.37, -1.21, 2.63, 0.58), "special": (math.pi, 0.0, -math.pi / 2, math.pi / 2)}
# u0 and delay wait a whole number of time steps (delay needs a declaration
# of its own); qiskit's matrix of either is the identity.
DECLARATIONS = {"delay": "opaque delay(t) a;\n"}
DURATIONS = {"generic": (100,), "special": (0,)}


def statement(name, angles, qubits):
    lowering = LOWERINGS[name]
    args = f"({', '.join(repr(a) for a in angles[:lowering.angles])})" if lowering.angles else ""
    return f"{name}{args} {', '.join(f'q[{q}]' for q in qubits)};\n"


def kovra_matrix(source, k):
    """The unitary of the k-qubit program body `source`, rows and columns in
    our basis order (qubit 0 most significant)."""
    prepare = "".join(f"h q[{k + j}];\ncx q[{k + j}], q[{j}];\n" for j in range(k))
    program = loads(HEADER + f"qreg q[{2 * k}];\n" + prepare + source)
    states = kovra_backends.BasicSimulator().execute(program.capsule(), {}).states
    return np.array(states).reshape(2 ** k, 2 ** k) * math.sqrt(2 ** k)


def qiskit_matrix(source, k):
    circuit = qiskit.qasm2.loads(HEADER + f"qreg q[{k}];\n" + source,
                                 custom_instructions=qiskit.qasm2.LEGACY_CUSTOM_INSTRUCTIONS)
    # reverse_qargs puts qubit 0 first, as our keys do.
    return Operator(circuit).reverse_qargs().data


def assert_equal_up_to_phase(got, want, tolerance=1e-8):
    pivot = np.unravel_index(np.argmax(abs(want)), want.shape)
    phase = got[pivot] / want[pivot]
    assert abs(abs(phase) - 1) < tolerance
    np.testing.assert_allclose(got, phase * want, atol=tolerance, rtol=0)


def cases():
    for name, lowering in sorted(LOWERINGS.items()):
        for label in ANGLE_SETS if lowering.angles else ("fixed",):
            yield pytest.param(name, label, id=f"{name}-{label}")


@pytest.mark.parametrize("name, label", cases())
def test_lowering_matches_qiskit(name, label):
    k = LOWERINGS[name].qubits
    angles = (DURATIONS if name in ("u0", "delay") else ANGLE_SETS).get(label, ())
    # The qubits in an order other than 0..k-1, so that a lowering that mixes
    # up its positions cannot pass.
    order = list(range(k))[::-1] if k > 1 else [0]
    body = DECLARATIONS.get(name, "") + statement(name, angles, order)
    assert_equal_up_to_phase(kovra_matrix(body, k), qiskit_matrix(body, k))


def test_table_covers_every_gate_qiskit_loads_without_a_definition():
    assert set(LOWERINGS) == {i.name for i in qiskit.qasm2.LEGACY_CUSTOM_INSTRUCTIONS}


def test_gates_qiskit_exports_with_definitions_are_expanded_exactly():
    # qiskit writes gates beyond qelib1.inc into programs with their bodies;
    # those bodies are what gets lowered.
    from qiskit.circuit.library import ECRGate, XXMinusYYGate, XXPlusYYGate

    circuit = qiskit.QuantumCircuit(3)
    circuit.ryy(0.3, 0, 1)
    circuit.rzx(0.4, 2, 0)
    circuit.append(ECRGate(), [1, 2])
    circuit.iswap(0, 2)
    circuit.r(0.1, 0.7, 1)
    circuit.cs(0, 1)
    circuit.csdg(2, 1)
    circuit.dcx(1, 0)
    circuit.ccz(0, 1, 2)
    circuit.append(XXMinusYYGate(0.5, 0.2), [0, 2])
    circuit.append(XXPlusYYGate(-0.9, 1.1), [2, 1])
    circuit.mcx([2, 0], 1)
    body = qiskit.qasm2.dumps(circuit).split(";", 2)[2]  # without the header
    body = body.replace("qreg q[3];", "")
    assert_equal_up_to_phase(kovra_matrix(body, 3), Operator(circuit).reverse_qargs().data)


@pytest.mark.parametrize(
    "body, gate, line",
    [
        ("qreg q[2];\nopaque magic a, b;\nh q[0];\nmagic q[0], q[1];\n", "magic", 6),
        ("qreg q[1];\nopaque half a;\ngate wrap a {\n  x a; half a;\n}\nwrap q[0];\n", "half", 6),
    ],
)
def test_gate_without_lowering_names_gate_file_line_and_the_supported_gates(body, gate, line):
    with pytest.raises(QasmError) as error:
        loads(HEADER + body, filename="prog.qasm")
    message = str(error.value)
    assert f"gate '{gate}' (line {line} of prog.qasm)" in message
    assert all(name in message for name in LOWERINGS)
