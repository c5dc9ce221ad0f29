"""Fused runs of the circuits whose grouping is hardest for the fuser
(bench/shapes: mixing gates on every qubit with pairs anywhere in the
register, quantum-volume blocks) against the exact gate-by-gate run, in
both precisions and on one and two threads."""

import os
import sys

import numpy as np
import pytest

import kovra_backends

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench", "shapes"))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench", "peers"))

import shapes  # noqa: E402
from run_kovra import build  # noqa: E402

FLOAT_EPSILON = float(np.finfo(np.float32).eps)
# As test_precision: a gate adds at most a few float roundings per amplitude.
ROUNDINGS_PER_GATE = 4
# From 2^18 amplitudes the runs share their tiles between threads.
SHARED_FROM_QUBITS = 18

CIRCUITS = [shapes.scatter(16, 12), shapes.scatter(SHARED_FROM_QUBITS, 10, seed=2), shapes.qv(16),
            shapes.qv(SHARED_FROM_QUBITS, seed=3)]


def state(circuit, threads, **config):
    """The final state of a run on `threads` CPUs (the engine takes as many
    as the calling thread may run on)."""
    mine = os.sched_getaffinity(0)
    os.sched_setaffinity(0, sorted(mine)[:threads])
    try:
        result = kovra_backends.BasicSimulator().execute(build(circuit).capsule(), dict(config, mqubits=[0]))
    finally:
        os.sched_setaffinity(0, mine)
    return result.state_array()


@pytest.fixture(scope="module")
def exact():
    return {c["name"]: state(c, 1, fusion=False) for c in CIRCUITS}


@pytest.mark.parametrize("circuit", CIRCUITS, ids=lambda c: c["name"])
@pytest.mark.parametrize("precision", ["double", "single"])
def test_fused_shapes_agree_with_the_exact_run(exact, circuit, precision):
    reference = exact[circuit["name"]]
    runs = [state(circuit, threads, fusion=True, precision=precision)
            for threads in (1, 2) if threads <= len(os.sched_getaffinity(0))]
    if precision == "double":
        assert np.max(np.abs(runs[0] - reference)) <= 1e-12
        assert np.max(np.abs(np.abs(runs[0]) ** 2 - np.abs(reference) ** 2)) <= 1e-12
    else:
        bound = ROUNDINGS_PER_GATE * (len(circuit["ops"]) + 1) * FLOAT_EPSILON
        assert np.linalg.norm(runs[0] - reference) <= bound
    # Threads split the tiles, never an amplitude's arithmetic.
    for other in runs[1:]:
        assert np.array_equal(other, runs[0])


def test_decomposed_toffolis_add_as_ccx_does():
    """The bench's adder written with one- and two-qubit gates in place of
    every ccx computes the same sum (to the catalogue's H, whose divisor of
    ten digits leaves each H H off the identity by about 1e-11)."""
    whole, decomposed = (state(shapes.adder(10, d), 1, fusion=False) for d in (0, 1))
    assert np.max(np.abs(np.abs(whole) ** 2 - np.abs(decomposed) ** 2)) <= 1e-9
