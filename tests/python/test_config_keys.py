"""Configuration keys: each back end takes the keys its documentation lists
and refuses any other by name, with the key it was likely meant to be."""

import pathlib
import re

import pytest
from hypothesis import given, settings, strategies as st

import kovra_backends as kb
from kovra.builder import CircuitBuilder
from kovra.qiskit import KovraBackend
from kovra.qiskit.backend import UnknownOptionError
from kovra.suggest import closest, edit_distance
from qiskit import QuantumCircuit

DOCS = (pathlib.Path(__file__).parents[2] / "docs" / "configuration.md").read_text()
CLOSED = {"port": 9}  # a run the NMR lowering passes ends at a port where nothing listens


def documented(section):
    """The keys of the first table under `## section`."""
    body = DOCS.split(f"\n## {section}\n", 1)[1].split("\n#", 1)[0]
    return set(re.findall(r'^\| "(\w+)" \|', body, re.M))


def bell():
    b = CircuitBuilder()
    b.qreg(2)
    b.gate("H", [0])
    b.gate("CNOT", [0, 1])
    return b


RUNS = {
    "execute": (lambda config: kb.BasicSimulator().execute(bell().capsule(), config), "BasicSimulator"),
    "compile": (lambda config: kb.compile(bell().capsule(), config), "BasicSimulator"),
    "nmr": (lambda config: kb.NMR().execute(bell().capsule(), {**CLOSED, **config}), "NMR"),
}


def listed_keys(message):
    return set(re.findall(r"'(\w+)'", message.split("the keys are ", 1)[1]))


@pytest.mark.parametrize("run", RUNS)
def test_the_keys_taken_are_the_documented_ones(run):
    call, section = RUNS[run]
    with pytest.raises(ValueError, match="^'zzzzzzzzzzzz' is not a configuration key; the keys are ") as refused:
        call({"zzzzzzzzzzzz": 1})
    assert listed_keys(str(refused.value)) == documented(section)
    for key in documented(section):  # each one reaches its own read
        with pytest.raises(Exception) as raised:
            call({key: object()})
        assert "is not a configuration key" not in str(raised.value), key


@pytest.mark.parametrize("run, given, meant", [
    ("execute", "shot", "shots"), ("execute", "sohts", "shots"), ("execute", "Seed", "seed"),
    ("execute", "mqubit", "mqubits"), ("execute", "trajectory", "trajectories"), ("compile", "mcbit", "mcbits"),
    ("nmr", "prot", "port"), ("nmr", "time_out", "timeout"), ("nmr", "shot", "shots"),
])
def test_a_misspelt_key_is_refused_with_the_one_meant(run, given, meant, capfd):
    with pytest.raises(ValueError, match=f"^'{given}' is not a configuration key; did you mean '{meant}'\\?$"):
        RUNS[run][0]({given: 1, "print_circuit": True})
    assert capfd.readouterr().out == ""  # refused before anything ran


@pytest.mark.parametrize("run", RUNS)
@pytest.mark.parametrize("given, shown", [
    ("seed_simulator", "'seed_simulator'"), (1, "1"), ("\ud800", r"'\\ud800'"), (("shots",), r"\('shots',\)"),
])
def test_keys_far_from_any_are_refused_with_the_list(run, given, shown):
    with pytest.raises(ValueError, match=f"^{shown} is not a configuration key; the keys are "):
        RUNS[run][0]({given: 1})


@settings(max_examples=300, deadline=None)
@given(st.text(alphabet="abcdeimnopqrstu_", max_size=14))
def test_the_module_and_the_python_helper_suggest_alike(given):
    known = documented("BasicSimulator")
    if given in known:
        return
    with pytest.raises(ValueError) as refused:
        kb.compile(bell().capsule(), {given: 1})
    found = re.search(r"did you mean '(\w+)'\?$", str(refused.value))
    mine = closest(given, sorted(known))
    assert (found is None) == (mine is None)
    if mine is not None:  # ties may go either way
        assert edit_distance(given, found.group(1)) == edit_distance(given, mine)


@pytest.mark.parametrize("run, config, named", [
    ("execute", {"shots": 1.5}, '"shots" must be an integer'),
    ("compile", {"fusion": "yes"}, '"fusion" must be True or False'),
    ("execute", {"seed": 1.5}, '"seed" must be an integer, got 1.5'),
    ("execute", {"seed": "7"}, "\"seed\" must be an integer, got '7'"),
    ("nmr", {"port": 70000}, '"port" must be an integer from 0 to 65535'),
    ("nmr", {"timeout": "soon"}, '"timeout" must be a real number'),
])
def test_a_value_of_the_wrong_type_is_a_type_error_naming_the_key(run, config, named):
    with pytest.raises(kb.ConfigTypeError, match=named) as raised:
        RUNS[run][0](config)
    assert isinstance(raised.value, TypeError) and isinstance(raised.value, RuntimeError)


@pytest.mark.parametrize("mcbits", [[], [0], None])
@pytest.mark.parametrize("mqubits", [[5], [0, 2], [-1]])
def test_mqubits_outside_the_register_are_refused_whatever_keys_the_result(mqubits, mcbits):
    b = bell()
    b.creg(1)
    b.measure([0], [0])
    config = {"mqubits": mqubits} if mcbits is None else {"mqubits": mqubits, "mcbits": mcbits}
    outside = next(q for q in mqubits if not 0 <= q < 2)
    with pytest.raises(ValueError, match=rf'^"mqubits" names qubit {outside}, outside \[0, 2\): the register has 2'):
        kb.BasicSimulator().execute(b.capsule(), config)


CIRCUIT = QuantumCircuit(1, 1)
CIRCUIT.x(0)
CIRCUIT.measure(0, 0)


@pytest.mark.parametrize("call", [
    lambda options: KovraBackend(**options),
    lambda options: KovraBackend().set_options(**options),
    lambda options: KovraBackend().run(CIRCUIT, **options),
], ids=["constructor", "set_options", "run"])
@pytest.mark.parametrize("given, message", [
    ("shot", "'shot' is not a KovraBackend option; did you mean 'shots'?"),
    ("seed_simulater", "'seed_simulater' is not a KovraBackend option; did you mean 'seed_simulator'?"),
    ("memroy", "'memroy' is not a KovraBackend option; did you mean 'memory'?"),
    ("frobnicate", "'frobnicate' is not a KovraBackend option; the names are "),
])
def test_backend_options_are_refused_with_the_one_meant(call, given, message):
    with pytest.raises(UnknownOptionError, match=re.escape(message)) as raised:
        call({given: 1})
    assert isinstance(raised.value, AttributeError)  # as Qiskit's set_options raised


def test_backend_options_of_today_still_run():
    backend = KovraBackend(shots=10, seed_simulator=3)
    backend.set_options(memory=True, while_limit=5)
    result = backend.run(CIRCUIT, shots=20, seed_simulator=4, memory=False, precision="double").result()
    assert result.get_counts() == {"1": 20}
    assert backend.run(CIRCUIT).result().get_memory() == ["1"] * 10
