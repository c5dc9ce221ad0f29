"""NMR back end: lowering, task document and runs against the local device
emulator, checked against closed-form probabilities and BasicSimulator.

The document carries angles in degrees with 6 significant digits, so the
end-to-end circuits use angles that survive that rounding exactly."""

import itertools
import json
import math
import sys

import pytest

import kovra_backends as kb
from kovra.builder import CircuitBuilder, EQUAL

from fuzz_support import assert_close
from nmr_helpers import closed_port, emulator

BELL_DOCUMENT = (
    '{"gates":[{"angle":0,"controlQubit":-1,"controlQubit2":-1,"delay":0,"qubitIndex":0,'
    '"timeslot":0,"type":"H"},\n'
    '{"angle":0,"controlQubit":0,"controlQubit2":-1,"delay":0,"qubitIndex":1,'
    '"timeslot":1,"type":"CNOT"}],\n'
    '"measures":[1,1]}'
)


@pytest.fixture(scope="module")
def device():
    with emulator() as d:
        yield d


def run(builder, device, **config):
    return kb.NMR().execute(builder.capsule(), device.config(**config))


def document(builder, device, capfd, **config):
    """The task document as printed before connecting."""
    capfd.readouterr()
    run(builder, device, print_circuit=True, **config)
    out = capfd.readouterr().out
    return out[: out.index("\nConnect to server successfully!")]


def circuit(qubits, *gates):
    b = CircuitBuilder()
    b.qreg(qubits)
    for gate in gates:
        b.gate(*gate)
    return b


def product(*ones):
    """Closed form for independent qubits with P(qubit k = 1) = ones[k]."""
    out = {}
    for bits in itertools.product("01", repeat=len(ones)):
        p = math.prod(o if b == "1" else 1 - o for b, o in zip(bits, ones))
        if p > 1e-10:
            out["".join(bits)] = p
    return out


def marginal(probabilities, qubits):
    out = {}
    for key, p in probabilities.items():
        k = "".join(key[q] for q in sorted(set(qubits)))
        out[k] = out.get(k, 0.0) + p
    return {k: p for k, p in out.items() if p > 1e-10}


def simulator(builder, config):
    try:
        return kb.BasicSimulator().execute(builder.capsule(), config).probabilities
    except RuntimeError as error:
        if "not built yet" in str(error):
            pytest.skip("BasicSimulator is not available in this build")
        raise


def twist_call():
    """A call whose body takes its angles from parameter functions."""
    b = CircuitBuilder()
    b.qreg(2)
    d = b.define("twist")
    d.gate("Rx", [0], params=[lambda ps: ps[0] / 2], pindex=[-1])
    d.gate("Ry", [1], params=[lambda a, c: a - c], pindex=[1, 0])
    b.call("twist", [1, 0], params=[math.radians(80), math.radians(200)])
    # Rx(40 degrees) on qubit 1, Ry(200 - 80 degrees) on qubit 0.
    return b, product(math.sin(math.radians(60)) ** 2, math.sin(math.radians(20)) ** 2)


CIRCUITS = {
    "bell": lambda: (circuit(2, ("H", [0]), ("CNOT", [0, 1])), {"00": 0.5, "11": 0.5}),
    "ghz": lambda: (circuit(3, ("H", [0]), ("CNOT", [0, 1]), ("CNOT", [1, 2])),
                    {"000": 0.5, "111": 0.5}),
    "rotations": lambda: (
        circuit(3, ("Rx", [0], [math.radians(30)]), ("Ry", [1], [-math.radians(70)]),
                ("Rz", [2], [math.radians(143.25)]), ("X90", [2]), ("P", [1], [math.radians(12.5)])),
        product(math.sin(math.radians(15)) ** 2, math.sin(math.radians(35)) ** 2, 0.5)),
    "phases and controls": lambda: (
        circuit(3, ("H", [0]), ("S", [0]), ("T", [0]), ("Td", [0]), ("Sd", [0]), ("H", [0]),
                ("X", [1]), ("YCON", [1, 2]), ("ZCON", [1, 2]), ("CCX", [1, 2, 0]), ("Y90", [1])),
        {"101": 0.5, "111": 0.5}),
    "call with parameter functions": twist_call,
}


def _case(name, mqubits):
    builder, expected = CIRCUITS[name]()
    if mqubits is None:
        return builder, {}, expected
    if max(mqubits) >= builder.qnum:
        pytest.skip("qubit not in this circuit")
    return builder, {"mqubits": mqubits}, marginal(expected, mqubits)


@pytest.mark.parametrize("mqubits", [None, [0], [2, 0]])
@pytest.mark.parametrize("name", CIRCUITS)
def test_runs_match_closed_form(device, name, mqubits):
    builder, config, expected = _case(name, mqubits)
    result = run(builder, device, **config)
    assert_close(result.probabilities, expected, 1e-9)
    assert result.states == []
    assert sum(result.counts.values()) == 1024


@pytest.mark.parametrize("mqubits", [None, [1, 0]])
@pytest.mark.parametrize("name", CIRCUITS)
def test_runs_match_simulator(device, name, mqubits):
    builder, config, _ = _case(name, mqubits)
    expected = {k: p for k, p in simulator(builder, config).items() if p > 1e-10}
    assert_close(run(builder, device, **config).probabilities, expected, 1e-9)


def test_bell_document_byte_for_byte(device, capfd):
    b = circuit(2, ("H", [0]), ("CNOT", [0, 1]))
    assert document(b, device, capfd, mqubits=[0, 1]) == BELL_DOCUMENT
    # Without "mqubits" the array closes the document.
    assert document(b, device, capfd) == BELL_DOCUMENT[: BELL_DOCUMENT.index(",\n\"measures\"")] + "}"


@pytest.mark.parametrize("gates, slots", [
    ([("H", [0]), ("CNOT", [0, 1])], [0, 1]),
    ([("X", [0]), ("X", [1])], [0, 0]),
    ([("X", [0]), ("Y", [0]), ("Z", [0]), ("X", [1]), ("CCX", [0, 1, 2]), ("H", [2])], [0, 1, 2, 0, 3, 4]),
    ([("H", [1]), ("CNOT", [1, 0]), ("X", [2]), ("CNOT", [0, 2]), ("T", [1])], [0, 1, 0, 2, 2]),
])
def test_time_slots(device, capfd, gates, slots):
    ops = json.loads(document(circuit(3, *gates), device, capfd))["gates"]
    placed = sorted((op["type"], op["qubitIndex"], op["timeslot"]) for op in ops)
    assert placed == sorted((name, qubits[-1], slot) for (name, qubits), slot in zip(gates, slots))


@pytest.mark.parametrize("radians, text", [
    (math.pi / 2, '"angle":90,'), (-math.pi / 2, '"angle":630,'), (5 * math.pi, '"angle":180,'),
    (12.566370614359172, '"angle":0,'), (1.0, '"angle":57.2958,'), (2, '"angle":114.592,'),
])
def test_angles_in_degrees(device, capfd, radians, text):
    doc = document(circuit(1, ("Rx", [0], [radians])), device, capfd)
    assert text in doc


def test_operation_fields(device, capfd):
    b = circuit(3, ("Rx", [1], [math.pi / 2]), ("H", [2], []), ("CNOT", [2, 0]), ("CCX", [1, 0, 2]))
    ops = json.loads(document(b, device, capfd))["gates"]
    assert [(o["controlQubit"], o["controlQubit2"], o["qubitIndex"], o["angle"], o["delay"]) for o in ops] == [
        (-1, -1, 1, 90, 0), (-1, -1, 2, 0, 0), (2, -1, 0, 0, 0), (1, 0, 2, 0, 0)]


def test_call_expansion_maps_positions_and_parameters(device, capfd):
    b = CircuitBuilder()
    b.qreg(3)
    d = b.define("bell")
    d.gate("H", [0])
    d.gate("CNOT", [0, 1])
    d.gate("Rz", [1], params=[lambda: 0.5, lambda ps: sum(ps)], pindex=[-1])
    inner = b.define("inner")
    inner.call("bell", [1, 0], params=[lambda a: a * 2], pindex=[0])
    b.gate("X", [0])
    b.call("bell", [2, 0], params=[1.0, 2.0])
    b.call("inner", [2, 1], params=[0.25])
    ops = json.loads(document(b, device, capfd))["gates"]
    assert [(o["type"], o["controlQubit"], o["qubitIndex"], o["timeslot"]) for o in ops] == [
        ("X", -1, 0, 0), ("H", -1, 2, 0), ("CNOT", 2, 0, 1), ("Rz", -1, 0, 2),
        ("H", -1, 1, 0), ("CNOT", 1, 2, 2), ("Rz", -1, 2, 3)]
    # Only the first evaluated parameter of a one-qubit gate is its angle.
    assert ops[3]["angle"] == pytest.approx(0.5 / math.pi * 180, abs=1e-3)


@pytest.mark.parametrize("name", ['a"b', "back\\slash", 'H","type":"X', "line\nbreak", "tab\t"])
def test_names_are_escaped(device, capfd, name):
    b = circuit(1, (name, [0]))
    capfd.readouterr()
    with pytest.raises(RuntimeError, match="^Task failed!$"):
        run(b, device, print_circuit=True)
    captured = capfd.readouterr()
    doc = json.loads(captured.out.split("\nConnect to server")[0])
    assert [op["type"] for op in doc["gates"]] == [name]
    assert "The task " in captured.err and " failed!" in captured.err


@pytest.mark.parametrize("mqubits, flags, keys", [
    ([1], "[0,1,0]", {"1"}),
    ([0, 0], "[1,0,0]", {"1"}),
    ((2, 1), "[0,1,1]", {"11"}),
    ([], "[0,0,0]", {""}),
])
def test_measure_flags_and_key_width(device, capfd, mqubits, flags, keys):
    b = circuit(3, ("X", [0]), ("X", [1]), ("X", [2]))
    capfd.readouterr()
    result = run(b, device, print_circuit=True, mqubits=mqubits)
    assert f'"measures":{flags}}}' in capfd.readouterr().out
    assert set(result.probabilities) == keys


@pytest.mark.parametrize("config", [{"port": 70000}, {"port": 55444.0}, {"ip": 5}, {"shots": 1.5},
                                    {"print_circuit": "yes"}, {"username": ["u"]}])
def test_configuration_cast_errors(config):
    with pytest.raises(RuntimeError, match="^Unable to cast Python instance"):
        b = circuit(1, ("H", [0]))
        kb.NMR().execute(b.capsule(), config)


def test_shots_only_change_counts(device):
    result = run(circuit(1, ("X", [0])), device, shots=100)
    assert result.probabilities == {"1": pytest.approx(1.0, abs=1e-9)}
    assert result.counts == {"1": 100}


def _qnum(value):
    b = circuit(2, ("H", [0]), ("CNOT", [0, 1]))
    b.graph()["qnum"] = value
    return b


def _with_definition(body, caller_params=(1.0,), caller_qubits=(0, 1)):
    b = CircuitBuilder()
    b.qreg(2)
    d = b.define("sub")
    body(d)
    b.call("sub", list(caller_qubits), params=list(caller_params))
    return b


def _recursive():
    b = CircuitBuilder()
    b.qreg(1)
    d = b.define("loop")
    d.call("loop", [0])
    b.call("loop", [0])
    return b


def _conditioned(add=lambda b, c: b.gate("X", [0], condition=c)):
    b = CircuitBuilder()
    b.qreg(1)
    b.creg(1)
    b.measure([0], [0])
    add(b, ([0], EQUAL, 1))
    return b


REFUSED = {
    "mqubits above qnum": (lambda: circuit(2, ("H", [0])), {"mqubits": [2]}, ValueError,
                           r'"mqubits" names qubit 2, outside \[0, 2\)'),
    "negative mqubits": (lambda: circuit(2, ("H", [0])), {"mqubits": [0, -1]}, ValueError,
                         r'"mqubits" names qubit -1'),
    "qnum zero": (lambda: _qnum(0), {}, ValueError, r'"qnum" is 0'),
    "qnum negative": (lambda: _qnum(-3), {"mqubits": [0]}, ValueError, r'"qnum" is -3'),
    "qnum huge": (lambda: _qnum(1e12), {}, ValueError, r'"qnum" is 1000000000000'),
    "qubit outside qnum": (lambda: _qnum(1), {}, ValueError,
                           r'operation "CNOT" acts on qubit 1, outside \[0, 1\)'),
    "undeclared qubit": (lambda: circuit(2, ("CNOT", [0, 5])), {}, ValueError,
                         r'lists qubits \[0, 5\] but its wires carry \[0\]'),
    "qubit twice": (lambda: circuit(2, ("CNOT", [1, 1])), {}, ValueError, "acts on qubit 1 more than once"),
    "angle not finite": (lambda: circuit(1, ("Rx", [0], [math.inf])), {}, ValueError,
                         r'the angle of operation "Rx" is inf'),
    "unknown definition": (lambda: _call_unknown(), {}, ValueError,
                           r'calls "nowhere", but no vertex defines it'),
    "position outside caller": (lambda: _with_definition(lambda d: d.gate("H", [2])), {}, ValueError,
                                r"qubit position 2 is outside the caller's 2 qubits"),
    "pindex outside caller": (
        lambda: _with_definition(lambda d: d.gate("Rx", [0], params=[lambda a: a], pindex=[3])), {},
        ValueError, r"\"pindex\" entry 3 is outside the caller's 1 parameters"),
    "pindex too short": (
        lambda: _with_definition(lambda d: d.gate("Rx", [0], params=[lambda a, c: a], pindex=[0])), {},
        RuntimeError, r"^vertex \d+ \(Rx\) in definition \"sub\".*: Something is wrong with callee parameters\. "
                      r"\"params\" item 0 takes 2 parameters"),
    "parameter function raises": (
        lambda: _with_definition(lambda d: d.gate("Rx", [0], params=[lambda a: a / 0], pindex=[0])), {},
        ZeroDivisionError, "division by zero"),
    "parameter function returns text": (
        lambda: _with_definition(lambda d: d.gate("Rx", [0], params=[lambda: "x"])), {},
        TypeError, r"returned <class 'str'>, not a number"),
    "parameter not a function": (
        lambda: _with_definition(lambda d: d.gate("Rx", [0], params=[math.sin], pindex=[0])), {},
        TypeError, r"\"params\" item 0 is not a Python function"),
    "calls nested too deep": (lambda: _nested(1000), {}, ValueError, "nested deeper than 1000 levels"),
    "vertex kind not finite": (lambda: _kind(math.nan), {}, ValueError,
                               '"type" nan is not a vertex kind'),
    "recursive definition": (_recursive, {}, ValueError, 'definition "loop" calls itself'),
    "conditioned gate": (_conditioned, {}, ValueError, "classically conditioned"),
    "conditioned measurement": (lambda: _conditioned(lambda b, c: b.measure([0], [0], condition=c)), {}, ValueError,
                                r'operation "MEASURE" is classically conditioned'),
    "conditioned reset": (lambda: _conditioned(lambda b, c: b.reset([0], condition=c)), {}, ValueError,
                          r'operation "RESET" is classically conditioned'),
    "loop limit": (lambda: _conditioned(lambda b, c: b.gate("LOOP_LIMIT", [], params=[9], condition=c)), {},
                   ValueError, r'operation "LOOP_LIMIT" is classically conditioned'),
    "store": (lambda: _conditioned(lambda b, c: b.store(0, 1)), {}, ValueError,
              r'operation "STORE": the NMR device keeps no classical bits'),
    "reset": (lambda: _reset(), {}, ValueError,
              r'^vertex 3 \(RESET\): operation "RESET": the NMR device cannot reset a qubit$'),
    "cyclic graph": (lambda: _cyclic(), {}, RuntimeError, "The graph has cycles"),
    "qnum missing": (lambda: _without_qnum(), {}, RuntimeError, 'graph attribute "qnum" is missing'),
    "NUL in password": (lambda: circuit(1, ("H", [0])), {"password": b"se\0cret"}, ValueError,
                        r'^configuration "password" contains a NUL character$'),
    "task name not UTF-8": (lambda: circuit(1, ("H", [0])), {"task_name": b"\xff"}, ValueError,
                            r'^configuration "task_name" is not valid UTF-8$'),
}


def _cyclic():
    b = circuit(2, ("H", [0]), ("CNOT", [0, 1]))
    g = b.graph()
    g.add_edge(g.vcount() - 1, g.vcount() - 2, qubit=0)
    return b


def _reset():
    b = circuit(1, ("H", [0]))
    b.reset([0])
    return b


def _without_qnum():
    b = circuit(1, ("H", [0]))
    del b.graph()["qnum"]
    return b


def _nested(depth):
    b = CircuitBuilder()
    b.qreg(1)
    for level in range(depth):
        b.define(f"d{level}").call(f"d{level + 1}", [0])
    b.define(f"d{depth}").gate("X", [0])
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, 4 * depth))  # the builder walks the chain recursively
    try:
        b.call("d0", [0])
    finally:
        sys.setrecursionlimit(limit)
    return b


def _kind(kind):
    b = CircuitBuilder()
    b.qreg(1)
    b.gate("X", [0], type=kind)
    return b


def _call_unknown():
    b = CircuitBuilder()
    b.qreg(1)
    b.call("nowhere", [0])
    return b


@pytest.mark.parametrize("case", REFUSED)
def test_refused_before_connecting(case, capfd):
    make, config, error, message = REFUSED[case]
    # A port where nothing listens: connecting would fail differently.
    builder = make()  # keeps the graph alive while the capsule is used
    with pytest.raises(error, match=message):
        kb.NMR().execute(builder.capsule(), {"port": closed_port(), **config})
    captured = capfd.readouterr()
    assert "Connect to server" not in captured.out + captured.err


def test_deep_but_finite_nesting(device):
    assert run(_nested(200), device).probabilities == {"1": pytest.approx(1.0, abs=1e-12)}


def test_gate_without_wires_or_too_many_is_skipped(device, capfd):
    b = circuit(3, ("X", [0]), ("BARRIER", []))
    ops = json.loads(document(b, device, capfd))["gates"]
    assert [op["type"] for op in ops] == ["X"]


def test_measurement_operation_runs_on_the_emulator(device):
    b = CircuitBuilder()
    b.qreg(2)
    b.creg(2)
    b.gate("H", [0])
    b.gate("CNOT", [0, 1])
    b.measure([1], [1])
    result = run(b, device)
    assert_close(result.probabilities, {"00": 0.5, "11": 0.5}, 1e-9)
    assert_close(result.probabilities, {k: p for k, p in simulator(b, {}).items() if p > 1e-10}, 1e-9)


def test_credentials_never_printed(capfd):
    with emulator("--user", "alice", "--password", "s3cr3t-pw") as d:
        b = circuit(1, ("H", [0]))
        ok = kb.NMR().execute(b.capsule(), d.config(username="alice", password="s3cr3t-pw",
                                                    print_circuit=True))
        assert set(ok.probabilities) == {"0", "1"}
        with pytest.raises(RuntimeError) as refused:
            kb.NMR().execute(b.capsule(), d.config(username="alice", password="wr0ng-pw"))
    captured = capfd.readouterr()
    assert str(refused.value) == "Login failed!"
    for secret in ("s3cr3t-pw", "wr0ng-pw"):
        assert secret not in captured.out + captured.err


def test_four_qubits_refused_after_login(device, capfd):
    b = circuit(4, ("H", [0]))
    capfd.readouterr()
    with pytest.raises(RuntimeError, match=r"^Currently the quantum computer supports no more than 3 qubits\.$"):
        run(b, device)
    captured = capfd.readouterr()
    assert "Connect to server successfully!\n" in captured.out
    assert captured.err.endswith("Currently the quantum computer supports no more than 3 qubits.\n")


def test_exponential_expansion_is_cut_off_before_connecting():
    # Each definition calls the one below twice: 2^39 gates unless cut off
    # at the simulator's limit on expanded definition-body vertices.
    b = CircuitBuilder()
    b.qreg(1)
    b.define("d0").gate("X", [0])
    for level in range(1, 40):
        d = b.define(f"d{level}")
        d.call(f"d{level - 1}", [0])
        d.call(f"d{level - 1}", [0])
    b.call("d39", [0])
    with pytest.raises(ValueError, match=f"expand to more than {2 ** 22} definition-body vertices"):
        kb.NMR().execute(b.capsule(), {"port": closed_port()})


@pytest.mark.parametrize("depth, calls, before", [(20, 1, 0), (17, 2, 2 ** 17)])
def test_expansions_past_the_line_limit_are_counted_not_built(depth, calls, before):
    # Within the vertex limit, but 2^depth operations per call take more than
    # the device's 16 MiB line: refused by counting, naming the call that
    # passes the limit and the operations the task holds before it.
    b = CircuitBuilder()
    b.qreg(1)
    b.define("d0").gate("X", [0])
    for level in range(1, depth + 1):
        d = b.define(f"d{level}")
        d.call(f"d{level - 1}", [0])
        d.call(f"d{level - 1}", [0])
    for _ in range(calls):
        b.call(f"d{depth}", [0])
    earlier = f" after {before} operations before it" if before else ""
    with pytest.raises(ValueError, match=f'^call of definition "d{depth}" expands to {2 ** depth} device '
                                         f'operations{earlier}: the task message would take at least'):
        kb.NMR().execute(b.capsule(), {"port": closed_port()})


@pytest.mark.parametrize("register_type, gates", [(4, ["X"]), (4.0, ["X"]), (4.5, [])])
def test_register_declarations_are_read_as_the_simulator_reads_them(device, capfd, register_type, gates):
    # A "type" of 4.5 names no vertex kind: no main circuit hangs from it,
    # as the simulator finds no sub-circuit there.
    b = circuit(1, ("X", [0]))
    b.graph().vs.find(type=4)["type"] = register_type
    doc = json.loads(document(b, device, capfd))
    assert [op["type"] for op in doc["gates"]] == gates
