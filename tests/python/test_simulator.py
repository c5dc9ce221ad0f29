"""BasicSimulator end to end on graphs built like a front end builds them."""
import json
import math

import numpy as np
import pytest

import kovra_backends as kb
from fuzz_support import Reference, assert_close, keyed
from kovra.builder import EQUAL, GREATER, NOT_EQUAL, CircuitBuilder, capsule_of

# The independent dense simulator of the property-based tests (qubit 0 = most
# significant bit of the index), used here for unitary circuits.

S2 = 1 / math.sqrt(2)


def reference_state(n, gates):
    """gates: (name, local qubits, angle or None)."""
    reference = Reference(n, 0)
    for name, qubits, angle in gates:
        reference.gate(name, qubits, angle)
    return reference.state()


def run(builder, **config):
    return kb.BasicSimulator().execute(builder.capsule(), config)


def printed_layers(capfd, builder, **config):
    run(builder, print_circuit=True, **config)
    text = capfd.readouterr().out
    circuit = json.loads(text)
    assert circuit["circuit number"] == len(circuit["circuit"])
    return [
        [(g["gate name"], g["qubit"], g["qubit2"], g["angle"]) for g in layer["circuit unit"]]
        for layer in circuit["circuit"]
    ]


# --------------------------------------------------------------------------


@pytest.mark.parametrize("n", [2, 3, 5])
def test_ghz(n):
    b = CircuitBuilder()
    q = b.qreg(n)
    b.gate("H", [q[0]])
    for a, c in zip(q, q[1:]):
        b.gate("CNOT", [a, c])
    r = run(b)
    assert list(r.probabilities) == ["0" * n, "1" * n]
    assert_close(r.probabilities, {"0" * n: 0.5, "1" * n: 0.5}, 1e-9)
    expected = np.zeros(2**n)
    expected[[0, -1]] = S2
    assert np.allclose(r.states, expected, atol=1e-12)
    assert r.counts == {"0" * n: 512, "1" * n: 512}


GATE_POOL = [
    ("H", 1), ("X", 1), ("Y", 1), ("Z", 1), ("X90", 1), ("Y90", 1), ("Z90", 1),
    ("S", 1), ("Sd", 1), ("T", 1), ("Td", 1), ("Rx", 1), ("Ry", 1), ("Rz", 1), ("P", 1),
    ("CNOT", 2), ("YCON", 2), ("ZCON", 2), ("CCX", 3),
]


@pytest.mark.parametrize("seed", range(8))
@pytest.mark.parametrize("parallel", [False, True])
def test_random_circuits_match_reference(seed, parallel):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(3, 7))
    b = CircuitBuilder()
    # Two registers, the second at a graph-level offset: local numbering is
    # dense in declaration order.
    split = int(rng.integers(1, n))
    graph_qubits = b.qreg(split) + b.qreg(n - split, first=10)
    gates = []
    for _ in range(40):
        name, k = GATE_POOL[rng.integers(len(GATE_POOL))]
        local = [int(x) for x in rng.choice(n, size=k, replace=False)]
        angle = float(rng.uniform(-15, 15)) if name in ("Rx", "Ry", "Rz", "P") else None
        b.gate(name, [graph_qubits[i] for i in local], params=[angle] if angle is not None else None)
        gates.append((name, local, angle))
    r = run(b, parallel=parallel)
    psi = reference_state(n, gates)
    assert_close(r.probabilities, keyed(np.abs(psi) ** 2, n))
    assert sum(r.probabilities.values()) == pytest.approx(1, abs=1e-9)
    # The state vector agrees up to a global phase.
    states = np.array(r.states)
    phase = np.vdot(states, psi)
    assert abs(abs(phase) - 1) < 1e-7
    assert np.allclose(states * phase, psi, atol=1e-7)


def teleportation(theta):
    """Teleports Ry(theta)|0> from qubit 0 to qubit 2."""
    b = CircuitBuilder()
    q = b.qreg(3)
    c = b.creg(2)
    b.gate("Ry", [q[0]], params=[theta])
    b.gate("H", [q[1]])
    b.gate("CNOT", [q[1], q[2]])
    b.gate("CNOT", [q[0], q[1]])
    b.gate("H", [q[0]])
    b.measure([q[0], q[1]], [c[0], c[1]])
    b.gate("X", [q[2]], condition=([c[1]], EQUAL, 1))
    b.gate("Z", [q[2]], condition=([c[0]], EQUAL, 1))
    return b


@pytest.mark.parametrize("theta", [0.0, 0.7, math.pi / 2, 2.5, -1.1])
def test_teleportation_branch_probabilities(theta):
    r = run(teleportation(theta))
    zero, one = math.cos(theta / 2) ** 2, math.sin(theta / 2) ** 2
    expected = {}
    for m in ("00", "01", "10", "11"):
        expected[m + "0"] = zero / 4
        expected[m + "1"] = one / 4
    expected = {k: v for k, v in expected.items() if v > 1e-10}
    assert_close(r.probabilities, expected)
    assert r.states == []  # the run measured
    marginal = run(teleportation(theta), mqubits=[2]).probabilities
    assert_close(marginal, {k: v for k, v in {"0": zero, "1": one}.items() if v > 1e-10})


@pytest.mark.parametrize(
    "relation, constant, applies",
    [(EQUAL, 2, [2]), (NOT_EQUAL, 2, [0, 1, 3]), (GREATER, 1, [2, 3])],
)
def test_condition_on_two_bits(relation, constant, applies):
    # Both qubits in superposition and measured; X on qubit 2 only in the
    # branches whose value c1 c0 (c1 most significant) satisfies the relation.
    b = CircuitBuilder()
    q = b.qreg(3)
    c = b.creg(2)
    b.gate("H", [q[0]])
    b.gate("H", [q[1]])
    b.measure([q[0], q[1]], [c[0], c[1]])
    b.gate("X", [q[2]], condition=([c[0], c[1]], relation, constant))
    r = run(b)
    expected = {}
    for q0 in (0, 1):
        for q1 in (0, 1):
            value = 2 * q1 + q0
            expected[f"{q0}{q1}{int(value in applies)}"] = 0.25
    assert_close(r.probabilities, expected)


def test_register_renumbering(capfd):
    b = CircuitBuilder()
    b.qreg(2, first=0)
    b.qreg(1, first=5)
    b.gate("X", [5])
    layers = printed_layers(capfd, b)
    assert layers == [[("I", 0, 65535, -1), ("I", 1, 65535, -1), ("X", 2, 65535, -1)]]
    assert run(b).probabilities == {"001": 1.0}


def test_asap_layers(capfd):
    b = CircuitBuilder()
    b.qreg(2)
    b.gate("H", [0])
    b.gate("CNOT", [0, 1])
    b.gate("X", [1])
    assert printed_layers(capfd, b) == [
        [("H", 0, 65535, -1), ("I", 1, 65535, -1)],
        [("CNOT", 0, 1, -1)],
        [("I", 0, 65535, -1), ("X", 1, 65535, -1)],
    ]


def test_multi_qubit_record_sits_in_the_longest_lane(capfd):
    b = CircuitBuilder()
    b.qreg(2)
    b.gate("H", [0])
    b.gate("CNOT", [1, 0])  # lane 0 is longer: the record goes there
    assert printed_layers(capfd, b) == [
        [("H", 0, 65535, -1), ("I", 1, 65535, -1)],
        [("CNOT", 1, 0, -1)],
    ]


def test_measurement_is_a_barrier(capfd):
    b = CircuitBuilder()
    b.qreg(3)
    b.creg(1)
    b.gate("X", [0])
    b.measure([0], [0])
    # Conditioned on the measured bit, so that it follows the measurement in
    # the graph's order; without the barrier it would fit into layer 0.
    b.gate("H", [1], condition=([0], EQUAL, 0))
    assert printed_layers(capfd, b) == [
        [("X", 0, 65535, -1), ("I", 1, 65535, -1), ("I", 2, 65535, -1)],
        [("MEASURE", 0, 65535, -1), ("I", 1, 65535, -1), ("I", 2, 65535, -1)],
        [("H", 1, 65535, -1), ("I", 2, 65535, -1)],
    ]


@pytest.mark.parametrize("bit, expected", [(1, "101"), (0, "100")])
def test_measurement_pairs_qubits_with_clbits_in_order(bit, expected):
    b = CircuitBuilder()
    b.qreg(3)
    b.creg(2)
    b.gate("X", [0])
    b.measure([0, 1], [1, 0])  # qubit 0 -> c1, qubit 1 -> c0
    b.gate("X", [2], condition=([bit], EQUAL, 1))
    assert run(b).probabilities == {expected: 1.0}


@pytest.mark.parametrize(
    "radians, degrees",
    [(-math.pi / 2, 630), (2 * math.pi, 360), (4 * math.pi, 0), (math.pi / 8, 22.5)],
)
def test_angles_become_degrees(capfd, radians, degrees):
    b = CircuitBuilder()
    b.qreg(1)
    b.gate("Rx", [0], params=[radians])
    [[(name, _, _, angle)]] = printed_layers(capfd, b)
    assert name == "Rx" and angle == pytest.approx(degrees, abs=1e-9)


@pytest.mark.parametrize("then, expected", [
    # The outcome 1 is copied to a record qubit; X brings the qubit back to 0.
    (lambda b: b.gate("X", [0], condition=([0], EQUAL, 1)), {"0": 1.0}),
    (lambda b: b.measure([0], [0]), {"1": 1.0}),
    (lambda b: b.reset([0]), {"0": 1.0}),
])
def test_a_measured_qubit_can_be_used_again(then, expected):
    b = CircuitBuilder()
    b.qreg(1)
    b.creg(1)
    b.gate("X", [0])
    b.measure([0], [0])
    then(b)
    result = run(b)
    assert result.probabilities == expected
    assert list(result.states) == []


def test_reset_of_a_qubit_nothing_touched_keeps_the_state_pure():
    b = CircuitBuilder()
    b.qreg(2)
    b.reset([1])
    b.gate("H", [0])
    assert len(run(b).states) == 4


@pytest.mark.parametrize(
    "mqubits, expected",
    [
        (None, {"000": 1 / 8}),
        ([1, 0, 1], {"00": 1 / 4}),
        ((2,), {"0": 1 / 2}),
        (range(3), {"000": 1 / 8}),
    ],
)
def test_marginals_and_residual(mqubits, expected):
    b = CircuitBuilder()
    b.qreg(3)
    for q in range(3):
        b.gate("H", [q])
    config = {} if mqubits is None else {"mqubits": mqubits}
    probabilities = run(b, **config).probabilities
    width = len(next(iter(expected)))
    keys = [format(i, f"0{width}b") if width else "" for i in range(2**width)]
    assert list(probabilities) == keys
    share = next(iter(expected.values()))
    for key in keys[:-1]:
        assert probabilities[key] == pytest.approx(share, abs=1e-9)
    # The greatest key takes up whatever the kept entries fall short of 1.
    assert math.fsum(probabilities.values()) == pytest.approx(1, abs=1e-15)


def test_three_superposed_qubits_push_the_shortfall_into_the_last_key():
    b = CircuitBuilder()
    b.qreg(3)
    for q in range(3):
        b.gate("H", [q])
    p = run(b).probabilities
    each = (0.707106781173095**2) ** 3
    assert p["000"] == pytest.approx(each, abs=1e-16)
    assert 1 - 8 * each > 1e-10
    assert p["111"] - p["000"] == pytest.approx(1 - 8 * each, abs=1e-15)
    assert p["111"] > p["000"]


def two_circuits(first_qubits=1, second_qubits=2):
    b = CircuitBuilder()
    b.qreg(first_qubits)
    b.gate("H", [0])
    q = b.qreg(second_qubits)
    b.gate("X", [q[0]])
    if second_qubits > 1:
        b.gate("CNOT", [q[0], q[1]])
    return b


def test_parallel_reports_the_first_sub_circuit():
    b = two_circuits()
    seq = run(b)
    par = run(b, parallel=True)
    assert_close(seq.probabilities, {"011": 0.5, "111": 0.5}, 1e-9)
    assert_close(par.probabilities, {"0": 0.5, "1": 0.5}, 1e-9)
    assert np.allclose(par.states, [S2, S2])


def test_parallel_without_qubits_returns_an_empty_result():
    b = CircuitBuilder()
    b.creg(2)
    r = run(b, parallel=True, shots=10)
    assert r.probabilities == {} and r.states == [] and r.counts == {}


def test_parallel_matches_sequential_on_one_circuit():
    b = teleportation(1.3)
    assert_close(run(b, parallel=True).probabilities, run(b).probabilities, 1e-15)


def test_vertices_outside_every_sub_circuit_are_not_simulated():
    b = CircuitBuilder()
    b.qreg(1)
    b.gate("X", [0])
    g = b.graph()
    g.add_vertices(1)
    g.vs[g.vcount() - 1]["type"] = 0
    g.vs[g.vcount() - 1]["name"] = "NotAGate"  # never lowered
    assert kb.BasicSimulator().execute(capsule_of(g), {}).probabilities == {"1": 1.0}


def test_bad_shots_are_reported_after_printing(capfd):
    b = CircuitBuilder()
    b.qreg(1)
    b.gate("H", [0])
    with pytest.raises(RuntimeError, match="Unable to cast"):
        run(b, print_circuit=True, shots=2.5)
    assert '"gate name" : "H"' in capfd.readouterr().out


def test_shots_set_the_counts():
    b = CircuitBuilder()
    b.qreg(2)
    b.gate("H", [0])
    b.gate("CNOT", [0, 1])
    assert run(b, shots=3).counts == {"00": 2, "11": 1}


def test_a_condition_reads_the_bit_before_a_later_measurement_writes_it():
    b = CircuitBuilder()
    b.qreg(2)
    b.creg(1)
    b.gate("H", [1])
    b.gate("H", [1])
    b.gate("X", [0])
    # Reads c0 while it still holds 0; the measurement below comes later.
    b.gate("X", [1], condition=([0], EQUAL, 0))
    b.measure([0], [0])
    assert_close(run(b).probabilities, {"11": 1.0}, 1e-9)


def test_the_documented_examples_run():
    import os
    import re

    doc = os.path.join(os.path.dirname(__file__), "..", "..", "docs", "graph_format.md")
    blocks = re.findall(r"```python\n(.*?)```", open(doc).read(), re.S)
    # Rx(0.2) Ry(1.2) |0> on the teleported qubit.
    one = math.sin(0.1) ** 2 * math.cos(0.6) ** 2 + math.cos(0.1) ** 2 * math.sin(0.6) ** 2
    scope = {}
    for code in blocks[1:]:  # the second block continues the first
        scope.pop("result", None)
        exec(code, scope)
        assert_close(scope["result"].probabilities, {"0": 1 - one, "1": one}, 1e-7)


@pytest.mark.parametrize("parallel", [False, True])
def test_float_vertex_types_are_accepted(parallel):
    b = two_circuits()
    g = b.graph()
    g.vs["type"] = [None if t is None else float(t) for t in g.vs["type"]]
    expected = {"0": 0.5, "1": 0.5} if parallel else {"011": 0.5, "111": 0.5}
    assert_close(run(b, parallel=parallel).probabilities, expected, 1e-9)


def test_parallel_prints_every_sub_circuit(capfd):
    run(two_circuits(), parallel=True, print_circuit=True)
    out = capfd.readouterr().out
    # One JSON text per line-separated circuit, in either order.
    texts = ["{" + t if not t.startswith("{") else t for t in out.strip().split("\n}\n")]
    circuits = [json.loads(t if t.endswith("}") else t + "\n}") for t in texts]
    assert sorted(c["qubit number"] for c in circuits) == [1, 2]
