"""Noise, exactly: density-matrix runs with channels and readout errors
against Qiskit Aer's density_matrix method.

Dynamic circuits (measurements, resets, conditions) are compared through
their deferred form (test_dynamic_branches.deferred), with each channel an
explicit instruction and each readout error a channel on the measurement's
classical copy; noise models on circuits measured at the end, through Aer's
exact probabilities with the readout errors folded in."""

import random

import numpy as np
import pytest

qiskit = pytest.importorskip("qiskit")
qiskit_aer = pytest.importorskip("qiskit_aer")

import kovra_backends  # noqa: E402
from qiskit import QuantumCircuit  # noqa: E402
from qiskit.quantum_info import Kraus  # noqa: E402
from qiskit_aer.noise import (NoiseModel, ReadoutError, amplitude_damping_error, depolarizing_error,  # noqa: E402
                              pauli_error, phase_damping_error, thermal_relaxation_error)

from kovra.qiskit import KovraBackend, UnsupportedNoiseError  # noqa: E402
from kovra.qiskit_lowering import lower_circuit  # noqa: E402
from test_dynamic_branches import QUBITS, Recorder, aer_distribution, both  # noqa: E402
from test_qiskit_backend import _key, assert_same_distribution  # noqa: E402

# The engine's calibrated pi and sqrt(2) differ from Aer's exact gates by
# about 1e-10 per gate (docs/performance.md).
TOLERANCE = 1e-9
NOISY_QUBIT = 0  # the qubit whose measurements carry a readout error
READOUT = np.array([[0.93, 0.07], [0.12, 0.88]])


def readout_channel(probabilities):
    """A readout error as a channel on a classical bit."""
    (p00, p01), (p10, p11) = probabilities
    return Kraus([np.diag([np.sqrt(p00), np.sqrt(p11)]), np.array([[0, np.sqrt(p10)], [np.sqrt(p01), 0]])])


class NoisyRecorder(Recorder):
    """Every unconditioned gate followed by a random channel on its qubits;
    measurements of NOISY_QUBIT unconditioned, with a readout error."""

    def random_gate(self, guard):
        super().random_gate(guard)
        if guard[0]:
            return
        qubits = self.flat[-1][2]
        if len(qubits) == 2:
            channel = Kraus(depolarizing_error(self.rng.uniform(0, 0.2), 2))
        else:
            channel = Kraus(self.rng.choice([
                amplitude_damping_error(self.rng.uniform(0, 0.4)),
                phase_damping_error(self.rng.uniform(0, 0.4)),
                thermal_relaxation_error(50, self.rng.uniform(10, 100), self.rng.uniform(1, 20)),
                pauli_error([("X", 0.1), ("Y", 0.05), ("I", 0.85)])]))
        self.qc.append(channel.to_instruction(), qubits)
        self.op("channel", channel.to_instruction(), qubits)

    def measure(self, q, bit, guard):
        if guard[0] and q == NOISY_QUBIT:
            q = NOISY_QUBIT + 1
        super().measure(q, bit, guard)
        if q == NOISY_QUBIT:
            self.flat[-1] = ("measure", readout_channel(READOUT).to_instruction()) + self.flat[-1][2:]


def noisy_program(seed):
    rng = random.Random(seed)
    r = NoisyRecorder(rng)
    top = ((), lambda v: True)
    for _ in range(10):
        kind = rng.random()
        if r.ancillas() >= 5:
            r.random_gate(top)
        elif kind < 0.25:
            r.measure(rng.randrange(QUBITS), rng.randrange(4), top)
        elif kind < 0.35:
            r.reset(rng.randrange(QUBITS), top)
        elif kind < 0.55:
            bit, value = rng.randrange(4), rng.randrange(2)
            with r.qc.if_test((r.c[bit], value)):
                r.body(both(top, [bit], lambda v, b=bit, x=value: v[b] == x), [b for b in range(4) if b != bit])
        else:
            r.random_gate(top)
    return r.qc, r.flat


@pytest.mark.parametrize("seed", range(16))
def test_random_noisy_dynamic_circuits_match_the_density_matrix(seed):
    circuit, flat = noisy_program(seed)
    model = NoiseModel()
    model.add_readout_error(ReadoutError(READOUT), [NOISY_QUBIT])
    expected = {_key(circuit, v): p for v, p in aer_distribution(flat).items()}
    got = KovraBackend(noise_model=model).probabilities(circuit)
    assert_same_distribution(got, expected, TOLERANCE)


def random_noise_model(rng, qubits):
    model = NoiseModel()
    model.add_all_qubit_quantum_error(depolarizing_error(rng.uniform(0, 0.1), 1), ["h", "sx", "rz", "u"])
    two = depolarizing_error(rng.uniform(0, 0.1), 2).compose(
        amplitude_damping_error(rng.uniform(0, 0.2)).tensor(phase_damping_error(rng.uniform(0, 0.2))))
    model.add_all_qubit_quantum_error(two, ["cx"])
    model.add_quantum_error(thermal_relaxation_error(40, 30, 5), ["sx"], [1])  # replaces the all-qubit one
    model.add_all_qubit_quantum_error(phase_damping_error(0.05), ["measure"])
    for q in range(qubits):
        p0, p1 = rng.uniform(0, 0.1), rng.uniform(0, 0.1)
        model.add_readout_error(ReadoutError([[1 - p0, p0], [p1, 1 - p1]]), [q])
    return model


def folded(probabilities, model, qubits):
    """Aer's exact probabilities (qubit 0 the lowest bit) with each qubit's
    readout error applied."""
    dense = np.zeros(2 ** qubits)
    for index, p in probabilities.items():
        dense[int(index, 16) if isinstance(index, str) else int(index)] = p
    tensor = dense.reshape([2] * qubits)  # axis k holds qubit qubits - 1 - k
    for q in range(qubits):
        confusion = np.asarray(model._local_readout_errors[(q,)].probabilities)
        tensor = np.moveaxis(np.tensordot(tensor, confusion, axes=([qubits - 1 - q], [0])), -1, qubits - 1 - q)
    return tensor.reshape(-1)


@pytest.mark.parametrize("seed", range(6))
def test_noise_models_match_aer(seed):
    rng = random.Random(seed)
    qubits = 5
    qc = QuantumCircuit(qubits, qubits)
    for _ in range(30):
        q = rng.randrange(qubits)
        choice = rng.random()
        if choice < 0.2:
            qc.h(q)
        elif choice < 0.4:
            qc.sx(q)
        elif choice < 0.55:
            qc.rz(rng.uniform(-3, 3), q)
        elif choice < 0.7:
            qc.u(*(rng.uniform(-3, 3) for _ in range(3)), q)
        else:
            qc.cx(q, (q + rng.randrange(1, qubits)) % qubits)
    model = random_noise_model(rng, qubits)
    reference = qc.copy()
    for q in range(qubits):  # a measurement's quantum error acts before it
        reference.append(Kraus(phase_damping_error(0.05)).to_instruction(), [q])
    reference.save_probabilities_dict()
    simulator = qiskit_aer.AerSimulator(method="density_matrix", noise_model=model)
    exact = simulator.run(reference, optimization_level=0).result().data()["probabilities"]
    qc.measure(range(qubits), range(qubits))
    expected = {format(k, f"0{qubits}b"): p for k, p in enumerate(folded(exact, model, qubits))}
    assert_same_distribution(KovraBackend(noise_model=model).probabilities(qc), expected, TOLERANCE)
