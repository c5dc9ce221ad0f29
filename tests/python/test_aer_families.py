"""Circuits of the kinds Qiskit Aer tests itself on: conditionals over
registers of 1 to 132 bits, measure, reset, initialize, unitary and
multiplexer, each against Aer; and the noise instructions, refused by name."""

import numpy as np
import pytest

qiskit = pytest.importorskip("qiskit")
qiskit_aer = pytest.importorskip("qiskit_aer")

from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister  # noqa: E402
from qiskit.circuit.library import UCGate  # noqa: E402
from qiskit.quantum_info import Kraus, SuperOp, random_statevector, random_unitary  # noqa: E402

from kovra.qiskit import KovraBackend, UnsupportedInstructionError  # noqa: E402
from test_qiskit_backend import assert_same_distribution  # noqa: E402

# The engine's calibrated pi and sqrt(2) (docs/performance.md) against Aer's.
TOLERANCE = 1e-8


def _initialize():
    qc = QuantumCircuit(3)
    qc.initialize(random_statevector(8, seed=1).data, [0, 1, 2])
    return qc


def _initialize_again():
    # Initialize resets qubits that gates have already acted on.
    qc = QuantumCircuit(3)
    qc.h(0)
    qc.cx(0, 1)
    qc.initialize(random_statevector(4, seed=2).data, [1, 2])
    return qc


def _unitary():
    qc = QuantumCircuit(3)
    qc.h(0)
    qc.unitary(random_unitary(4, seed=3), [0, 2])
    qc.unitary(random_unitary(8, seed=4), [2, 1, 0])
    return qc


def _multiplexer():
    qc = QuantumCircuit(3)
    qc.h(0)
    qc.ry(0.7, 1)
    qc.append(UCGate([random_unitary(2, seed=s).data for s in range(4)]), [2, 0, 1])
    return qc


@pytest.mark.parametrize("make", [_initialize, _initialize_again, _unitary, _multiplexer])
def test_unitary_families_match_aer(make):
    circuit = make()
    reference = circuit.copy()
    reference.save_probabilities_dict()
    simulator = qiskit_aer.AerSimulator(method="density_matrix")
    data = simulator.run(qiskit.transpile(reference, simulator)).result().data(0)["probabilities"]
    n = circuit.num_qubits
    expected = {format(int(k, 16) if isinstance(k, str) else int(k), f"0{n}b"): p for k, p in data.items()}
    circuit.measure_all()
    assert_same_distribution(KovraBackend().probabilities(circuit), expected, TOLERANCE)


@pytest.mark.parametrize("width", [1, 2, 64, 132])
@pytest.mark.parametrize("reset", [False, True])
def test_conditionals_over_wide_registers_match_aer(width, reset):
    """One qubit written into every bit of the register (each write a
    reuse), then gates conditioned on the register's value."""
    register = ClassicalRegister(width, "c")
    qc = QuantumCircuit(QuantumRegister(2), register, ClassicalRegister(1, "out"))
    value = 0
    for bit in range(width):
        if bit % 3 != 1:
            qc.x(0)
        qc.measure(0, register[bit])
        value |= (bit % 3 == 0) << bit
        if reset:
            qc.reset(0)
    with qc.if_test((register, value)):
        qc.x(1)
    with qc.if_test((register, value + 1)):
        qc.h(1)
    qc.measure(1, qc.cregs[1][0])
    counts = qiskit_aer.AerSimulator().run(qc, shots=32, seed_simulator=1).result().get_counts()
    assert KovraBackend().probabilities(qc) == pytest.approx({k: n / 32 for k, n in counts.items()}, abs=1e-10)


@pytest.mark.parametrize("channel", [
    Kraus([np.sqrt(0.9) * np.eye(2), np.sqrt(0.1) * np.array([[0, 1], [1, 0]])]),
    SuperOp(Kraus([np.diag([1, np.sqrt(0.5)]), np.array([[0, np.sqrt(0.5)], [0, 0]])])),
])
def test_channel_instructions_run_as_aer_runs_them(channel):
    qc = QuantumCircuit(2, 2)
    qc.h(0)
    qc.cx(0, 1)
    qc.append(channel, [0])
    qc.ry(0.4, 0)
    reference = qc.copy()
    reference.save_probabilities_dict()
    exact = qiskit_aer.AerSimulator(method="density_matrix").run(reference).result().data()["probabilities"]
    qc.measure([0, 1], [0, 1])
    mine = KovraBackend().probabilities(qc)
    assert mine == pytest.approx({format(k, "02b"): p for k, p in exact.items() if p > 1e-12}, abs=1e-8)
