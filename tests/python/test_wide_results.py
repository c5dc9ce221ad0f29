"""Results of wide registers: conditions over classical registers of any
width, marginals summed before small keys are dropped, and keys made only
when they are read."""
import math
import operator
import tracemalloc

import numpy as np
import pytest

import kovra_backends
from kovra.builder import CircuitBuilder

RELATIONS = [operator.eq, operator.ne, operator.lt, operator.gt, operator.le, operator.ge]


def _conditioned_x(width, written_bit, relation, constant):
    """X on q0, measured onto bit `written_bit` of a `width`-bit register;
    then X on q1 when the register's value compares with `constant`."""
    b = CircuitBuilder()
    b.qreg(2)
    b.creg(width)
    b.gate("X", [0])
    b.measure([0], [written_bit])
    b.gate("X", [1], condition=(list(range(width)), relation, constant))
    return b


@pytest.mark.parametrize("width", [34, 70, 132])
@pytest.mark.parametrize("relation", range(6))
def test_condition_compares_every_bit_of_a_wide_register(width, relation):
    written = width - 2
    value = 1 << written  # the highest-numbered bit is the most significant
    for constant in (0, value, value - 1, value + 1, 2**31, -1, 2**200, float(value)):
        b = _conditioned_x(width, written, relation, constant)
        probabilities = kovra_backends.BasicSimulator().execute(b.capsule(), {"mqubits": [1]}).probabilities
        applied = RELATIONS[relation](value, int(constant))
        assert probabilities == {"1" if applied else "0": 1.0}, (constant, probabilities)


@pytest.mark.parametrize("constant", [0.5, float("inf"), "x"])
def test_a_constant_that_is_no_whole_number_is_refused_by_vertex(constant):
    b = _conditioned_x(3, 0, 0, 0)
    graph = b.graph()
    graph.vs[graph.vcount() - 1]["constant"] = constant
    with pytest.raises(Exception, match=r"constant.*vertex|vertex.*constant"):
        kovra_backends.BasicSimulator().execute(graph, {})


def _swap_test(k, seed):
    """The swap test of two k-qubit product states Ry(a)|0> and Ry(b)|0>,
    with its exact P(0) = (1 + prod cos^2((a_i - b_i) / 2)) / 2."""
    rng = np.random.default_rng(seed)
    a, c = rng.uniform(0, math.pi, k), rng.uniform(0, math.pi, k)
    b = CircuitBuilder()
    b.qreg(2 * k + 1)
    b.creg(1)
    for i in range(k):
        b.gate("Ry", [1 + i], [a[i]])
        b.gate("Ry", [1 + k + i], [c[i]])
    b.gate("H", [0])
    for i in range(k):  # controlled swap from CNOTs and a Toffoli
        x, y = 1 + i, 1 + k + i
        b.gate("CNOT", [y, x])
        b.gate("CCX", [0, x, y])
        b.gate("CNOT", [y, x])
    b.gate("H", [0])
    b.measure([0], [0])
    exact = (1 + float(np.prod(np.cos((a - c) / 2) ** 2))) / 2
    return b, exact


@pytest.mark.parametrize("k,fusion", [(8, False), (8, True), (10, False), (12, True)])
def test_swap_test_marginal_agrees_with_the_closed_form(k, fusion):
    b, exact = _swap_test(k, seed=k)
    for config in ({"mqubits": [0]}, {"mcbits": [0]}):
        result = kovra_backends.BasicSimulator().execute(b.capsule(), dict(config, fusion=fusion))
        assert result.probabilities["0"] == pytest.approx(exact, abs=1e-10)
        assert sum(result.probabilities.values()) == pytest.approx(1.0, abs=1e-9)  # the catalogue gates round


def _spread_register(n):
    """Every qubit in an even superposition, then a layer of CNOTs: 2^n
    outcomes of equal weight."""
    b = CircuitBuilder()
    b.qreg(n)
    for q in range(n):
        b.gate("H", [q])
    for q in range(n - 1):
        b.gate("CNOT", [q, q + 1])
    return b


def test_arrays_and_counts_build_no_dict_of_every_outcome():
    n = 18
    result = kovra_backends.BasicSimulator().execute(_spread_register(n).capsule(), {"shots": 64})
    tracemalloc.start()
    try:
        counts = result.sample_counts(1000, seed=1)
        fixed = result.counts
        p = result.probability_array()
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # Python objects for the 2^18 outcomes would take tens of MB.
    assert peak < 2**20
    assert sum(counts.values()) == 1000 and sum(fixed.values()) == 64
    assert p.shape == (2**n,) and p.sum() == pytest.approx(1.0)
    keyed = result.probabilities
    assert len(keyed) == 2**n
    assert keyed[format(5, f"0{n}b")] == pytest.approx(p[5], abs=1e-15)


def test_sampling_holds_the_vector_while_the_generator_replaces_it():
    result = kovra_backends.BasicSimulator().execute(_spread_register(4).capsule(), {})

    class Meddling(np.random.Generator):
        def random(self, *args, **kwargs):
            result.probabilities = {"1": 1.0}  # frees the vector the draw reads
            return super().random(*args, **kwargs)

    for draw in (result.sample_counts, result.sample_memory):
        result.probabilities = {"0000": 0.5, "1111": 0.5}
        drawn = draw(200, seed=Meddling(np.random.PCG64(1)))
        keys = drawn if isinstance(drawn, list) else list(drawn)
        assert set(keys) <= {"0000", "1111"}


def test_sample_memory_is_refused_with_its_figures_when_it_cannot_fit():
    result = kovra_backends.BasicSimulator().execute(_spread_register(2).capsule(), {})
    with pytest.raises(MemoryError, match=r"sample_memory of 4294967296 shots"):
        result.sample_memory(2**32, seed=0)


def test_key_width_counts_characters_not_bytes():
    result = kovra_backends.Result()
    result.probabilities = {"é": 1.0}
    with pytest.raises(ValueError, match="not a bit string of 1 characters"):
        result.probability_array()


@pytest.mark.parametrize("shots", [2**32 + 1, 2**63 - 1])
def test_counts_of_more_shots_than_a_list_could_hold_are_drawn_at_once(shots):
    b = CircuitBuilder()
    b.qreg(2)
    b.gate("Ry", [0], [2 * math.acos(math.sqrt(0.2))])  # P(0) = 0.2
    result = kovra_backends.BasicSimulator().execute(b.capsule(), {})
    counts = result.sample_counts(shots, seed=3)
    assert set(counts) == {"00", "10"} and sum(counts.values()) == shots
    # Far more than ten standard deviations of a binomial of this size.
    assert counts["00"] / shots == pytest.approx(result.probability_array()[0], abs=1e-4)
    assert counts == result.sample_counts(shots, seed=3)
