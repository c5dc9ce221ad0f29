"""Calls of sub-circuit definitions: qubit positions, parameter functions,
nesting and conditions."""
import math
import threading

import pytest

import kovra_backends as kb
from kovra.builder import EQUAL, CircuitBuilder


def run(builder, **config):
    return kb.BasicSimulator().execute(builder.capsule(), config)


def one_rx_definition(builder, params, pindex):
    body = builder.define("rot")
    body.gate("Rx", [0], params=params, pindex=pindex)


@pytest.mark.parametrize(
    "function, pindex, caller, angle",
    [
        (lambda a, b: a - b, [2, 0], [0.3, 9.0, 1.7], 1.7 - 0.3),
        (lambda ps: sum(ps), [-1], [0.25, 0.5, 1.0], 1.75),
        (lambda: 0.9, None, [], 0.9),
        (lambda a: 2 * a, [1.0], [0.1, 0.6], 1.2),  # pindex read as numbers
    ],
)
def test_parameter_functions(function, pindex, caller, angle):
    b = CircuitBuilder()
    b.qreg(1)
    one_rx_definition(b, [function], pindex)
    b.call("rot", [0], params=caller)
    p = run(b).probabilities
    assert p["1"] == pytest.approx(math.sin(angle / 2) ** 2, abs=1e-9)


def test_pindex_cursor_advances_per_function():
    # Two functions share one pindex list: the first takes entries 0 and 1,
    # the second entry 2; only the first evaluated parameter is the angle.
    seen = []

    def first(a, b):
        seen.append(("first", a, b))
        return a + b

    def second(c):
        seen.append(("second", c))
        return 0.0

    b = CircuitBuilder()
    b.qreg(1)
    b.define("rot").gate("Ry", [0], params=[first, second], pindex=[1, 0, 2])
    b.call("rot", [0], params=[0.5, 0.25, 3.0])
    p = run(b).probabilities
    assert seen == [("first", 0.25, 0.5), ("second", 3.0)]
    assert p["1"] == pytest.approx(math.sin(0.75 / 2) ** 2, abs=1e-9)


def test_body_positions_map_onto_the_caller_qubits():
    b = CircuitBuilder()
    b.qreg(3)
    body = b.define("flip_second")
    body.gate("X", [1])
    b.call("flip_second", [0, 2])
    assert run(b).probabilities == {"001": 1.0}


def test_nested_calls():
    b = CircuitBuilder()
    b.qreg(3)
    bell = b.define("bell")
    bell.gate("H", [0])
    bell.gate("CNOT", [0, 1])
    outer = b.define("outer")
    outer.call("bell", [1, 0])  # bell on the caller's second, then first qubit
    outer.gate("X", [2])
    b.call("outer", [0, 2, 1])
    # outer's positions (0, 2, 1) -> bell on graph qubits 2 then 0, X on 1.
    p = run(b).probabilities
    assert set(p) == {"010", "111"}
    assert p["010"] == pytest.approx(0.5, abs=1e-9)


def test_nested_call_passes_evaluated_parameters_down():
    b = CircuitBuilder()
    b.qreg(1)
    inner = b.define("inner")
    inner.gate("Ry", [0], params=[lambda t: t / 2], pindex=[0])
    outer = b.define("outer")
    outer.call("inner", [0], params=[lambda t: 3 * t], pindex=[0])
    b.call("outer", [0], params=[0.4])
    p = run(b).probabilities
    assert p["1"] == pytest.approx(math.sin(0.6 / 2) ** 2, abs=1e-9)


@pytest.mark.parametrize("measured, flipped", [(0, False), (1, True)])
def test_conditioned_call_conditions_every_body_gate(measured, flipped):
    b = CircuitBuilder()
    b.qreg(3)
    b.creg(1)
    body = b.define("both")
    body.gate("X", [0])
    # Its own condition can never hold; the call's condition replaces it.
    body.gate("X", [1], condition=([0], EQUAL, 7))
    if measured:
        b.gate("X", [0])
    b.measure([0], [0])
    b.call("both", [1, 2], condition=([0], EQUAL, 1))
    tail = "11" if flipped else "00"
    assert run(b).probabilities == {f"{measured}{tail}": 1.0}


def test_body_gate_with_its_own_condition():
    b = CircuitBuilder()
    b.qreg(2)
    b.creg(1)
    body = b.define("maybe")
    body.gate("X", [0], condition=([0], EQUAL, 1))
    b.gate("X", [0])
    b.measure([0], [0])
    b.call("maybe", [1])
    assert run(b).probabilities == {"11": 1.0}


def test_calls_in_parallel_sub_circuits():
    b = CircuitBuilder()
    b.define("rot").gate("Ry", [0], params=[lambda t: t], pindex=[0])
    for angle in (0.4, 1.1):
        q = b.qreg(1)
        b.call("rot", q, params=[angle])
    par = run(b, parallel=True).probabilities
    seq = run(b).probabilities
    assert par["1"] == pytest.approx(math.sin(0.2) ** 2, abs=1e-9)
    assert seq["11"] == pytest.approx(math.sin(0.2) ** 2 * math.sin(0.55) ** 2, abs=1e-9)


def test_parameter_functions_run_under_the_interpreter_lock():
    # Sub-circuits run on the pool's workers and on the calling thread;
    # Python code there must see a consistent interpreter (it allocates and
    # touches globals).
    calls = []

    def angle(t):
        calls.append(threading.get_ident())
        return sum(float(x) for x in [t] * 100) / 100

    b = CircuitBuilder()
    b.define("rot").gate("Rx", [0], params=[angle], pindex=[0])
    for k in range(6):
        q = b.qreg(1)
        for _ in range(20):
            b.call("rot", q, params=[0.01 * (k + 1)])
    r = run(b, parallel=True)
    assert len(calls) == 120
    assert r.probabilities["1"] == pytest.approx(math.sin(0.2 / 2) ** 2, abs=1e-9)
