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


def test_parameter_names_are_kept_whole():
    b = one_gate("Rx", [0], ["a\0x"])
    b.gate("Ry", [1], params=[{"a\0y": 1.0, "": 0.25}])
    program = kb.compile(b.capsule())
    assert program.parameters == ["a\0x", "a\0y"]
    values = np.array([[0.7, -1.1]])
    both = program.run(values)[0].probabilities
    bound = one_gate("Rx", [0], [0.7])
    bound.gate("Ry", [1], params=[-1.1 + 0.25])
    alone = kb.BasicSimulator().execute(bound.capsule(), {}).probabilities
    assert both.keys() == alone.keys()
    assert list(both.values()) == pytest.approx(list(alone.values()), abs=1e-9)


class Unreadable:
    def __array__(self, dtype=None, copy=None):
        raise LookupError("the values are in another castle")


@pytest.mark.parametrize("values, error, message", [
    (["0.5"], TypeError, "values must be real numbers .* not an array of <U3"),
    (np.array([[None]], dtype=object), TypeError, "values must be real numbers .* not an array holding None"),
    (np.array([[1.5, "x"]], dtype=object), TypeError, "an array holding 'x'"),
    ([0.5 + 1j], TypeError, r"not complex numbers \(complex128\)"),
    (np.array([[0.5, 1j]], dtype=object), TypeError, "an array holding 1j"),
    (Unreadable(), LookupError, "the values are in another castle"),
    ([[0.5], [0.1, 0.2]], ValueError, "inhomogeneous"),
])
@pytest.mark.parametrize("call", ["run", "expectation_values"])
def test_values_that_are_not_real_numbers_are_refused(values, error, message, call):
    program = kb.compile(one_gate("Rx", [0], ["t"], n=1).capsule(), {"observables": [[("Z", 1.0)]]})
    with pytest.raises(error, match=message):
        getattr(program, call)(values)
    # Object arrays of real numbers are still numbers.
    assert getattr(program, call)(np.array([[0.5]], dtype=object)) is not None


@pytest.mark.parametrize("call", ["run", "expectation_values"])
def test_a_sweep_reserves_the_results_it_keeps(call):
    from test_reliability_memory import SANITIZED, run_capped

    if SANITIZED:
        pytest.skip("the address-space cap cannot apply under AddressSanitizer")
    # Eight million results of 0.5 to 1 KiB do not fit the child's 3 GiB.
    done = run_capped(f"""
        import numpy as np
        b = CircuitBuilder()
        b.qreg(1)
        b.gate("Rx", [0], params=["t"])
        program = kb.compile(b.capsule(), {{"observables": [[("Z", 1.0)]]}})
        program.{call}(np.zeros((8_000_000, 1)))
    """)
    assert done.returncode == 0, done.stderr[-2000:]
    line = done.stdout.strip().splitlines()[-1]
    assert line.startswith("MemoryError") and "the results of 8000000 sets of values" in line, line


@pytest.mark.parametrize("config", [{}, {"measure_reuse": "branches"},
                                    {"method": "trajectories", "trajectories": 20, "seed": 4}],
                         ids=["one vector", "branch states", "trajectories"])
def test_sets_run_side_by_side_give_what_each_run_alone_gives(config):
    """expectation_values runs small sets on several threads: every value
    must be, bit for bit, what the set's own run gives."""
    rng = np.random.default_rng(7)
    free, count = ansatz(rng, 5, 3, lambda k: {f"p{k}": 1.0})
    if "method" in config:
        free.kraus([2], [np.sqrt(0.9) * np.eye(2), np.sqrt(0.1) * np.array([[0, 1], [1, 0]])])
    observables = [[("ZZIII", 1.0), ("IXYIZ", 0.5)], [("IIIIZ", 1.0)]]
    program = kb.compile(free.capsule(), dict(config, observables=observables))
    values = rng.uniform(-3, 3, (40, count))
    together = program.expectation_values(values)
    alone = np.array([program.run(row[None, :])[0].expectation_values for row in values])
    assert together.tobytes() == alone.tobytes()
