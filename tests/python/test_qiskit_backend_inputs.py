"""KovraBackend on inputs that Qiskit lets through but the plain gate path
does not expect: measure and reset instructions over several qubits, angles
that are not finite, and shot counts beyond what the sampler takes."""

import pytest

pytest.importorskip("qiskit")

from qiskit import QuantumCircuit  # noqa: E402
from qiskit.circuit import Instruction  # noqa: E402

from kovra.qiskit import KovraBackend, UnsupportedInstructionError  # noqa: E402

BACKEND = KovraBackend()
MAX_SHOTS = 2**31 - 1  # as the command line's --shots


def wide_measure(circuit):
    """q0 -> c2, q1 -> c0, q2 -> c1 in one instruction named "measure"."""
    circuit.append(Instruction("measure", 3, 3, []), [0, 1, 2], [2, 0, 1])
    return circuit


def flipped_then_wide_reset():
    circuit = QuantumCircuit(3, 3)
    circuit.x([0, 1, 2])
    circuit.append(Instruction("reset", 2, 0, []), [0, 2])
    circuit.measure([0, 1, 2], [0, 1, 2])
    return circuit


def measured_flipped_qubits():
    circuit = QuantumCircuit(3, 3)
    circuit.x([0, 1])
    return wide_measure(circuit)


@pytest.mark.parametrize("make, key", [
    (measured_flipped_qubits, "101"),  # c2 holds q0, c0 holds q1
    (flipped_then_wide_reset, "010"),  # q0 and q2 reset, q1 still 1
])
def test_instructions_over_several_qubits_act_on_each(make, key):
    circuit = make()
    assert BACKEND.probabilities(circuit) == pytest.approx({key: 1.0})
    assert BACKEND.run(circuit, shots=20, seed_simulator=1).result().get_counts() == {key: 20}


def test_wide_measure_read_by_a_condition_branches_on_every_bit():
    # q1 is measured half and half into c0; the X on q0 must follow it.
    circuit = QuantumCircuit(3, 3)
    circuit.h(1)
    wide_measure(circuit)
    with circuit.if_test((circuit.clbits[0], 1)):
        circuit.x(0)
    circuit.measure(0, 2)
    assert BACKEND.probabilities(circuit) == pytest.approx({"000": 0.5, "101": 0.5})


def test_measure_with_fewer_bits_than_qubits_is_refused():
    circuit = QuantumCircuit(2, 1)
    circuit.append(Instruction("measure", 2, 1, []), [0, 1], [0])
    with pytest.raises(UnsupportedInstructionError, match="measure.*2 qubit.*1 bit"):
        BACKEND.run(circuit, shots=1)


@pytest.mark.parametrize("shots", [MAX_SHOTS + 1, 2**63, 2**64])
def test_shots_past_the_sampler_are_refused_naming_the_range(shots):
    circuit = QuantumCircuit(1, 1)
    circuit.measure(0, 0)
    with pytest.raises(ValueError, match=f"shots must be an int from 0 to {MAX_SHOTS}, got {shots}"):
        BACKEND.run(circuit, shots=shots)


@pytest.mark.parametrize("gate, params, qubits", [("rx", [float("inf")], [0]),
                                                  ("u", [0.5, float("nan"), 0.0], [0]),
                                                  ("cp", [float("-inf")], [0, 1])])
def test_angles_that_are_not_finite_are_refused_naming_the_instruction(gate, params, qubits):
    circuit = QuantumCircuit(2, 1)
    getattr(circuit, gate)(*params, *qubits)
    circuit.measure(0, 0)
    with pytest.raises(UnsupportedInstructionError, match=f"instruction '{gate}' has the parameter .*not a finite"):
        BACKEND.run(circuit, shots=1)


def _stretched_delay(circuit):
    circuit.delay(circuit.add_stretch("wait"), 0)


@pytest.mark.parametrize("wait", [lambda c: c.delay(100, 0), lambda c: c.delay(2.5, 0, unit="us"), _stretched_delay],
                         ids=["dt", "seconds", "stretch"])
def test_delays_of_any_duration_change_nothing(wait):
    circuit = QuantumCircuit(1, 1)
    circuit.x(0)
    wait(circuit)
    circuit.measure(0, 0)
    assert BACKEND.probabilities(circuit) == {"1": 1.0}
