"""Attribute values that fight back: conversions that change the graph while
it is being read, numpy scalars where integers belong, self-loops and names
with a NUL. Neither back end may crash; numpy integers count as integers."""
import igraph
import numpy as np
import pytest

import kovra_backends as kb
from kovra.builder import EQUAL, CircuitBuilder

from fuzz_support import assert_close
from nmr_helpers import closed_port

CLOSED_PORT = {"ip": "127.0.0.1", "port": closed_port()}  # the NMR run ends at connecting

_junk = []


class Saboteur:
    """A number whose every conversion first runs `action(graph)`, then fills
    the heap with fresh objects so that freed memory does not stay intact."""

    def __init__(self, value, action):
        self.value, self.action, self.graph = value, action, None

    def _strike(self):
        if self.graph is not None:
            graph, self.graph = self.graph, None  # once
            self.action(graph)
            _junk[:] = [[object()] * 8 for _ in range(2000)]

    def __float__(self):
        self._strike()
        return float(self.value)

    def __index__(self):
        self._strike()
        return int(self.value)

    def __str__(self):
        self._strike()
        return str(self.value)


def clear_entry(key, v):
    return lambda g: g.vs[v][key].clear()


def drop_entry(key, v):
    def act(g):
        g.vs[v][key] = None
    return act


def drop_attribute(key, v):
    def act(g):
        if key in g.vs.attributes():
            del g.vs[key]
        else:
            del g.es[key]
    return act


def shrink_graph(key, v):
    return lambda g: g.delete_vertices(list(range(g.vcount() // 2, g.vcount())))


ACTIONS = {"clear entry": clear_entry, "drop entry": drop_entry,
           "drop attribute": drop_attribute, "shrink graph": shrink_graph}


def circuit(classical):
    """Registers, gates and a call; with `classical`, a measurement and a
    conditioned gate too (the NMR lowering refuses those, so it would stop
    reading there)."""
    b = CircuitBuilder()
    b.qreg(2)
    if classical:
        b.creg(1)
    b.gate("H", [0])
    b.gate("CNOT", [0, 1])
    body = b.define("sub")
    body.gate("Rx", [0], params=[lambda a: a], pindex=[0])
    b.call("sub", [1], params=[0.25])
    if classical:
        b.measure([0], [0])
        b.gate("X", [1], condition=([0], EQUAL, 1))
    return b.graph()


def vertex(g, name):
    return g.vs.find(name=name).index


def planted(site, action_name, classical):
    """circuit() with a Saboteur at `site`: (vertex key, vertex name) or
    (edge key, name of the edge's target). Its companions in a list become
    fresh floats, which the list alone holds."""
    g = circuit(classical)
    key, name = site
    if key == "def":
        v = next(u.index for u in g.vs if u["def"] == name)
    elif key in g.vs.attributes():
        v = vertex(g, name)
    else:
        v = next(e.index for e in g.es if e[key] is not None and g.vs[e.target]["name"] == name)
    act = ACTIONS[action_name](key, v)
    if key in g.vs.attributes() and isinstance(g.vs[v][key], list):
        items = g.vs[v][key]
        if callable(items[0]):  # parameter functions: strike while "pindex" is read
            saboteur = Saboteur(0, act)
            g.vs[v]["pindex"] = [saboteur]
        else:
            saboteur = Saboteur(items[0], act)
            items[:] = [saboteur] + [float(x) + 0.5 - 0.5 for x in items[1:]]
    else:
        if action_name == "clear entry":
            act = drop_attribute(key, v)
        seq = g.vs if key in g.vs.attributes() else g.es
        saboteur = Saboteur(seq[v][key], act)
        seq[v][key] = saboteur
    saboteur.graph = g
    return g


SITES = [("qubits", "CNOT"), ("qubits", "sub"), ("params", "sub"), ("params", "Rx"),
         ("type", "H"), ("type", "q0_2"), ("name", "CNOT"), ("def", "sub"), ("qubit", "CNOT"),
         ("cmp", "X"), ("clbit", "MEASURE"), ("conbit", "X")]
RUNS = {"simulator": (kb.BasicSimulator, {}), "parallel": (kb.BasicSimulator, {"parallel": True}),
        "nmr": (kb.NMR, CLOSED_PORT)}


@pytest.mark.parametrize("run", list(RUNS))
@pytest.mark.parametrize("action", list(ACTIONS))
@pytest.mark.parametrize("site", SITES, ids=["-".join(s) for s in SITES])
def test_conversions_that_change_the_graph_end_cleanly(run, action, site, capfd):
    backend, config = RUNS[run]
    classical = run != "nmr"
    if not classical and site[0] in ("cmp", "clbit", "conbit"):
        pytest.skip("the NMR lowering reads no classical bits")
    g = planted(site, action, classical)
    try:
        backend().execute(g, dict(config))
    except SystemError as error:
        pytest.fail(f"SystemError: {error}")
    except Exception as error:  # noqa: BLE001 - any ordinary exception is fine
        assert str(error)
    capfd.readouterr()


def nmr_document(g, capfd):
    """The task document the NMR back end would send for g."""
    with pytest.raises(RuntimeError, match="Connect"):
        kb.NMR().execute(g, {**CLOSED_PORT, "print_circuit": True})
    return capfd.readouterr().out.split("Connect")[0]


@pytest.mark.parametrize("action", ["clear entry", "drop entry"])
def test_a_list_emptied_by_its_own_item_is_read_as_it_was(action, capfd):
    # The whole list is read as it stood when reading began.
    simulator = kb.BasicSimulator().execute(circuit(True), {}).probabilities
    document = nmr_document(circuit(False), capfd)
    assert kb.BasicSimulator().execute(planted(("qubits", "CNOT"), action, True), {}).probabilities \
        == simulator
    assert nmr_document(planted(("qubits", "CNOT"), action, False), capfd) == document


def test_a_mqubits_item_that_empties_the_list_is_read_safely():
    mqubits = [0, 1]
    mqubits[0] = Saboteur(0, lambda g: mqubits.clear())
    mqubits[0].graph = True
    b = CircuitBuilder()
    b.qreg(2)
    b.gate("X", [1])
    result = kb.BasicSimulator().execute(b.graph(), {"mqubits": mqubits})
    assert result.probabilities == {"01": 1.0}


# ---- numpy scalars -------------------------------------------------------------


def numpy_everywhere(g):
    """Every integer of g as a numpy integer."""
    for key in ("type", "cmp", "constant"):
        if key in g.vs.attributes():
            g.vs[key] = [None if x is None else np.int64(x) for x in g.vs[key]]
    g.vs["qubits"] = [None if x is None else [np.int32(q) for q in x] for x in g.vs["qubits"]]
    for key in ("qubit", "clbit", "conbit"):
        g.es[key] = [None if x is None else np.int64(x) for x in g.es[key]]
    g["qnum"], g["cnum"] = np.int64(g["qnum"]), np.int16(g["cnum"])
    return g


def conditioned():
    b = CircuitBuilder()
    b.qreg(3)
    b.creg(1)
    b.gate("H", [0])
    b.gate("CNOT", [0, 2])
    b.measure([0], [0])
    b.gate("X", [1], condition=([0], EQUAL, 1))
    return b.graph()


@pytest.mark.parametrize("parallel", [False, True])
def test_numpy_integers_read_as_integers_by_the_simulator(parallel):
    plain = kb.BasicSimulator().execute(conditioned(), {"parallel": parallel})
    numpy = kb.BasicSimulator().execute(numpy_everywhere(conditioned()), {"parallel": parallel})
    assert numpy.probabilities.keys() == {"000", "111"}
    assert_close(numpy.probabilities, plain.probabilities)


def test_numpy_integers_read_as_integers_by_the_nmr_lowering(capfd):
    b = CircuitBuilder()
    b.qreg(2)
    b.gate("H", [0])
    b.gate("CNOT", [0, 1])
    plain, numpy = b.graph(), numpy_everywhere(b.graph())
    documents = []
    for g in (plain, numpy):
        with pytest.raises(RuntimeError):
            kb.NMR().execute(g, {**CLOSED_PORT, "print_circuit": True})
        documents.append(capfd.readouterr().out.split("Connect")[0])
    assert '"gates":[]' not in documents[1]
    assert documents[0] == documents[1]


@pytest.mark.parametrize("kind, expected", [
    (np.int64(4), {"1": 1.0}), (np.uint8(4), {"1": 1.0}), (np.float64(4.0), {"1": 1.0}),
    (np.float32(4.5), {"0": 1.0}), (4.5, {"0": 1.0}), ("4", {"0": 1.0}),
])
def test_only_integers_declare_a_register(kind, expected):
    b = CircuitBuilder()
    b.qreg(1)
    b.gate("X", [0])
    g = b.graph()
    g.vs[vertex(g, "q0_1")]["type"] = kind
    assert kb.BasicSimulator().execute(g, {}).probabilities == expected


# ---- self-loops and NUL in names ----------------------------------------------


def bell():
    b = CircuitBuilder()
    b.qreg(2)
    b.gate("H", [0])
    b.gate("CNOT", [0, 1])
    return b.graph()


@pytest.mark.parametrize("backend, config", [(kb.BasicSimulator, {}), (kb.NMR, CLOSED_PORT)])
def test_self_loops_are_cycles(backend, config):
    g = bell()
    h = vertex(g, "H")
    g.add_edge(h, h, qubit=0)
    with pytest.raises(RuntimeError, match="cycles"):
        backend().execute(g, config)


@pytest.mark.parametrize("backend, config", [(kb.BasicSimulator, {}), (kb.NMR, CLOSED_PORT)])
@pytest.mark.parametrize("name", ["X\0junk", b"X\0junk"])
def test_names_with_a_nul_are_refused(backend, config, name):
    g = bell()
    g.vs[vertex(g, "H")]["name"] = name
    with pytest.raises(RuntimeError, match="NUL"):
        backend().execute(g, config)
