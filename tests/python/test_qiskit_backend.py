"""KovraBackend against Qiskit Aer: exact probabilities on library circuits,
key order over classical registers, conditions, sampling, and refusals."""

import collections
import random

import numpy as np
import pytest

qiskit = pytest.importorskip("qiskit")
qiskit_aer = pytest.importorskip("qiskit_aer")

from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister  # noqa: E402
from qiskit.circuit import Gate, Parameter  # noqa: E402
from qiskit.circuit.classical import expr  # noqa: E402
from qiskit.circuit.library import QFTGate, efficient_su2, quantum_volume  # noqa: E402

from qiskit.result.postprocess import format_counts_memory  # noqa: E402

from fuzz_support import Reference  # noqa: E402
from kovra.builder import EQUAL  # noqa: E402
from kovra.qiskit import KovraBackend, UnsupportedInstructionError  # noqa: E402

BACKEND = KovraBackend()
AER = qiskit_aer.AerSimulator(method="statevector")


def aer_probabilities(circuit, measured_pairs):
    """Aer's exact probabilities of the measured bits, keyed as counts are,
    for a circuit whose measurements `measured_pairs` (qubit, clbit) are all
    at the end (they are replaced by reading Aer's final probabilities)."""
    unmeasured = circuit.remove_final_measurements(inplace=False)
    unmeasured.save_probabilities_dict()
    values = AER.run(qiskit.transpile(unmeasured, AER), shots=1).result().data(0)["probabilities"]
    out = collections.defaultdict(float)
    for index, p in values.items():
        index = int(index, 16) if isinstance(index, str) else int(index)
        clbits = 0
        for qubit, clbit in measured_pairs:
            clbits |= ((index >> qubit) & 1) << clbit
        out[_key(circuit, clbits)] += p
    return dict(out)


def _key(circuit, value):
    header = {"memory_slots": circuit.num_clbits, "creg_sizes": [[r.name, r.size] for r in circuit.cregs]}
    return format_counts_memory(hex(value), header)


def assert_same_distribution(got, expected, tolerance=1e-7):
    keys = set(got) | {k for k, p in expected.items() if p > 1e-10}
    worst = max(abs(got.get(k, 0.0) - expected.get(k, 0.0)) for k in keys)
    assert worst <= tolerance, f"probabilities differ by {worst}"


def measured_all(body):
    circuit = body.copy()
    circuit.measure_all()
    return circuit, [(q, q) for q in range(body.num_qubits)]


def qft(n):
    circuit = QuantumCircuit(n)
    rng = np.random.default_rng(n)
    for q in range(n):
        circuit.ry(rng.uniform(0, np.pi), q)
        circuit.rz(rng.uniform(0, np.pi), q)
    circuit.append(QFTGate(n), range(n))
    return circuit


def ghz(n):
    circuit = QuantumCircuit(n)
    circuit.h(0)
    for q in range(1, n):
        circuit.cx(q - 1, q)
    return circuit


def su2(n):
    ansatz = efficient_su2(n, reps=2)
    return ansatz.assign_parameters(np.random.default_rng(3).uniform(-np.pi, np.pi, ansatz.num_parameters))


LIBRARY = {
    "qft6": lambda: qft(6),
    "qft9": lambda: qft(9),
    "quantum_volume5": lambda: quantum_volume(5, seed=11),
    "quantum_volume8": lambda: quantum_volume(8, seed=12),
    "ghz7": lambda: ghz(7),
    "efficient_su2_6": lambda: su2(6),
}


@pytest.mark.parametrize("name", sorted(LIBRARY))
def test_library_circuits_match_aer(name):
    circuit, pairs = measured_all(LIBRARY[name]())
    assert_same_distribution(BACKEND.probabilities(circuit), aer_probabilities(circuit, pairs))


def teleportation(angles):
    """Teleports Ry/Rz(angles)|0> from qubit 0 to qubit 2, corrected by
    if_test on the two measured bits, then measures qubit 2."""
    q, m, out = QuantumRegister(3, "q"), ClassicalRegister(2, "m"), ClassicalRegister(1, "out")
    circuit = QuantumCircuit(q, m, out)
    circuit.ry(angles[0], 0)
    circuit.rz(angles[1], 0)
    circuit.h(1)
    circuit.cx(1, 2)
    circuit.cx(0, 1)
    circuit.h(0)
    circuit.measure(0, m[0])
    circuit.measure(1, m[1])
    with circuit.if_test((m[1], 1)):
        circuit.x(2)
    with circuit.if_test((m[0], 1)):
        circuit.z(2)
    circuit.measure(2, out[0])
    return circuit


def deferred_teleportation(angles):
    """The same with the corrections quantum-controlled (principle of
    deferred measurement): the same joint distribution of the bits."""
    circuit = QuantumCircuit(QuantumRegister(3, "q"), ClassicalRegister(2, "m"), ClassicalRegister(1, "out"))
    circuit.ry(angles[0], 0)
    circuit.rz(angles[1], 0)
    circuit.h(1)
    circuit.cx(1, 2)
    circuit.cx(0, 1)
    circuit.h(0)
    circuit.cx(1, 2)
    circuit.cz(0, 2)
    circuit.measure([0, 1, 2], [0, 1, 2])
    return circuit


@pytest.mark.parametrize("angles", [(0.0, 0.0), (1.1, 0.3), (np.pi, 2.0), (2.5, -1.2)])
def test_teleportation_with_if_test_matches_aer(angles):
    expected = aer_probabilities(deferred_teleportation(angles), [(0, 0), (1, 1), (2, 2)])
    got = BACKEND.probabilities(teleportation(angles))
    assert_same_distribution(got, expected)
    # The teleported qubit reads 1 with sin^2(theta/2), whatever was measured.
    ones = sum(p for key, p in got.items() if key.startswith("1 "))
    assert ones == pytest.approx(np.sin(angles[0] / 2) ** 2, abs=1e-7)


def scattered_registers():
    """Two registers, one made of bits in descending order, and a bit that
    is measured twice."""
    loose = [qiskit.circuit.Clbit() for _ in range(4)]
    a = ClassicalRegister(bits=[loose[3], loose[0]], name="a")
    b = ClassicalRegister(bits=[loose[1], loose[2]], name="b")
    circuit = QuantumCircuit(QuantumRegister(5, "q"), loose, a, b)
    return circuit


@pytest.mark.parametrize("flips", [(0,), (1, 3), (0, 2, 4), (0, 1, 2, 3, 4)])
def test_counts_keys_follow_qiskits_register_order(flips):
    circuit = scattered_registers()
    for q in flips:
        circuit.x(q)
    circuit.measure([0, 1, 2, 3], [2, 0, 3, 1])
    circuit.measure(4, 2)  # bit 2 written again: the later value counts
    ours = BACKEND.run(circuit, shots=64, seed_simulator=1).result().get_counts()
    theirs = AER.run(circuit, shots=64, seed_simulator=1).result().get_counts()
    assert ours == theirs


@pytest.mark.parametrize("value", range(4))
@pytest.mark.parametrize("else_branch", [False, True])
def test_register_conditions_read_the_register_value(value, else_branch):
    # Register r = (bit 2, bit 0), its bit 0 being clbit 2: the value's bits
    # must be matched to the right clbits.
    q = QuantumRegister(4, "q")
    bits = [qiskit.circuit.Clbit() for _ in range(3)]
    r = ClassicalRegister(bits=[bits[2], bits[0]], name="r")
    out = ClassicalRegister(1, "out")
    for prepared in range(4):
        circuit = QuantumCircuit(q, bits, r, out)
        if prepared & 1:
            circuit.x(0)
        if prepared & 2:
            circuit.x(1)
        circuit.measure([0, 1], [bits[2], bits[0]])
        with circuit.if_test((r, value)) as otherwise:
            circuit.x(3)
        if else_branch:
            with otherwise:
                circuit.h(2)
                circuit.cx(2, 3)
        circuit.measure(3, out[0])
        ours = BACKEND.probabilities(circuit)
        theirs = AER.run(circuit, shots=2000, seed_simulator=3).result().get_counts()
        assert set(ours) == set(theirs), (prepared, ours, theirs)


def test_sampled_counts_are_seeded_and_fit_the_distribution():
    circuit, pairs = measured_all(quantum_volume(4, seed=5))
    shots = 20000
    first = BACKEND.run(circuit, shots=shots, seed_simulator=1234, memory=True).result()
    again = BACKEND.run(circuit, shots=shots, seed_simulator=1234).result()
    assert first.get_counts() == again.get_counts()
    assert dict(collections.Counter(first.get_memory())) == first.get_counts()
    assert sum(first.get_counts().values()) == shots
    expected = aer_probabilities(circuit, pairs)
    # Pearson's statistic over the 16 outcomes (15 degrees of freedom)
    # stays below 37.7 with probability 0.999; the seed fixes the draw.
    counts = first.get_counts()
    chi2 = sum((counts.get(k, 0) - p * shots) ** 2 / (p * shots) for k, p in expected.items())
    assert chi2 < 37.7
    # Aer's own sample of the same size agrees with ours in total variation.
    aer = AER.run(circuit, shots=shots, seed_simulator=1234).result().get_counts()
    distance = sum(abs(counts.get(k, 0) - aer.get(k, 0)) for k in set(counts) | set(aer)) / (2 * shots)
    assert distance < 0.03


def test_a_job_of_several_circuits_keeps_their_order():
    circuits = [measured_all(ghz(n))[0] for n in (2, 3, 4)]
    result = BACKEND.run(circuits, shots=100, seed_simulator=2).result()
    for n, counts in zip((2, 3, 4), result.get_counts()):
        assert set(counts) <= {"0" * n, "1" * n} and sum(counts.values()) == 100


def test_a_circuit_without_measurements_has_no_counts_as_on_aer():
    result = BACKEND.run(ghz(3), shots=10).result()
    with pytest.raises(qiskit.exceptions.QiskitError):
        result.get_counts()


def _endless_loop():
    c = QuantumCircuit(1, 1)
    c.measure(0, 0)
    with c.while_loop((c.clbits[0], 0)):
        c.measure(0, 0)
    return c


def _expression():
    c = QuantumCircuit(2, 2)
    c.measure(0, 0)
    with c.if_test(expr.logic_and(c.clbits[0], c.clbits[1])):
        c.x(1)
    return c


def _opaque():
    c = QuantumCircuit(1)
    c.append(Gate("mystery", 1, []), [0])
    return c


def _nested_if():
    c = QuantumCircuit(2, 2)
    c.measure(0, 0)
    with c.if_test((c.clbits[0], 1)):
        with c.if_test((c.clbits[1], 0)):
            c.x(1)
    return c


def _unbound():
    c = QuantumCircuit(1)
    c.rx(Parameter("theta"), 0)
    return c


@pytest.mark.parametrize(
    "make, error, name",
    [
        (_endless_loop, RuntimeError, "while loop .* still loops with probability 1 after 1000 iterations"),
        (_opaque, UnsupportedInstructionError, "mystery"),
        (_unbound, ValueError, "theta"),
    ],
)
def test_unsupported_instructions_are_refused_by_name(make, error, name):
    with pytest.raises(error, match=name):
        BACKEND.run(make(), shots=10)


def _unrolled(loop):
    """The circuit `loop(c, values)` builds, once with a for loop and once
    with the loop written out."""
    looped, flat = QuantumCircuit(3, 3), QuantumCircuit(3, 3)
    with looped.for_loop(range(4)) as i:
        loop(looped, i)
    for i in range(4):
        loop(flat, i)
    for c in (looped, flat):
        c.measure([0, 1, 2], [0, 1, 2])
    return looped, flat


def _rotations(c, i):
    c.rx(0.4 * i + 0.1, 0)
    c.cx(0, 1)


def _measure_and_correct(c, i):
    c.ry(0.7 + 0.2 * i, 0)
    c.measure(0, 0)
    with c.if_test((c.clbits[0], 1)):
        c.x(1)
        c.cx(1, 2)


def _nested(c, i):
    with c.for_loop(range(2)) as j:
        c.rz(0.3 * j - 0.2 * i, 2)
        c.h(2)


@pytest.mark.parametrize("loop", [_rotations, _measure_and_correct, _nested])
def test_for_loops_run_as_their_unrolled_circuits(loop):
    looped, flat = _unrolled(loop)
    assert BACKEND.probabilities(looped) == pytest.approx(BACKEND.probabilities(flat), abs=1e-12)


def test_a_loop_too_long_to_unroll_is_refused():
    c = QuantumCircuit(1)
    with c.for_loop(range(10**7)):
        c.x(0)
    with pytest.raises(UnsupportedInstructionError, match="unrolls to more than"):
        BACKEND.probabilities(c)


def _prepared():
    """Three qubits put in superposition, two of them measured into c."""
    c = QuantumCircuit(QuantumRegister(3), ClassicalRegister(2, "c"), ClassicalRegister(1, "out"))
    c.ry(1.1, 0)
    c.ry(0.6, 1)
    c.cx(0, 2)
    c.measure([0, 1], [0, 1])
    return c


def _by_register(values_and_gates):
    """The reference: a plain if_test on the register's value per value."""
    c = _prepared()
    for value, gate in values_and_gates:
        with c.if_test((c.cregs[0], value)):
            gate(c)
    return c


def _nested_if_and_else(c):
    with c.if_test((c.clbits[0], 1)) as otherwise:
        with c.if_test((c.clbits[1], 0)):
            c.x(2)
    with otherwise:
        c.h(2)


def _logic_expression(c):
    with c.if_test(expr.logic_or(expr.logic_and(c.clbits[0], c.clbits[1]), expr.logic_not(c.clbits[0]))):
        c.rx(0.9, 2)


def _switch(c):
    with c.switch(c.cregs[0]) as case:
        with case(0):
            c.x(2)
        with case(1, 2):
            c.h(2)
        with case(case.DEFAULT):
            c.ry(0.4, 2)


CONDITIONS = [
    # c is (c1 c0): bit 0 least significant.
    (_nested_if_and_else, [(1, lambda c: c.x(2)), (0, lambda c: c.h(2)), (2, lambda c: c.h(2))]),
    (_logic_expression, [(3, lambda c: c.rx(0.9, 2)), (0, lambda c: c.rx(0.9, 2)), (2, lambda c: c.rx(0.9, 2))]),
    (_switch, [(0, lambda c: c.x(2)), (1, lambda c: c.h(2)), (2, lambda c: c.h(2)), (3, lambda c: c.ry(0.4, 2))]),
]


@pytest.mark.parametrize("conditioned, reference", CONDITIONS, ids=["nested", "expression", "switch"])
def test_compound_conditions_act_as_their_values_one_by_one(conditioned, reference):
    c = _prepared()
    conditioned(c)
    expected = _by_register(reference)
    for circuit in (c, expected):
        circuit.measure(2, 2)
    assert BACKEND.probabilities(c) == pytest.approx(BACKEND.probabilities(expected), abs=1e-12)


def test_reset_before_use_and_initialize_run():
    c = QuantumCircuit(2, 2)
    c.initialize([0, 1], 0)  # a reset, then the preparation of |1>
    c.reset(1)
    c.measure([0, 1], [0, 1])
    assert BACKEND.probabilities(c) == pytest.approx({"01": 1.0})


def test_only_circuits_are_run():
    with pytest.raises(TypeError, match="QuantumCircuit"):
        BACKEND.run(["OPENQASM 2.0;"])


@pytest.mark.parametrize("shots", [-1, 1.5, True, "10"])
def test_bad_shots_are_refused(shots):
    with pytest.raises(ValueError, match="shots"):
        BACKEND.run(measured_all(ghz(2))[0], shots=shots)


def test_final_measurements_do_not_split_the_run():
    # Twenty measurements read off one state vector; split into branches
    # they would need 2^20 state vectors.
    circuit, _ = measured_all(ghz(20))
    assert BACKEND.probabilities(circuit) == pytest.approx({"0" * 20: 0.5, "1" * 20: 0.5})


def test_a_reset_inside_if_test_acts_only_where_the_test_holds():
    c = QuantumCircuit(1, 2)
    c.h(0)
    c.measure(0, 0)
    with c.if_test((c.clbits[0], 1)):
        c.reset(0)
    c.measure(0, 1)
    assert BACKEND.probabilities(c) == pytest.approx({"00": 0.5, "01": 0.5}, abs=1e-10)


def random_dynamic_circuit(seed, n=3, nbits=3, length=16):
    """A random circuit that measures, reuses and resets qubits and
    conditions gates on bits, with the same circuit in the numpy reference
    (a reset there: a measurement into a scratch bit, then X where it read 1)."""
    rng = random.Random(seed)
    circuit, reference = QuantumCircuit(n, nbits), Reference(n, nbits + 1)
    for _ in range(length):
        kind, q = rng.random(), rng.randrange(n)
        if kind < 0.2:
            c = rng.randrange(nbits)
            circuit.measure(q, c)
            reference.measure(q, c)
        elif kind < 0.3:
            circuit.reset(q)
            reference.measure(q, nbits)
            reference.gate("X", [q], condition=([nbits], EQUAL, 1))
        elif kind < 0.45:
            c, value = rng.randrange(nbits), rng.randrange(2)
            with circuit.if_test((circuit.clbits[c], value)):
                circuit.x(q)
            reference.gate("X", [q], condition=([c], EQUAL, value))
        elif kind < 0.6:
            a, b = rng.sample(range(n), 2)
            circuit.cx(a, b)
            reference.gate("CNOT", [a, b])
        else:
            theta = rng.uniform(-3, 3)
            circuit.ry(theta, q)
            reference.gate("Ry", [q], theta)
    return circuit, reference


@pytest.mark.parametrize("seed", range(12))
def test_measured_qubits_reused_and_reset_match_a_branching_reference(seed):
    circuit, reference = random_dynamic_circuit(seed)
    expected = collections.defaultdict(float)
    for state, bits in reference.branches:
        value = sum(bits[c] << c for c in range(circuit.num_clbits))
        expected[_key(circuit, value)] += float(np.sum(np.abs(state) ** 2))
    assert_same_distribution(BACKEND.probabilities(circuit), dict(expected))


@pytest.mark.parametrize(
    "build, expected",
    [
        # Measured, used again, measured again: both outcomes uniform.
        (lambda c: (c.h(0), c.measure(0, 0), c.h(0), c.measure(0, 1)),
         {"00": 0.25, "01": 0.25, "10": 0.25, "11": 0.25}),
        # Measure and reset by a conditioned X: the second reading is 0.
        (lambda c: (c.h(0), c.measure(0, 0), _if_one(c, 0, lambda: c.x(0)), c.measure(0, 1)),
         {"00": 0.5, "01": 0.5}),
        # A reset of an entangled qubit leaves its partner mixed.
        (lambda c: (c.h(0), c.cx(0, 1), c.reset(0), c.measure([0, 1], [0, 1])),
         {"00": 0.5, "10": 0.5}),
    ],
)
def test_dynamic_circuit_idioms(build, expected):
    circuit = QuantumCircuit(2, 2)
    build(circuit)
    assert BACKEND.probabilities(circuit) == pytest.approx(expected, abs=1e-9)
    theirs = AER.run(circuit, shots=4000, seed_simulator=5).result().get_counts()
    assert set(theirs) == set(expected)


def _if_one(circuit, bit, body):
    with circuit.if_test((circuit.clbits[bit], 1)):
        body()


def test_a_compound_condition_over_many_bits_runs_under_hidden_bits():
    """13 bits together are too many to list their values: the outer
    condition and the inner comparison are computed into hidden bits."""
    c = QuantumCircuit(1, 13)
    c.x(0)
    c.measure(0, 5)
    with c.if_test(expr.logic_or(expr.logic_and(c.clbits[0], c.clbits[12]), c.clbits[5])):
        with c.if_test((c.cregs[0], 2**5)):
            c.x(0)
    c.measure(0, 1)
    assert BACKEND.probabilities(c) == pytest.approx({f"{2**5:013b}": 1.0})
