import igraph
import pytest

import kovra_backends as kb


def capsule_of(graph):
    return getattr(graph, "__graph_as_capsule")()


@pytest.fixture
def capsule():
    g = igraph.Graph(directed=True)
    g.add_vertices(1)
    g["qnum"] = 0
    g["cnum"] = 0
    # The capsule does not own the graph: keep the graph alive while it is used.
    yield capsule_of(g)
    del g


def test_module_surface():
    assert kb.__doc__ == "Kovra Backends"
    names = [n for n in ("BasicSimulator", "NMR", "Result") if hasattr(kb, n)]
    assert names == ["BasicSimulator", "NMR", "Result"]
    public = {n for n in dir(kb.Result) if not n.startswith("_")}
    assert public == {"states", "probabilities", "counts", "get_random_reading", "probability_array",
                      "state_array", "sample_counts", "sample_memory", "expectation_values", "probability_errors",
                      "memory", "trajectories", "expectation_errors", "key_count"}


def test_default_result():
    r = kb.Result()
    assert r.states == []
    assert r.probabilities == {}
    assert r.counts == {}
    assert r.get_random_reading() == ""


def test_counts_from_python():
    r = kb.Result()
    r.probabilities = {"1": 0.5, "0": 0.5}
    assert list(r.probabilities) == ["0", "1"]
    # The default shot count is 1024.
    assert r.counts == {"0": 512, "1": 512}
    with pytest.raises(AttributeError):
        r.counts = {}


def test_states_conversion():
    r = kb.Result()
    r.states = (1, 2j)
    assert r.states == [1 + 0j, 2j]
    r.states = (x for x in [0.5])
    assert r.states == [0.5 + 0j]
    with pytest.raises(TypeError):
        r.states = "ab"
    assert r.states == [0.5 + 0j]
    with pytest.raises(TypeError):
        r.probabilities = {"0": "x"}


@pytest.mark.parametrize("backend", [kb.BasicSimulator, kb.NMR])
@pytest.mark.parametrize(
    "call",
    [
        lambda b, cap, g: b.execute(cap, []),  # not a dict
        lambda b, cap, g: b.execute(cap, ({},)),
        lambda b, cap, g: b.execute(graph=cap, config={}),
        lambda b, cap, g: b.execute(cap),
    ],
)
def test_execute_argument_types(backend, call, capsule):
    g = igraph.Graph(directed=True)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call(backend(), capsule, g)


@pytest.mark.parametrize("backend", [kb.BasicSimulator, kb.NMR])
@pytest.mark.parametrize(
    "graph, name",
    [([1], "list"), (None, "NoneType"), ("g", "str")],
)
def test_execute_refuses_what_is_no_graph(backend, graph, name):
    with pytest.raises(TypeError, match=f"python-igraph Graph or the capsule of one, not '{name}'"):
        backend().execute(graph, {})


def test_graph_whose_capsule_is_no_capsule():
    class Odd(igraph.Graph):
        pass

    odd = Odd(directed=True)
    setattr(odd, "__graph_as_capsule", lambda: 3)
    with pytest.raises(TypeError, match="did not return a capsule"):
        kb.BasicSimulator().execute(odd, {})


class Impostor:
    pass


def _impostor():
    """Offers the capsule of a graph that is already gone."""
    capsule = capsule_of(igraph.Graph(directed=True))  # the graph is freed here
    impostor = Impostor()
    setattr(impostor, "__graph_as_capsule", lambda: capsule)
    return impostor


@pytest.mark.parametrize("backend", [kb.BasicSimulator, kb.NMR])
def test_only_python_igraph_graphs_are_asked_for_a_capsule(backend):
    with pytest.raises(TypeError, match="Graph or the capsule of one, not 'Impostor'"):
        backend().execute(_impostor(), {})


@pytest.mark.parametrize("backend", [kb.BasicSimulator, kb.NMR])
def test_named_capsules_are_refused(backend):
    import datetime

    with pytest.raises(TypeError, match='not the capsule "datetime.datetime_CAPI"'):
        backend().execute(datetime.datetime_CAPI, {})


def _bell_graph():
    """A graph that nothing but the call will reference."""
    from kovra.builder import CircuitBuilder

    b = CircuitBuilder()
    b.qreg(2)
    b.gate("H", [0])
    b.gate("CNOT", [0, 1])
    return b.graph()


def test_graph_is_kept_alive_by_the_call():
    # Passing a capsule of a graph nobody holds would read freed memory; the
    # graph itself stays referenced for the whole run.
    result = kb.BasicSimulator().execute(_bell_graph(), {})
    assert result.probabilities == {"00": 0.4999999999809753, "11": 0.4999999999809753}


def test_builders_capsule_keeps_its_graph_until_the_capsule_goes():
    import gc
    import weakref

    from kovra import builder

    made = _bell_graph()
    graph = weakref.ref(made)
    capsule = builder.capsule_of(made)  # what CircuitBuilder.capsule() returns
    del made
    gc.collect()
    assert graph() is not None
    result = kb.BasicSimulator().execute(capsule, {})
    assert result.probabilities == {"00": 0.4999999999809753, "11": 0.4999999999809753}
    del capsule
    gc.collect()
    assert graph() is None  # released with the capsule: nothing leaks


@pytest.mark.parametrize(
    "make",
    [lambda: None, lambda: igraph.Graph, lambda: capsule_of(igraph.Graph(directed=True))],
    ids=["None", "the Graph class", "a capsule"],
)
def test_graph_capsule_takes_only_graphs(make):
    with pytest.raises(TypeError, match=r"graph_capsule\(\) takes a python-igraph Graph"):
        kb.graph_capsule(make())


def test_nmr_takes_the_graph_too():
    # The configuration is refused after the graph has been accepted.
    with pytest.raises(ValueError):
        kb.NMR().execute(_bell_graph(), {"mqubits": [7]})


CAST = "Unable to cast Python instance of type"


@pytest.mark.parametrize("backend", [kb.BasicSimulator, kb.NMR])
@pytest.mark.parametrize(
    "config",
    [
        {"shots": 2.0},
        {"shots": 2**31},
        {"print_circuit": "yes"},
        {"mqubits": [0, 1.5]},
    ],
)
def test_config_cast_errors(backend, config, capsule):
    with pytest.raises(RuntimeError, match=CAST):
        backend().execute(capsule, config)


@pytest.mark.parametrize(
    "config", [{"port": 70000}, {"port": 55444.0}, {"ip": 127}, {"username": None}]
)
def test_nmr_config_cast_errors(config, capsule):
    with pytest.raises(RuntimeError, match=CAST):
        kb.NMR().execute(capsule, config)


@pytest.mark.parametrize("backend, config, named", [
    (kb.BasicSimulator, {"shots": 1.5}, '"shots" must be an integer from -2147483648 to 2147483647, got 1.5'),
    (kb.NMR, {"shots": 1.5}, '"shots" must be an integer'),
    (kb.BasicSimulator, {"trajectories": 2.5}, '"trajectories" must be an integer .*, got 2.5'),
    (kb.BasicSimulator, {"print_circuit": "yes"}, "\"print_circuit\" must be True or False, got 'yes'"),
    (kb.BasicSimulator, {"mcbits": [0, 1.5]}, '"mcbits" item 1 must be an integer'),
    (kb.NMR, {"port": 70000}, '"port" must be an integer from 0 to 65535, got 70000'),
    (kb.NMR, {"timeout": "soon"}, "\"timeout\" must be a real number, got 'soon'"),
])
def test_config_cast_errors_name_the_key(backend, config, named, capsule):
    with pytest.raises(RuntimeError, match=f"^{CAST} .*: {named}"):
        backend().execute(capsule, config)


def test_mqubits_not_iterable(capsule):
    with pytest.raises(TypeError, match="not iterable"):
        kb.BasicSimulator().execute(capsule, {"mqubits": 3})


class Config(dict):
    pass


def test_dict_subclass_is_accepted(capsule):
    # A dict subclass converts; the bad value then fails its typed read.
    with pytest.raises(RuntimeError, match=CAST):
        kb.BasicSimulator().execute(capsule, Config(shots=1.5))
