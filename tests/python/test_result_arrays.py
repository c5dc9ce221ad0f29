"""numpy views of a result and real sampling, against the numpy reference
simulator and against the result's own keyed probabilities."""

import collections
import random

import numpy as np
import pytest

import kovra_backends
from fuzz_support import ONE_QUBIT, ROTATION, TWO_QUBIT, Reference
from kovra.builder import EQUAL, CircuitBuilder


def random_circuit(seed, n, measurements):
    """The same random circuit in the builder and in the reference."""
    rng = random.Random(seed)
    circuit, reference = CircuitBuilder(), Reference(n, n)
    circuit.qreg(n)
    circuit.creg(n)
    measured = set()
    for _ in range(6 * n):
        free = [q for q in range(n) if q not in measured]
        kind = rng.random()
        if measurements and kind < 0.1 and len(free) > 1:
            q = rng.choice(free)
            circuit.measure([q], [q])
            reference.measure(q, q)
            measured.add(q)
        elif kind < 0.3 and len(free) > 1:
            name, (a, b) = rng.choice(TWO_QUBIT), rng.sample(free, 2)
            condition = ([min(measured)], EQUAL, 1) if measured and rng.random() < 0.5 else None
            circuit.gate(name, [a, b], condition=condition)
            reference.gate(name, [a, b], condition=condition)
        elif kind < 0.6:
            name, q, theta = rng.choice(ROTATION), rng.choice(free), rng.uniform(-3, 3)
            circuit.gate(name, [q], params=[theta])
            reference.gate(name, [q], theta)
        else:
            name, q = rng.choice(ONE_QUBIT), rng.choice(free)
            circuit.gate(name, [q])
            reference.gate(name, [q])
    return circuit, reference


def dense(keyed, width):
    out = np.zeros(2 ** width)
    for key, p in keyed.items():
        out[int(key or "0", 2)] = p
    return out


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("measurements", [False, True])
@pytest.mark.parametrize("mqubits", [None, [3], [4, 0, 2], [0, 1, 2, 3, 4]])
def test_arrays_hold_basis_state_k_at_index_k(seed, measurements, mqubits):
    circuit, reference = random_circuit(seed, 5, measurements)
    config = {} if mqubits is None else {"mqubits": mqubits}
    result = kovra_backends.BasicSimulator().execute(circuit.graph(), config)
    width = 5 if mqubits is None else len(set(mqubits))

    probabilities = result.probability_array()
    assert probabilities.dtype == np.float64 and probabilities.shape == (2 ** width,)
    np.testing.assert_allclose(probabilities, dense(reference.probabilities(mqubits or ()), width), atol=1e-7)
    # The keyed map is the same vector, less the entries it drops.
    np.testing.assert_allclose(dense(result.probabilities, width), probabilities, atol=1e-9)

    states = result.state_array()
    assert states.dtype == np.complex128
    np.testing.assert_array_equal(states, np.array(result.states, dtype=np.complex128))
    if not reference.measured:
        np.testing.assert_allclose(states, reference.state(), atol=1e-7)


def test_arrays_share_the_results_memory_and_outlive_it():
    circuit, _ = random_circuit(11, 4, False)
    result = kovra_backends.BasicSimulator().execute(circuit.graph(), {})
    probabilities, states = result.probability_array(), result.state_array()
    assert np.shares_memory(probabilities, result.probability_array())
    assert np.shares_memory(states, result.state_array())
    for view in (probabilities, states):
        with pytest.raises(ValueError):
            view[0] = 1
    kept_p, kept_s = probabilities.copy(), states.copy()

    result.states = [1, 0]
    result.probabilities = {"1": 1.0}
    np.testing.assert_array_equal(result.state_array(), [1, 0])
    np.testing.assert_array_equal(result.probability_array(), [0.0, 1.0])
    del result
    np.testing.assert_array_equal(probabilities, kept_p)
    np.testing.assert_array_equal(states, kept_s)


@pytest.mark.parametrize(
    "keyed, expected",
    [({}, []), ({"": 1.0}, [1.0]), ({"10": 0.25, "01": 0.75}, [0, 0.75, 0.25, 0])],
)
def test_probability_array_of_a_result_made_in_python(keyed, expected):
    result = kovra_backends.Result()
    result.probabilities = keyed
    np.testing.assert_array_equal(result.probability_array(), expected)
    assert len(result.state_array()) == 0


@pytest.mark.parametrize("keyed", [{"0": 0.5, "11": 0.5}, {"0a": 1.0}, {"1" * 41: 1.0}])
def test_keys_that_are_not_bit_strings_of_one_length_are_refused(keyed):
    result = kovra_backends.Result()
    result.probabilities = keyed
    with pytest.raises(ValueError, match="key|too long"):
        result.probability_array()
    with pytest.raises(ValueError):
        result.sample_counts(1)


def skewed_result():
    result = kovra_backends.Result()
    result.probabilities = {"000": 0.5, "011": 0.3, "101": 0.15, "110": 0.05}
    return result


def test_sampling_is_reproducible_and_counts_tally_the_memory():
    result = skewed_result()
    counts = result.sample_counts(5000, seed=42)
    assert counts == result.sample_counts(5000, seed=42)
    assert counts == dict(collections.Counter(result.sample_memory(5000, seed=42)))
    assert counts != result.sample_counts(5000, seed=43)
    assert result.sample_counts(5000, seed=np.random.default_rng(42)) == counts
    assert list(counts) == sorted(counts) and sum(counts.values()) == 5000
    assert set(counts) <= set(result.probabilities)


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_sampled_counts_fit_the_probabilities(seed):
    # Pearson's statistic on 3 degrees of freedom stays below 16.3 with
    # probability 0.999; the seeds make the check deterministic.
    result = skewed_result()
    shots = 20000
    counts = result.sample_counts(shots, seed=seed)
    chi2 = sum((counts.get(k, 0) - p * shots) ** 2 / (p * shots) for k, p in result.probabilities.items())
    assert chi2 < 16.3


def test_sampling_a_simulated_uniform_register_spreads_the_shots():
    circuit = CircuitBuilder()
    circuit.qreg(11)
    for q in range(11):
        circuit.gate("H", [q])
    result = kovra_backends.BasicSimulator().execute(circuit.graph(), {"shots": 1024})
    assert len(result.counts) == 1  # the documented rounding rule, unchanged
    assert len(result.sample_counts(1024, seed=5)) > 800


@pytest.mark.parametrize(
    "args, error",
    [((-1,), ValueError), ((1.5,), TypeError), (("3",), TypeError), ((3, "seed"), TypeError)],
)
def test_bad_sampling_arguments_are_refused(args, error):
    for sample in (skewed_result().sample_counts, skewed_result().sample_memory):
        with pytest.raises(error):
            sample(*args)


def test_nothing_to_sample():
    empty = kovra_backends.Result()
    assert empty.sample_counts(0) == {} and empty.sample_memory(0) == []
    with pytest.raises(ValueError, match="positive probability"):
        empty.sample_counts(1)


@pytest.mark.parametrize("mqubits", [None, [1]])
def test_nmr_probability_array_is_the_devices_vector(mqubits):
    from nmr_helpers import bell, emulator

    config_extra = {} if mqubits is None else {"mqubits": mqubits}
    with emulator() as device:
        result = kovra_backends.NMR().execute(bell().graph(), device.config(**config_extra))
    width = 2 if mqubits is None else 1
    probabilities = result.probability_array()
    assert probabilities.shape == (2 ** width,)
    np.testing.assert_allclose(dense(result.probabilities, width), probabilities, atol=1e-10)
    assert set(result.sample_counts(100, seed=1)) <= set(result.probabilities)


def test_a_dense_array_that_cannot_fit_is_refused():
    # Two keys of 36 characters would ask for 512 GiB of dense vector.
    r = kovra_backends.Result()
    r.probabilities = {"0" * 36: 0.5, "1" * 36: 0.5}
    with pytest.raises(MemoryError, match="36-character keys"):
        r.probability_array()
