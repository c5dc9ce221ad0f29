"""STORE vertices: a constant written into a classical bit where the
vertex's condition holds, in every kind of branch run; refused where no
branch states run and, by name, when malformed."""

import pytest

import kovra_backends
from kovra.builder import EQUAL, CircuitBuilder


def _stored(config=None, readout=(0.7, 0.3, 0.2, 0.8), **store):
    """q0 = |+> measured into c0 with a readout error; then STORE."""
    b = CircuitBuilder()
    b.qreg(1)
    b.creg(2)
    b.gate("H", [0])
    b.measure([0], [0], **({"readout": list(readout)} if readout else {}))
    b.store(**store)
    return kovra_backends.BasicSimulator().execute(b.capsule(), dict({"mcbits": [0, 1]}, **(config or {})))


@pytest.mark.parametrize("store, expected", [
    ({"clbit": 0, "value": 1}, {"10": 1.0}),  # the measured, misread bit overwritten
    ({"clbit": 1, "value": 1, "condition": ([0], EQUAL, 1)}, {"00": 0.45, "11": 0.55}),
    ({"clbit": 0, "value": 0, "condition": ([0], EQUAL, 1)}, {"00": 1.0}),
])
def test_store_writes_a_bit_where_its_condition_holds(store, expected):
    assert _stored(**store).probabilities == pytest.approx(expected)


@pytest.mark.parametrize("config, message", [
    ({"measure_reuse": "records"}, r"STORE vertex.*\"measure_reuse\": \"records\""),
    ({"precision": "single"}, "STORE vertex"),
])
def test_store_is_refused_where_no_branch_states_run(config, message):
    with pytest.raises(ValueError, match=message):
        _stored(config, readout=None, clbit=1, value=1)


@pytest.mark.parametrize("attrs, message", [
    ({"clbits": [0, 1]}, r"names the one classical bit it writes in \"clbits\"; it lists 2"),
    ({"params": [2]}, r"the value it writes, 0 or 1"),
    ({"clbits": [7]}, r"uses classical bit 7, which no register declares"),
])
def test_bad_store_vertices_are_refused_by_name(attrs, message):
    b = CircuitBuilder()
    b.qreg(1)
    b.creg(2)
    v = b.store(0, 1)
    g = b.graph()
    for key, value in attrs.items():
        g.vs[v][key] = value
    with pytest.raises(kovra_backends.CircuitError, match=rf"vertex {v} \(STORE\).*{message}"):
        kovra_backends.BasicSimulator().execute(g, {})
