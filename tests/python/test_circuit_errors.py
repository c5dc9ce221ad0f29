"""Both back ends read definitions and their parameters through one front
end: the same faulty graph is refused by both with the same named
exception, which carries the vertex and its name."""
import pytest

import kovra_backends as kb
from kovra.builder import CircuitBuilder
from nmr_helpers import closed_port


def with_definition(body, call_name="sub"):
    b = CircuitBuilder()
    b.qreg(2)
    body(b.define("sub"))
    b.call(call_name, [0, 1], params=[1.0])
    return b


FAULTS = [
    ("unknown definition", lambda: with_definition(lambda d: d.gate("H", [0]), "nowhere"),
     kb.CircuitError, "nowhere", 'calls "nowhere", but no vertex defines it'),
    ("pindex outside the caller",
     lambda: with_definition(lambda d: d.gate("Rx", [0], params=[lambda a: a], pindex=[3])),
     kb.CircuitError, "Rx", '"pindex" entry 3 is outside the caller\'s 1 parameters'),
    ("parameter not a function", lambda: with_definition(lambda d: d.gate("Rx", [0], params=[0.5])),
     kb.ParameterError, "Rx", '"params" item 0 is not a Python function'),
    ("parameter gives text", lambda: with_definition(lambda d: d.gate("Rx", [0], params=[lambda: "x"])),
     kb.ParameterError, "Rx", "returned <class 'str'>, not a number"),
]


@pytest.mark.parametrize("backend", [kb.BasicSimulator, kb.NMR], ids=["simulator", "nmr"])
@pytest.mark.parametrize("fault, build, error, name, text", FAULTS, ids=[f[0] for f in FAULTS])
def test_both_back_ends_refuse_a_definition_alike(backend, fault, build, error, name, text):
    graph = build().graph()
    with pytest.raises(error, match=text) as caught:
        # The device's port is a key of the device alone: the simulator refuses it.
        backend().execute(kb.graph_capsule(graph), {"port": closed_port()} if backend is kb.NMR else {})
    assert caught.value.name == name
    assert graph.vs[caught.value.vertex]["name"] == name
    assert str(caught.value).startswith(f"vertex {caught.value.vertex} ({name})")


def test_the_named_errors_are_the_built_in_ones_callers_caught():
    assert issubclass(kb.CircuitError, RuntimeError) and issubclass(kb.CircuitError, ValueError)
    assert issubclass(kb.CircuitIndexError, IndexError) and issubclass(kb.ParameterError, TypeError)
    b = CircuitBuilder()
    b.qreg(1)
    b.gate("CNOT", [0, 7])
    with pytest.raises(kb.CircuitIndexError, match="uses qubit 7, which no register declares") as caught:
        kb.BasicSimulator().execute(b.capsule(), {})
    assert caught.value.name == "CNOT"
