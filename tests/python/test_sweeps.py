"""Parameter sweeps: a graph read once (kovra_backends.compile) and run for
many sets of values gives, set by set, what the same graph with the values
written in gives through execute: up to the engine's calibrated pi, which a
written angle carries and a bound one does not."""
import numpy as np
import pytest

import kovra_backends as kb
from kovra.builder import CircuitBuilder


def ansatz(rng, n, layers, angle):
    """A layered circuit whose rotations take angle(k) for rotation k."""
    b = CircuitBuilder()
    b.qreg(n)
    k = 0
    for _ in range(layers):
        for q in range(n):
            b.gate(rng.choice(["Rx", "Ry", "Rz", "P"]), [q], params=[angle(k)])
            k += 1
        for q in range(n - 1):
            b.gate("CNOT", [q, q + 1])
    return b, k


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("fusion", [False, True])
def test_a_sweep_equals_the_bound_graph_run_alone(seed, fusion):
    n, layers = 2 + seed % 4, 3
    names = [f"p{j}" for j in range(4)]
    # Rotation k takes 0.5 + 2 p_(k mod 4) - p_((k+1) mod 4), radians.
    form = [{names[k % 4]: 2.0, names[(k + 1) % 4]: -1.0, "": 0.5} for k in range(n * layers)]
    free, _ = ansatz(np.random.default_rng(seed), n, layers, lambda k: form[k])
    config = {"fusion": fusion, "observables": [[("Z" * n, 1.0), ("X" + "I" * (n - 1), 0.5)]]}
    program = kb.compile(free.capsule(), config)
    assert program.parameters == names
    values = np.random.default_rng(seed).uniform(-4, 4, (5, 4))
    for row, result in zip(values, program.run(values)):
        value = dict(zip(names, row))
        bound, _ = ansatz(np.random.default_rng(seed), n, layers,
                          lambda k: 0.5 + 2 * value[names[k % 4]] - value[names[(k + 1) % 4]])
        alone = kb.BasicSimulator().execute(bound.capsule(), config)
        assert result.probabilities.keys() == alone.probabilities.keys()
        assert list(result.probabilities.values()) == pytest.approx(list(alone.probabilities.values()), abs=1e-8)
        assert result.expectation_values == pytest.approx(alone.expectation_values, abs=1e-8)
    assert program.expectation_values(values).shape == (5, 1)


def one_gate(name, qubits, params, n=2):
    b = CircuitBuilder()
    b.qreg(n)
    b.gate(name, qubits, params=params)
    return b


@pytest.mark.parametrize("build, call, error, message", [
    (lambda: one_gate("Rx", [0], ["t"]), lambda g: kb.BasicSimulator().execute(g, {}), ValueError,
     r"names free parameters \(t\)"),
    (lambda: one_gate("CNOT", [0, 1], ["t"]), lambda g: kb.compile(g), kb.CircuitError,
     "takes no angle, but \"params\" names a free parameter"),
    (lambda: one_gate("Rx", [0], [{"t": float("nan")}]), lambda g: kb.compile(g), kb.CircuitError,
     "is not a finite number"),
    (lambda: one_gate("Rx", [0], ["t"]), lambda g: kb.compile(g).run(np.zeros((2, 3))), ValueError,
     "values have 3 columns, but the program has 1 free parameters"),
])
def test_free_parameters_are_refused_where_they_cannot_be_bound(build, call, error, message):
    with pytest.raises(error, match=message):
        call(build().capsule())
