"""A noise model's errors as kovra hands them to the simulator: the same
channel as Aer's, its unitary terms first and merged, converted only where a
circuit meets them and once per error."""

import random

import numpy as np
import pytest

pytest.importorskip("qiskit_aer")

from qiskit import QuantumCircuit  # noqa: E402
from qiskit.providers.fake_provider import GenericBackendV2  # noqa: E402
from qiskit.quantum_info import Kraus, SuperOp  # noqa: E402
from qiskit_aer.noise import (NoiseModel, amplitude_damping_error, depolarizing_error, pauli_error,  # noqa: E402
                              phase_damping_error, reset_error, thermal_relaxation_error)

import kovra.translate.noise as noise  # noqa: E402
from kovra.qiskit import KovraBackend  # noqa: E402
from kovra.qiskit_lowering import lower_circuit  # noqa: E402
from kovra.translate.noise_kraus import structured_kraus  # noqa: E402
from test_noise import random_noise_model  # noqa: E402


def device_error(name, qubits):
    model = NoiseModel.from_backend(GenericBackendV2(3, seed=5))
    return model._local_quantum_errors[name][qubits]


RELAXED = thermal_relaxation_error(50, 30, 9)
# (error, how many of its operators are unitary)
ERRORS = {
    "depolarizing-1": (depolarizing_error(0.1, 1), 4),
    "depolarizing-2": (depolarizing_error(0.05, 2), 16),
    "relaxation-T2<T1": (RELAXED, 2),
    "relaxation-T2=2T1": (thermal_relaxation_error(40, 80, 9), 0),
    "amplitude-damping": (amplitude_damping_error(0.3), 0),
    "pauli": (pauli_error([("XZ", 0.1), ("YY", 0.2), ("ZX", 0.05), ("II", 0.65)]), 4),
    # 16 Paulis times 9 relaxation terms: 144 terms, 16 distinct unitaries
    "composed": (depolarizing_error(0.02, 2).compose(RELAXED.tensor(RELAXED)), 16),
    "damped-pair": (depolarizing_error(0.03, 2).compose(
        amplitude_damping_error(0.1).tensor(phase_damping_error(0.2))), 0),
    "reset": (reset_error(0.1, 0.05), 1),
    "device-cx": (device_error("cx", (0, 1)), 0),
    "device-sx": (device_error("sx", (2,)), 0),
}


def is_unitary_multiple(matrix):
    product = matrix.conj().T @ matrix
    return np.allclose(product, product[0, 0] * np.eye(len(matrix)), rtol=0, atol=1e-13) and product[0, 0] > 0


@pytest.mark.parametrize("name", ERRORS)
def test_the_operators_are_the_errors_channel_unitary_terms_first(name):
    error, unitaries = ERRORS[name]
    operators = structured_kraus(error)
    assert np.abs(SuperOp(Kraus(operators)).data - SuperOp(error).data).max() < 1e-12
    kinds = [is_unitary_multiple(k) for k in operators]
    leading = kinds.index(False) if False in kinds else len(kinds)
    # The unitary terms come first, merged; a remainder's operator may
    # happen to be unitary too (the device's relaxations), so there it is
    # a floor.
    assert leading == unitaries if not name.startswith("device") else leading >= unitaries
    # The rest is reduced to its Choi rank, never more than the dimension allows.
    assert len(operators) - unitaries <= len(operators[0]) ** 2


@pytest.mark.parametrize("seed", range(3))
def test_density_matrices_stay_where_the_unstructured_operators_put_them(seed, monkeypatch):
    rng = random.Random(seed)
    qc = QuantumCircuit(4, 4)
    for _ in range(25):
        q = rng.randrange(4)
        [lambda: qc.h(q), lambda: qc.sx(q), lambda: qc.u(*(rng.uniform(-3, 3) for _ in range(3)), q),
         lambda: qc.cx(q, (q + rng.randrange(1, 4)) % 4)][rng.randrange(4)]()
    qc.measure(range(4), range(4))
    model = random_noise_model(rng, 4)
    structured = KovraBackend(noise_model=model).probabilities(qc)
    monkeypatch.setattr(noise, "structured_kraus", lambda error: list(Kraus(error).data))
    monkeypatch.setattr(noise, "_CONVERTED", {})
    plain = KovraBackend(noise_model=model).probabilities(qc)
    assert structured.keys() == plain.keys()
    assert max(abs(structured[k] - plain[k]) for k in plain) < 1e-12


def test_errors_are_converted_where_met_once_and_anew_when_the_model_changes(monkeypatch):
    converted = []
    monkeypatch.setattr(noise, "structured_kraus", lambda error: converted.append(error) or structured_kraus(error))
    monkeypatch.setattr(noise, "_CONVERTED", {})
    model = NoiseModel.from_backend(GenericBackendV2(5, seed=2))
    model._custom_noise_passes = []
    qc = QuantumCircuit(5)
    qc.x(1)
    qc.x(1)
    qc.sx(3)

    def channel(name, qubits):
        lower_circuit(qc, noise=noise.NoiseLookup(model))
        return noise.NoiseLookup(model).channel(name, qubits)

    first = channel("x", (1,))
    assert converted == [model._local_quantum_errors["x"][(1,)], model._local_quantum_errors["sx"][(3,)]]
    assert channel("x", (1,)) is first and len(converted) == 2  # a second lookup of the model reuses them
    extra = pauli_error([("X", 0.25), ("I", 0.75)])
    model.add_quantum_error(extra, ["x"], [1])  # composes a new error in place of the old
    changed = channel("x", (1,))
    expected = SuperOp(model._local_quantum_errors["x"][(1,)])
    assert changed is not first and np.abs(SuperOp(Kraus(list(changed))).data - expected.data).max() < 1e-12
