"""The builder takes Qiskit's names of catalogue gates and writes the
catalogue's; a likely slip is refused before a graph exists, and a name
far from every known one is left for the back end (a device's own gate)."""

import numpy as np
import pytest

import kovra_backends
from kovra.builder import CircuitBuilder
from kovra.gate_names import ALIASES

qiskit = pytest.importorskip("qiskit")
from qiskit.quantum_info import Statevector  # noqa: E402

# Qubit counts of the aliased gates, read off Qiskit's own gate library.
_MAPPING = qiskit.circuit.library.get_standard_gate_name_mapping()


def _prepared(n):
    """A state with no symmetry a wrong gate could hide behind."""
    b = CircuitBuilder()
    b.qreg(n)
    for q in range(n):
        b.gate("Ry", [q], params=[0.4 + 0.3 * q])
        b.gate("Rz", [q], params=[0.2 + 0.5 * q])
    return b


@pytest.mark.parametrize("alias", sorted(ALIASES))
def test_an_alias_runs_as_qiskit_runs_the_gate(alias):
    gate = _MAPPING[alias]
    qubits = list(range(gate.num_qubits))
    angles = [0.7] * len(gate.params)
    b = _prepared(len(qubits))
    b.gate(alias, qubits, params=angles or None)
    assert b.graph().vs[len(b.graph().vs) - 1]["name"] == ALIASES[alias]
    ours = np.asarray(kovra_backends.BasicSimulator().execute(b.capsule(), {"fusion": False}).states)

    reference = qiskit.QuantumCircuit(len(qubits))
    for q in qubits:
        reference.ry(0.4 + 0.3 * q, q)
        reference.rz(0.2 + 0.5 * q, q)
    reference.append(type(gate)(*angles) if angles else gate, qubits)
    # Qiskit's amplitude k has qubit 0 as its lowest bit, ours as its
    # highest; the catalogue may differ from Qiskit's matrix by one global
    # phase.
    theirs = Statevector(reference.reverse_bits()).data
    overlap = np.vdot(theirs, ours)
    assert abs(abs(overlap) - 1) < 1e-9


@pytest.mark.parametrize("name, message", [
    ("cnot", "did you mean 'CNOT'"),
    ("Rxx", "did you mean 'Rx'"),
    ("rzz", "no single catalogue gate"),   # a Qiskit gate that takes several
    ("u", "no single catalogue gate"),     # three angles, no one catalogue gate
])
@pytest.mark.parametrize("where", ["circuit", "definition"])
def test_an_unknown_name_is_refused_with_the_likely_one(name, message, where):
    b = CircuitBuilder()
    b.qreg(2)
    target = b if where == "circuit" else b.define("body")
    with pytest.raises(ValueError, match=message):
        target.gate(name, [0])


def test_a_name_far_from_every_known_one_reaches_the_back_end_as_given():
    b = CircuitBuilder()
    b.qreg(1)
    b.gate("Hadamard", [0])
    with pytest.raises(kovra_backends.CircuitError, match='"Hadamard" is not a gate name'):
        kovra_backends.BasicSimulator().execute(b.capsule(), {})
