"""KovraBackend on circuits that measure more bits than DRAWN_COUNT_BITS: the
simulator draws their shots from the amplitudes, and the counts must still
follow the exact distribution, keyed as Qiskit keys them."""

import collections
import random

import pytest
from scipy.stats import chi2

pytest.importorskip("qiskit")

from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister  # noqa: E402
from qiskit.circuit import Parameter  # noqa: E402

from kovra.qiskit import DRAWN_COUNT_BITS, KovraBackend  # noqa: E402

SHOTS = 4000
P_VALUE_FLOOR = 1e-4
WIDTH = DRAWN_COUNT_BITS + 2
ANGLES = (0.4, 1.1, 2.0, 2.7)


def wide_circuit(theta=None):
    """Four qubits in superposition copied onto the rest: 16 outcomes over
    WIDTH measured bits, written in a shuffled order into two registers."""
    qubits = QuantumRegister(WIDTH)
    low, high = ClassicalRegister(WIDTH // 2, "low"), ClassicalRegister(WIDTH - WIDTH // 2, "high")
    circuit = QuantumCircuit(qubits, low, high)
    for k, angle in enumerate(ANGLES):
        circuit.ry(angle if theta is None or k else theta, k)
    for q in range(len(ANGLES), WIDTH):
        circuit.cx(q % len(ANGLES), q)
    circuit.x(WIDTH - 1)
    circuit.measure(range(WIDTH), random.Random(3).sample(range(WIDTH), WIDTH))
    return circuit


def p_value(counts, probabilities):
    assert set(counts) <= set(probabilities)
    total = sum(counts.values())
    statistic = sum((counts.get(k, 0) - p * total) ** 2 / (p * total) for k, p in probabilities.items())
    return chi2.sf(statistic, len(probabilities) - 1)


@pytest.mark.parametrize("memory", [False, True])
def test_wide_counts_follow_the_exact_distribution(memory):
    circuit = wide_circuit()
    exact = KovraBackend().probabilities(circuit)
    assert len(exact) == 2 ** len(ANGLES)
    result = KovraBackend().run(circuit, shots=SHOTS, seed_simulator=17, memory=memory).result()
    counts = result.get_counts()
    assert sum(counts.values()) == SHOTS and p_value(counts, exact) > P_VALUE_FLOOR
    if memory:
        shots = result.get_memory()
        assert len(shots) == SHOTS and collections.Counter(shots) == counts


def test_wide_draws_follow_the_seed_and_each_experiment_draws_apart():
    circuit = wide_circuit()

    def memories(seed):
        result = KovraBackend().run([circuit, circuit], shots=300, seed_simulator=seed, memory=True).result()
        return [result.get_memory(k) for k in range(2)]

    first = memories(5)
    assert first == memories(5)
    assert first[0] != first[1] and first != memories(6)


def test_a_wide_sweep_draws_each_set_from_its_own_values():
    theta = Parameter("theta")
    circuit = wide_circuit(theta)
    binds = {theta: [0.4, 0.4, 3.0]}
    result = KovraBackend().run(circuit, shots=SHOTS, seed_simulator=2, memory=True, parameter_binds=[binds]).result()
    for k, value in enumerate(binds[theta]):
        exact = KovraBackend().probabilities(circuit.assign_parameters({theta: value}))
        assert p_value(result.get_counts(k), exact) > P_VALUE_FLOOR
    assert result.get_memory(0) != result.get_memory(1)  # equal sets still draw apart
