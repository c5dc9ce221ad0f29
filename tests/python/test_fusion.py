"""The "fusion" key of BasicSimulator: fused runs agree with the exact
gate-by-gate run within 1e-12 on the race's circuits, and the default
leaves small circuits exact."""

import os
import sys

import numpy as np
import pytest

import kovra_backends

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench", "peers"))

import circuits as C  # noqa: E402
from run_kovra import build  # noqa: E402


def probabilities(circuit, **config):
    """Probabilities over every basis state: the state's when nothing was
    measured, else the packed keys (which drop entries of 1e-10 or less)."""
    builder = build(circuit)
    result = kovra_backends.BasicSimulator().execute(builder.capsule(), config)
    if len(result.states):
        return np.abs(np.asarray(result.states, dtype=np.complex128)) ** 2
    p = np.zeros(1 << circuit["n"])
    for key, value in result.probabilities.items():
        p[int(key, 2)] = value
    return p


@pytest.mark.parametrize(
    "circuit",
    [C.random_layered(17), C.qft(16), C.teleport_chain(16, 3)],
    ids=lambda c: c["name"],
)
def test_default_fusion_agrees_with_the_exact_run(circuit):
    exact = probabilities(circuit, fusion=False)
    for fused in (probabilities(circuit), probabilities(circuit, fusion=True),
                  probabilities(circuit, fusion=True, parallel=True)):
        assert np.max(np.abs(fused - exact)) <= 1e-12
    # The fused run is a different computation, not the exact one again.
    assert not np.array_equal(probabilities(circuit), exact)


def test_small_circuits_stay_exact_by_default():
    bell = {"name": "bell", "family": "user", "n": 2, "clbits": 0,
            "ops": [{"g": "H", "q": [0]}, {"g": "CNOT", "q": [0, 1]}]}
    builder = build(bell)
    packed = kovra_backends.BasicSimulator().execute(builder.capsule(), {}).probabilities
    assert packed == {"00": 0.4999999999809753, "11": 0.4999999999809753}  # docs/results.md
    small = C.random_layered(12)
    assert np.array_equal(probabilities(small), probabilities(small, fusion=False))
    assert np.max(np.abs(probabilities(small, fusion=True) - probabilities(small, fusion=False))) <= 1e-12


@pytest.mark.parametrize("value", ["yes", [True]])
def test_fusion_that_is_not_a_bool_is_refused(value):
    builder = build(C.random_layered(3))
    with pytest.raises(RuntimeError, match="cast"):
        kovra_backends.BasicSimulator().execute(builder.capsule(), {"fusion": value})
