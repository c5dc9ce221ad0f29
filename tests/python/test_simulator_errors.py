"""Malformed graphs raise Python exceptions that say what is wrong; none
crashes the interpreter or leaves a Python error behind."""
import math
import os
import signal
import subprocess
import textwrap
import time
import sys

import igraph
import pytest

import kovra_backends as kb
from kovra.builder import EQUAL, CircuitBuilder, capsule_of

KEY_NOT_FOUND = r"^unordered_map::at: key not found"


def execute(graph, **config):
    return kb.BasicSimulator().execute(capsule_of(graph), config)


def bell():
    b = CircuitBuilder()
    b.qreg(2)
    b.creg(2)
    b.gate("H", [0])
    b.gate("CNOT", [0, 1])
    return b


def vertex_named(g, name):
    return g.vs.find(name=name).index


@pytest.fixture(params=[False, True], ids=["sequential", "parallel"])
def parallel(request):
    return request.param


def mutate(setup):
    """A graph from bell() changed by setup(g)."""
    g = bell().graph()
    setup(g)
    return g


def set_vertex(name, key, value):
    def setup(g):
        g.vs[vertex_named(g, name)][key] = value

    return setup


def set_graph(key, value):
    def setup(g):
        if value is None:
            del g[key]
        else:
            g[key] = value

    return setup


def relabel_register(label):
    def setup(g):
        g.vs[vertex_named(g, "q0_2")]["name"] = label

    return setup


CASES = [
    # (id, setup, exception, message pattern)
    ("second qubit undeclared", set_vertex("CNOT", "qubits", [0, 7]), IndexError,
     KEY_NOT_FOUND + r".*vertex \d+ \(CNOT\) uses qubit 7"),
    ("first qubit undeclared", set_vertex("H", "qubits", [9]), IndexError, KEY_NOT_FOUND),
    ("repeated qubit", set_vertex("CNOT", "qubits", [1, 1]), RuntimeError,
     r"CNOT.*lists qubit 1 more than once"),
    ("unknown gate", set_vertex("H", "name", "Hadamard"), RuntimeError,
     r"\"Hadamard\" is not a gate name"),
    ("lower-case gate", set_vertex("CNOT", "name", "cnot"), RuntimeError, r"not a gate name"),
    ("one-qubit gate on two", set_vertex("CNOT", "name", "H"), RuntimeError,
     r"gate H acts on 1 qubit, but \"qubits\" lists 2"),
    ("two-qubit gate on one", set_vertex("H", "name", "CNOT"), RuntimeError,
     r"gate CNOT acts on 2 qubits"),
    ("no qubits", set_vertex("H", "qubits", None), RuntimeError, r"lists 0"),
    ("rotation without angle", set_vertex("H", "name", "Rx"), RuntimeError,
     r"gate Rx needs an angle"),
    ("infinite angle", lambda g: (set_vertex("H", "name", "Rx")(g), set_vertex("Rx", "params", [math.inf])(g)),
     RuntimeError, r"not a finite angle"),
    ("non-numeric qubit", set_vertex("CNOT", "qubits", [0, "one"]), RuntimeError,
     r"\"qubits\" of vertex \d+ holds a non-numeric item"),
    ("qubits not a list", set_vertex("CNOT", "qubits", 3), RuntimeError, r"not a list"),
    ("non-numeric type", set_vertex("H", "type", "gate"), RuntimeError, r"\"type\" of vertex \d+ is not a number"),
    ("register without size", relabel_register("q0"), RuntimeError, r"register label \"q0\""),
    ("register without start", relabel_register("q_2"), RuntimeError, r"register label \"q_2\""),
    ("register with text", relabel_register("qa_2"), RuntimeError, r"register label \"qa_2\""),
    ("register beyond qnum", relabel_register("q0_3"), RuntimeError,
     r"declares 3 qubits .* only 2 qubits"),
    ("qnum missing", set_graph("qnum", None), RuntimeError, r"\"qnum\" is missing"),
    ("qnum not a number", set_graph("qnum", "two"), RuntimeError, r"\"qnum\" is not a finite number"),
    ("cnum missing", set_graph("cnum", None), RuntimeError, r"\"cnum\" is missing"),
    ("qnum negative", set_graph("qnum", -1), ValueError, r"\"qnum\""),
    ("name missing", lambda g: g.vs.__delitem__("name"), RuntimeError,
     r"vertex \d+ \"name\": No such attribute"),
]


@pytest.mark.parametrize("setup, error, pattern", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_malformed_gates_and_registers(setup, error, pattern):
    g = mutate(setup)
    with pytest.raises(error, match=pattern):
        execute(g)
    assert sys.exc_info() == (None, None, None)
    # The interpreter and the module carry on.
    assert execute(bell().graph()).probabilities.keys() == {"00", "11"}


@pytest.mark.parametrize(
    "qnum, error", [(60, (ValueError, MemoryError)), (63, ValueError), (45, MemoryError)]
)
def test_registers_too_large_to_allocate(qnum, error, parallel):
    b = CircuitBuilder()
    b.qreg(qnum)
    b.gate("H", [0])
    with pytest.raises(error, match=f"cannot simulate {qnum} qubits"):
        execute(b.graph(), parallel=parallel)


def test_undirected_graph():
    g = bell().graph()
    g.to_undirected()
    with pytest.raises(RuntimeError, match="Topological sorting does not make sense for undirected graphs"):
        execute(g)


def test_cyclic_graph():
    g = bell().graph()
    cnot = vertex_named(g, "CNOT")
    g.add_edge(cnot, vertex_named(g, "H"))
    with pytest.raises(RuntimeError, match="cycles"):
        execute(g)


def measurement(setup):
    b = CircuitBuilder()
    b.qreg(2)
    b.creg(2)
    b.gate("H", [0])
    b.measure([0, 1], [0, 1])
    g = b.graph()
    setup(g, vertex_named(g, "MEASURE"))
    return g


def drop_clbit(g, m):
    g.es[g.incident(m, mode="in")[-1]]["clbit"] = None


def MEASURE_CASES():
    return [
        ("too few clbits", drop_clbit, RuntimeError, r"lists 2 qubits but .* only 1 \"clbit\""),
        ("same qubit twice", lambda g, m: g.vs[m].update_attributes(qubits=[0, 0]), RuntimeError,
         r"lists qubit 0 more than once"),
        ("clbit undeclared", lambda g, m: g.es[g.incident(m, mode="in")[0]].update_attributes(clbit=5),
         IndexError, KEY_NOT_FOUND + r".*classical bit 5"),
        ("second qubit undeclared", lambda g, m: g.vs[m].update_attributes(qubits=[0, 4]), IndexError,
         KEY_NOT_FOUND),
        ("cnum too small", lambda g, m: g.__setitem__("cnum", 1), RuntimeError,
         r"declares 2 classical bits .* only 1 classical bits \(graph attribute \"cnum\"\)"),
        ("conditioned", lambda g, m: g.vs[m].update_attributes(cmp=0, constant=1), RuntimeError,
         r"cannot be classically conditioned|conbit"),
    ]


@pytest.mark.parametrize("setup, error, pattern", [c[1:] for c in MEASURE_CASES()],
                         ids=[c[0] for c in MEASURE_CASES()])
def test_malformed_measurements(setup, error, pattern, parallel):
    if parallel and "cnum" in pattern:
        pytest.skip("parallel mode counts the classical-bit vertices instead of reading cnum")
    with pytest.raises(error, match=pattern):
        execute(measurement(setup), parallel=parallel)


def conditioned(setup):
    b = CircuitBuilder()
    b.qreg(2)
    b.creg(1)
    b.gate("H", [0])
    b.measure([0], [0])
    b.gate("X", [1], condition=([0], EQUAL, 1))
    g = b.graph()
    setup(g, vertex_named(g, "X"))
    return g


@pytest.mark.parametrize(
    "setup, error, pattern",
    [
        (lambda g, x: g.vs[x].update_attributes(constant=None), RuntimeError,
         r"vertex \d+ \(X\): the gate is classically conditioned \(\"cmp\"\) but has no \"constant\""),
        (lambda g, x: g.vs[x].update_attributes(cmp=9), RuntimeError, r"\"cmp\" is 9"),
        (lambda g, x: [e.update_attributes(conbit=None) for e in g.es], RuntimeError,
         r"no incoming edge carries \"conbit\""),
        (lambda g, x: [e.update_attributes(conbit=3) for e in g.es if e["conbit"] is not None],
         IndexError, KEY_NOT_FOUND + r".*classical bit 3"),
        (lambda g, x: g.vs[x].update_attributes(constant="one"), RuntimeError,
         r"\"constant\" of vertex \d+ is not a number"),
    ],
    ids=["no constant", "bad relation", "no conbit", "undeclared conbit", "text constant"],
)
def test_malformed_conditions(setup, error, pattern):
    with pytest.raises(error, match=pattern):
        execute(conditioned(setup))


def test_missing_conbit_attribute_is_reported_by_name():
    g = conditioned(lambda g, x: None)
    del g.es["conbit"]
    with pytest.raises(RuntimeError, match=r"edge attribute \"conbit\" into vertex \d+: No such attribute"):
        execute(g)


# --------------------------------------------------------------------------
# Calls


def caller(body_setup, call_qubits=(0, 1), call_params=(0.5,), name="d"):
    b = CircuitBuilder()
    b.qreg(2)
    body_setup(b.define("d"))
    b.call(name, list(call_qubits), params=list(call_params))
    return b.graph()


class Boom(Exception):
    pass


def explode(x):
    raise Boom("from the parameter function")


CALL_CASES = [
    ("unknown definition", lambda d: d.gate("H", [0]), {"name": "e"}, RuntimeError,
     r"calls \"e\", but no vertex defines it"),
    ("position out of range", lambda d: d.gate("H", [2]), {}, RuntimeError,
     r"\"qubits\" position 2 is outside the caller's 2 qubits"),
    ("negative position", lambda d: d.gate("H", [-1]), {}, RuntimeError, r"position -1"),
    ("pindex out of range", lambda d: d.gate("Rx", [0], params=[lambda a: a], pindex=[3]), {},
     RuntimeError, r"Something is wrong with callee parameters\. \"pindex\" entry 3"),
    ("pindex exhausted", lambda d: d.gate("Rx", [0], params=[lambda a, b: a], pindex=[0]), {},
     RuntimeError, r"Something is wrong with callee parameters\..*ends after 1"),
    ("no pindex", lambda d: d.gate("Rx", [0], params=[lambda a: a]), {}, RuntimeError,
     r"Something is wrong with callee parameters\."),
    ("param not a function", lambda d: d.gate("Rx", [0], params=[0.5]), {}, RuntimeError,
     r"\"params\" item 0 is not a Python function"),
    ("function returns text", lambda d: d.gate("Rx", [0], params=[lambda: "x"]), {}, RuntimeError,
     r"returned <class 'str'>, not a number"),
    ("body qubit undeclared", lambda d: d.gate("CNOT", [0, 1]), {"call_qubits": (0, 8)}, IndexError,
     KEY_NOT_FOUND + r".*in definition \"d\" called from vertex"),
    ("body measures", lambda d: d.gate("MEASURE", [0]), {}, RuntimeError,
     r"a definition body cannot measure"),
    ("body repeats a qubit", lambda d: d.gate("CNOT", [0, 0]), {}, RuntimeError, r"more than once"),
    ("self call", lambda d: d.call("d", [0]), {}, RuntimeError, r"nested more than 64 levels"),
]


@pytest.mark.parametrize("body, kwargs, error, pattern", [c[1:] for c in CALL_CASES],
                         ids=[c[0] for c in CALL_CASES])
def test_malformed_calls(body, kwargs, error, pattern, parallel):
    with pytest.raises(error, match=pattern):
        execute(caller(body, **kwargs), parallel=parallel)


def test_parameter_function_exception_reaches_the_caller_unchanged(parallel):
    g = caller(lambda d: d.gate("Rx", [0], params=[explode], pindex=[0]))
    with pytest.raises(Boom, match="from the parameter function") as raised:
        execute(g, parallel=parallel)
    assert raised.type is Boom
    # Nothing is left pending for the next call.
    assert execute(bell().graph()).probabilities.keys() == {"00", "11"}


class Boom2(Exception):
    pass


def explode_too(x):
    raise Boom2("from the second parameter function")


@pytest.mark.parametrize("failing, raised", [((1,), Boom), ((2,), Boom2), ((1, 2), Boom)])
def test_a_sub_circuit_failure_is_raised_in_parallel_the_first_in_order(failing, raised):
    # Sub-circuits 0 and 1 can fail with Boom, sub-circuit 2 with Boom2; a
    # failure is never reported as success, whichever thread meets it.
    b = CircuitBuilder()
    b.define("bad").gate("Rx", [0], params=[explode], pindex=[0])
    b.define("bad2").gate("Rx", [0], params=[explode_too], pindex=[0])
    for part in range(3):
        q = b.qreg(1)
        if part in failing:
            b.call("bad2" if part == 2 else "bad", q, params=[1.0])
        else:
            b.gate("H", q)
    g = b.graph()
    for parallel in (True, False):
        with pytest.raises(raised):
            execute(g, parallel=parallel)


def test_exponential_expansion_is_cut_off():
    b = CircuitBuilder()
    b.qreg(1)
    b.define("d0").gate("X", [0])
    for level in range(1, 40):
        d = b.define(f"d{level}")
        d.call(f"d{level - 1}", [0])
        d.call(f"d{level - 1}", [0])
    b.call("d39", [0])
    with pytest.raises(RuntimeError, match="definition-body vertices"):
        execute(b.graph())


def test_capsule_of_a_graph_without_attributes_record():
    g = igraph.Graph(directed=True)
    g.add_vertices(2)
    g["qnum"] = 1
    g["cnum"] = 0
    # No register: nothing is lowered; one idle qubit.
    assert execute(g).probabilities == {"0": 1.0}


def test_ctrl_c_stops_a_long_run():
    # About two minutes of gates; SIGINT must end it with KeyboardInterrupt
    # long before that, and the process must still be able to go on.
    code = textwrap.dedent("""
        import sys, time
        import kovra_backends as kb
        from kovra.builder import CircuitBuilder
        b = CircuitBuilder()
        b.qreg(22)
        for layer in range(2000):
            for q in range(22):
                b.gate("H" if layer % 2 else "T", [q])
        g = b.graph()
        print("running", flush=True)
        start = time.monotonic()
        try:
            # Exact: fused, each qubit's gates become one matrix and the run
            # ends within a second.
            kb.BasicSimulator().execute(g, {"fusion": False})
        except KeyboardInterrupt:
            print("interrupted after", time.monotonic() - start, flush=True)
            print(kb.BasicSimulator().execute(CircuitBuilder().graph(), {}).probabilities)
    """)
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True,
                             env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    try:
        assert child.stdout.readline().strip() == "running"
        time.sleep(1.0)
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=60)
    finally:
        child.kill()
    assert child.returncode == 0, out
    assert out.startswith("interrupted after") and out.splitlines()[-1] == "{'': 1.0}", out


@pytest.mark.parametrize("mqubits", [[5], [0, 2], [-1], [5, -1]])
def test_mqubits_outside_the_register_are_refused(mqubits, parallel):
    outside = min(q for q in mqubits if not 0 <= q < 2)  # "mqubits" is a set, read in order
    with pytest.raises(ValueError, match=rf'"mqubits" names qubit {outside}, outside \[0, 2\)'):
        execute(bell().graph(), mqubits=mqubits, parallel=parallel)


@pytest.mark.parametrize("qubits", [17, 31, 40, 70])
def test_density_matrices_too_large_are_refused_for_their_own_size(qubits):
    b = CircuitBuilder()
    b.qreg(qubits)
    b.gate("H", [0])
    with pytest.raises(ValueError, match=f"cannot simulate {qubits} qubits as a density matrix: it takes at most 16"):
        execute(b.graph(), method="density_matrix")
