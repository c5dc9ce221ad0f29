"""Shots drawn straight from the amplitudes ("probabilities": False): the
counts against the exact distribution the same circuit gives with
probabilities, keyed the same way, reproducible from the seed."""

import collections
import os
import random
import subprocess
import sys

import numpy as np
import pytest
from scipy.stats import chi2

import kovra_backends as kb
from kovra.builder import CircuitBuilder

SHOTS = 20000
# Bins whose expected count is below this are pooled, as the chi-square
# approximation needs.
POOLED_BELOW = 5
# A fixed seed makes each check deterministic; a correct draw passes it at
# this level with room to spare, a biased one does not.
P_VALUE_FLOOR = 1e-4


def random_circuit(seed, n, clbits=0, reuse=False):
    """Gates that spread the state over many outcomes; with `clbits`, some
    qubits measured mid-circuit, and with `reuse` one of them used again
    and measured again (a record lane)."""
    rng = random.Random(seed)
    b = CircuitBuilder()
    b.qreg(n)
    if clbits:
        b.creg(clbits)
    for layer in range(3):
        for q in range(n):
            b.gate("Ry", [q], params=[rng.uniform(-2, 2)])
        for q in range(0, n - 1, 2):
            b.gate("CNOT", [q + layer % 2, (q + 1 + layer % 2) % n])
    if clbits:
        b.measure([0], [0])
        b.measure([1], [1])
        if reuse:
            b.gate("H", [0])
            b.measure([0], [2])
        b.measure([n - 1], [clbits - 2])  # bit clbits - 1 is never written: it reads 0
    return b


CASES = {
    "every qubit": (random_circuit(1, 10), {}),
    "mqubits": (random_circuit(2, 12), {"mqubits": [11, 0, 3, 5, 7]}),
    "single precision": (random_circuit(3, 12), {"mqubits": [1, 2, 4, 9, 10], "precision": "single"}),
    "mcbits over a record lane": (random_circuit(4, 11, clbits=5, reuse=True),
                                  {"mcbits": [0, 1, 2, 3, 4], "measure_reuse": "records"}),
    # Runs that form a distribution anyway draw from it.
    "branch states by mcbits": (random_circuit(5, 8, clbits=5, reuse=True),
                                {"mcbits": [0, 1, 2, 3, 4], "measure_reuse": "branches"}),
    "density matrix by qubits": (random_circuit(6, 6), {"method": "density_matrix"}),
}


def drawn(builder, config, shots=SHOTS, seed=7, memory=True):
    return kb.BasicSimulator().execute(builder.capsule(), dict(config, probabilities=False, shots=shots, seed=seed,
                                                               memory=memory))


def p_value(counts, probabilities):
    keys = sorted(probabilities, key=probabilities.get)
    expected = np.array([probabilities[k] for k in keys]) * sum(counts.values())
    observed = np.array([counts.get(k, 0) for k in keys], dtype=float)
    assert set(counts) <= set(probabilities), set(counts) - set(probabilities)
    small = expected < POOLED_BELOW
    pooled_e = np.append(expected[~small], expected[small].sum())
    pooled_o = np.append(observed[~small], observed[small].sum())
    keep = pooled_e > 0
    statistic = float(((pooled_o[keep] - pooled_e[keep]) ** 2 / pooled_e[keep]).sum())
    return chi2.sf(statistic, keep.sum() - 1)


@pytest.mark.parametrize("name", CASES)
def test_drawn_counts_follow_the_exact_distribution(name):
    builder, config = CASES[name]
    exact = kb.BasicSimulator().execute(builder.capsule(), config).probabilities
    result = drawn(builder, config)
    assert p_value(result.counts, exact) > P_VALUE_FLOOR
    assert result.probabilities == {} and result.probability_array().size == 0
    assert result.probability_errors == {}
    assert collections.Counter(result.memory) == result.counts and len(result.memory) == SHOTS


@pytest.mark.parametrize("name", ["mqubits", "mcbits over a record lane", "branch states by mcbits"])
def test_the_seed_fixes_counts_and_memory(name):
    builder, config = CASES[name]
    first, again, other = (drawn(builder, config, shots=500, seed=s) for s in (11, 11, 12))
    assert (first.counts, first.memory) == (again.counts, again.memory)
    assert first.memory != other.memory
    # Unseeded runs draw their own seed.
    assert drawn(builder, config, shots=500, seed=None).memory != drawn(builder, config, shots=500, seed=None).memory


def test_memory_is_in_draw_order_not_sorted():
    # Two equally likely keys: sorted memory would be one run of each.
    b = CircuitBuilder()
    b.qreg(1)
    b.gate("H", [0])
    memory = drawn(b, {}, shots=1000).memory
    assert sum(x != y for x, y in zip(memory, memory[1:])) > 300


def test_a_certain_outcome_takes_every_shot_and_counts_alone_need_no_memory():
    b = CircuitBuilder()
    b.qreg(14)
    b.creg(3)
    b.gate("X", [13])
    b.measure([13], [1])
    result = drawn(b, {"mcbits": [0, 1, 2]}, shots=321, memory=False)
    assert result.counts == {"010": 321} and result.memory == []


def test_zero_shots_draw_nothing():
    result = drawn(random_circuit(8, 5), {}, shots=0)
    assert result.counts == {} and result.memory == []


@pytest.mark.parametrize("config, message", [
    ({"memory": True}, 'needs "probabilities": False'),
    ({"probabilities": False, "shots": -1}, '"shots" must not be negative, got -1'),
])
def test_bad_draw_settings_are_refused_by_name(config, message):
    with pytest.raises(ValueError, match=message):
        kb.BasicSimulator().execute(random_circuit(9, 3).capsule(), config)


@pytest.mark.parametrize("name", ["mqubits", "branch states by mcbits"])
def test_more_shots_than_the_machine_holds_are_refused_before_drawing(name):
    builder, config = CASES[name]
    with pytest.raises(MemoryError, match="the draws of 2147483647 shots need"):
        drawn(builder, config, shots=2**31 - 1)


THREADS = """
import json, sys
sys.path.insert(0, {tests!r})
from test_drawn_shots import drawn, random_circuit
r = drawn(random_circuit(10, 18), {{"fusion": False}}, shots=3000)
print(json.dumps([r.counts, r.memory]))
"""


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two CPUs to compare thread counts")
def test_draws_do_not_depend_on_the_thread_count():
    # 2^18 amplitudes: the first size the engine shares between threads.
    code = THREADS.format(tests=os.path.dirname(__file__))
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    outputs = [subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True,
                              preexec_fn=(lambda: os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})) if one
                              else None).stdout
               for one in (True, False)]
    assert outputs[0] == outputs[1] and outputs[0]
