"""KovraBackend on circuits that measure more bits than DRAWN_COUNT_BITS: the
simulator draws their shots from the amplitudes, and the counts must still
follow the exact distribution, keyed as Qiskit keys them."""

import collections
import math
import random

import numpy as np
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


def repeated_reads(width):
    """The four ANGLES qubits each measured again and again into `width`
    bits in all (bit b reads qubit b % 4), across two registers in a
    shuffled order: 16 outcomes however wide, and each bit's exact
    probability of a 1 is sin²(angle / 2)."""
    qubits = QuantumRegister(len(ANGLES))
    low, high = ClassicalRegister(width // 2, "low"), ClassicalRegister(width - width // 2, "high")
    circuit = QuantumCircuit(qubits, low, high)
    for k, angle in enumerate(ANGLES):
        circuit.ry(angle, k)
    order = random.Random(width).sample(range(width), width)
    for b in order:
        circuit.measure(b % len(ANGLES), b)
    return circuit


def qubit_of_bit(width):
    return [b % len(ANGLES) for b in range(width)]


@pytest.mark.parametrize("width", [23, 33, 53, 64, 70])
def test_wide_probabilities_are_read_by_their_outcomes(width):
    ones = [math.sin(a / 2) ** 2 for a in ANGLES]
    backend = KovraBackend()
    got = backend.probabilities(repeated_reads(width))
    assert len(got) == 2 ** len(ANGLES)
    for key, p in got.items():
        bits = key.replace(" ", "")[::-1]  # character b: bit b
        values = {(q, bits[b]) for b, q in enumerate(qubit_of_bit(width))}
        assert len(values) == len(ANGLES)  # every read of a qubit agrees
        assert p == pytest.approx(math.prod(ones[q] if v == "1" else 1 - ones[q] for q, v in values), abs=1e-9)
    assert set(backend.probability_errors(repeated_reads(width)).values()) == {0.0}


@pytest.mark.parametrize("width", [33, 40, 64, 70])
def test_the_sampler_draws_wide_results_by_their_outcomes(width):
    from kovra.qiskit import Sampler

    data = Sampler(seed=4).run([repeated_reads(width)], shots=SHOTS).result()[0].data
    bits = np.concatenate([data.low.to_bool_array(order="little"), data.high.to_bool_array(order="little")], axis=1)
    assert bits.shape == (SHOTS, width)
    reads = np.array(qubit_of_bit(width))
    for q, angle in enumerate(ANGLES):
        copies = bits[:, reads == q]
        assert (copies == copies[:, :1]).all()
        p = math.sin(angle / 2) ** 2
        assert abs(copies[:, 0].mean() - p) < 5 * math.sqrt(p * (1 - p) / SHOTS)


def test_keyed_draws_are_the_dense_vectors_draws(monkeypatch):
    import kovra.primitives as primitives
    from kovra.qiskit_lowering import compile_measured

    # The zeros of a dense vector change no draw: both ways give the same
    # shots from the same seed.
    program, bits = compile_measured(repeated_reads(DRAWN_COUNT_BITS + 1))
    result = program.run(np.zeros((1, 0)))[0]
    drawn = {}
    for per_key in (0, 2 ** len(bits)):
        monkeypatch.setattr(primitives, "DENSE_ENTRIES_PER_KEY", per_key)
        drawn[per_key] = primitives._drawn_bits(result, len(bits), 500, np.random.default_rng(9))
    assert np.array_equal(*drawn.values()) and drawn[0].any()


def test_the_sampler_draws_wide_registers_from_the_amplitudes_by_the_seed():
    from kovra.qiskit import Sampler

    theta = Parameter("theta")
    circuit = wide_circuit(theta)
    circuit.add_register(ClassicalRegister(3, "spare"))  # never written: reads 0
    values = [[0.4], [0.4], [3.0]]

    def shots(seed):
        data = Sampler(seed=seed).run([(circuit, values)], shots=SHOTS).result()[0].data
        return np.concatenate([data[r.name].to_bool_array(order="little") for r in circuit.cregs], axis=-1)

    drawn = shots(8)
    assert drawn.shape == (len(values), SHOTS, circuit.num_clbits) and not drawn[..., WIDTH:].any()
    for k, (value,) in enumerate(values):
        exact = KovraBackend().probabilities(circuit.assign_parameters({theta: value}))
        # Qiskit's keys: registers last to first, bit 0 of each rightmost.
        edges = np.cumsum([0] + [r.size for r in circuit.cregs])
        counts = collections.Counter(" ".join("".join("1" if b else "0" for b in row[lo:hi][::-1])
                                              for lo, hi in zip(edges[-2::-1], edges[:0:-1])) for row in drawn[k])
        assert p_value(counts, exact) > P_VALUE_FLOOR
    assert np.array_equal(drawn, shots(8)) and not np.array_equal(drawn[0], drawn[1])
