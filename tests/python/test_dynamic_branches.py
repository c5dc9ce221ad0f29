"""Dynamic circuits run as branch states: measurements and resets under
conditions, nested if/else, switch, classical expressions, for and while
loops, measured qubits used again.

Two references. Qiskit Aer's density-matrix method on the deferred form of
the circuit: every write of a classical bit goes to a fresh ancilla, a
conditioned operation becomes that operation controlled by the ancillas
holding the bits it reads (one controlled copy per satisfying value), and a
conditioned reset swaps the qubit with a fresh |0> ancilla. And kovra's own
record-qubit run, for the circuits it can run, to rounding."""

import math
import random

import pytest

qiskit = pytest.importorskip("qiskit")
qiskit_aer = pytest.importorskip("qiskit_aer")

import kovra_backends  # noqa: E402
from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister  # noqa: E402
from qiskit.circuit.classical import expr  # noqa: E402
from qiskit.circuit.library import SwapGate, XGate  # noqa: E402

from kovra.qiskit import KovraBackend  # noqa: E402
from kovra.qiskit_lowering import lower_circuit  # noqa: E402
from test_qiskit_backend import _key, assert_same_distribution  # noqa: E402

# The engine's pi and sqrt(2) are calibrated constants (docs/performance.md):
# Aer's exact gates differ from them by about 1e-10 per gate.
TOLERANCE = 1e-8
QUBITS, BITS = 3, 4
MAX_ANCILLAS = 7  # the reference's density matrix: at most 10 qubits


class Recorder:
    """Builds a Qiskit circuit with control flow and, beside it, the flat
    list of its operations each with the predicate (over the classical bits'
    values at the time it runs) under which it acts."""

    def __init__(self, rng):
        self.rng = rng
        self.c = ClassicalRegister(BITS, "c")
        self.qc = QuantumCircuit(QuantumRegister(QUBITS, "q"), self.c)
        self.flat = []  # (kind, payload, qubits, clbit, bits read, predicate)

    def op(self, kind, payload, qubits, clbit=None, guard=((), lambda v: True)):
        self.flat.append((kind, payload, qubits, clbit) + guard)

    def random_gate(self, guard):
        q = self.rng.randrange(QUBITS)
        other = self.rng.choice([k for k in range(QUBITS) if k != q])
        if self.rng.random() < 0.6:
            gate = qiskit.circuit.library.UGate(*(self.rng.uniform(-3, 3) for _ in range(3)))
            self.qc.append(gate, [q])
            self.op("gate", gate, [q], guard=guard)
        else:
            self.qc.cx(q, other)
            self.op("gate", XGate().control(1), [q, other], guard=guard)

    def ancillas(self):
        return sum(1 for kind, *_, read, _ in self.flat if kind == "measure" or (kind == "reset" and read))

    def measure(self, q, bit, guard):
        self.qc.measure(q, bit)
        self.op("measure", None, [q], bit, guard)

    def reset(self, q, guard):
        self.qc.reset(q)
        self.op("reset", None, [q], guard=guard)

    def body(self, guard, free_bits):
        """A few operations; measurements only into `free_bits`, which no
        enclosing condition reads."""
        for _ in range(self.rng.randrange(1, 4)):
            kind = self.rng.random()
            if self.ancillas() >= MAX_ANCILLAS - 2:
                self.random_gate(guard)
            elif kind < 0.25 and free_bits:
                self.measure(self.rng.randrange(QUBITS), self.rng.choice(free_bits), guard)
            elif kind < 0.4:
                self.reset(self.rng.randrange(QUBITS), guard)
            else:
                self.random_gate(guard)


def both(outer, bits, test):
    read = tuple(sorted(set(outer[0]) | set(bits)))
    return read, lambda v: outer[1](v) and test(v)


def value_of(v, bits):
    return sum(v[b] << k for k, b in enumerate(bits))


def random_program(seed):
    rng = random.Random(seed)
    r = Recorder(rng)
    c = r.c
    top = ((), lambda v: True)
    for _ in range(9):
        kind = rng.random()
        if r.ancillas() >= MAX_ANCILLAS - 2:
            r.random_gate(top)
        elif kind < 0.25:
            r.measure(rng.randrange(QUBITS), rng.randrange(BITS), top)
        elif kind < 0.35:
            r.reset(rng.randrange(QUBITS), top)
        elif kind < 0.5:
            bit, value = rng.randrange(BITS), rng.randrange(2)
            free = [b for b in range(BITS) if b != bit]
            with r.qc.if_test((c[bit], value)) as otherwise:
                r.body(both(top, [bit], lambda v, b=bit, x=value: v[b] == x), free)
                if rng.random() < 0.5:  # a nested if on another bit
                    inner = rng.choice(free)
                    with r.qc.if_test((c[inner], 1)):
                        r.body(both(both(top, [bit], lambda v, b=bit, x=value: v[b] == x), [inner],
                                    lambda v, b=inner: v[b] == 1), [f for f in free if f != inner])
            with otherwise:
                r.body(both(top, [bit], lambda v, b=bit, x=value: v[b] != x), free)
        elif kind < 0.6:
            with r.qc.switch(c) as case:
                with case(1, 2):
                    r.body(both(top, range(BITS), lambda v: value_of(v, range(BITS)) in (1, 2)), [])
                with case(case.DEFAULT):
                    r.body(both(top, range(BITS), lambda v: value_of(v, range(BITS)) not in (1, 2)), [])
        elif kind < 0.7:
            a, b = rng.sample(range(BITS), 2)
            condition = expr.logic_or(expr.lift(c[a]), expr.logic_not(c[b]))
            free = [x for x in range(BITS) if x not in (a, b)]
            with r.qc.if_test(condition):
                r.body(both(top, [a, b], lambda v, a=a, b=b: v[a] or not v[b]), free)
        elif kind < 0.8:
            # Ends after one iteration: the body's last act sets the bit.
            bit, q = rng.randrange(BITS), rng.randrange(QUBITS)
            guard = both(top, [bit], lambda v, b=bit: v[b] == 0)
            with r.qc.while_loop((c[bit], 0)):
                r.random_gate(guard)
                r.reset(q, guard)
                r.qc.x(q)
                r.op("gate", XGate(), [q], guard=guard)
                r.measure(q, bit, guard)
        elif kind < 0.85:
            with r.qc.for_loop(range(2)):
                r.random_gate(top)
            r.flat.append(r.flat[-1])
        else:
            r.random_gate(top)
    return r.qc, r.flat


def deferred(flat):
    """The flat program on data qubits and ancillas, and each bit's final holder."""
    ops = []
    holder, fresh = {}, QUBITS

    def assignments(read):
        written = [b for b in read if b in holder]
        for number in range(2 ** len(written)):
            values = {b: 0 for b in read}
            values.update({b: (number >> k) & 1 for k, b in enumerate(written)})
            yield written, number, values

    def controlled(gate, written, number, targets):
        controls = [holder[b] for b in written]
        if written:
            gate = gate.control(len(written), ctrl_state=number)
        ops.append((gate, controls + targets))

    for kind, payload, qubits, clbit, read, holds in flat:
        if kind == "channel":  # unconditioned: a channel has no controlled form
            assert not read
            ops.append((payload, qubits))
        elif kind == "gate":
            for written, number, values in assignments(read):
                if holds(values):
                    controlled(payload, written, number, qubits)
        elif kind == "reset":
            if not read:
                ops.append(("reset", qubits))
                continue
            for written, number, values in assignments(read):
                if holds(values):
                    controlled(SwapGate(), written, number, qubits + [fresh])
            fresh += 1
        else:
            new = fresh
            fresh += 1
            for written, number, values in assignments(read):
                if holds(values):
                    controlled(XGate().control(1), written, number, qubits + [new])
                elif clbit in written:  # the bit keeps its old value, read here
                    if values[clbit]:
                        controlled(XGate(), written, number, [new])
                elif clbit in holder:  # the bit keeps its old value
                    controlled(XGate().control(1), written, number, [holder[clbit], new])
            holder[clbit] = new
            if payload is not None:  # a readout error: a channel on the classical copy
                assert not read
                ops.append((payload, [new]))
    out = QuantumCircuit(fresh)
    for gate, qubits in ops:
        out.reset(qubits) if gate == "reset" else out.append(gate, qubits)
    return out, holder


def aer_distribution(flat):
    out, holder = deferred(flat)
    assert out.num_qubits <= QUBITS + MAX_ANCILLAS
    if not holder:
        return {0: 1.0}
    held = sorted(holder)
    out.save_probabilities_dict([holder[b] for b in held])
    simulator = qiskit_aer.AerSimulator(method="density_matrix")
    data = simulator.run(qiskit.transpile(out, simulator, optimization_level=0)).result().data(0)
    distribution = {}
    for index, p in data["probabilities"].items():
        index = int(index, 16) if isinstance(index, str) else int(index)
        value = sum(((index >> k) & 1) << b for k, b in enumerate(held))
        distribution[value] = distribution.get(value, 0.0) + p
    return distribution


@pytest.mark.parametrize("seed", range(24))
def test_random_dynamic_circuits_match_the_density_matrix(seed):
    circuit, flat = random_program(seed)
    expected = {_key(circuit, v): p for v, p in aer_distribution(flat).items()}
    assert_same_distribution(KovraBackend().probabilities(circuit), expected, TOLERANCE)


def reused_measurements(seed):
    """Measured qubits used again and resets, nothing conditioned on a
    measurement or reset: both runs take it."""
    rng = random.Random(seed)
    qc = QuantumCircuit(4, 4)
    for _ in range(24):
        kind, q = rng.random(), rng.randrange(4)
        if kind < 0.25:
            qc.measure(q, rng.randrange(4))
        elif kind < 0.35:
            qc.reset(q)
        elif kind < 0.5:
            with qc.if_test((qc.clbits[rng.randrange(4)], rng.randrange(2))):
                qc.ry(rng.uniform(-3, 3), q)
        elif kind < 0.7:
            qc.cx(q, (q + rng.randrange(1, 4)) % 4)
        else:
            qc.u(*(rng.uniform(-3, 3) for _ in range(3)), q)
    return qc


@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("fusion", [True, False])
def test_branch_states_agree_with_record_qubits(seed, fusion):
    builder, lowered = lower_circuit(reused_measurements(seed))
    graph, bits = builder.graph(), sorted(lowered.written)
    runs = {how: kovra_backends.BasicSimulator().execute(
        graph, {"mcbits": bits, "measure_reuse": how, "fusion": fusion, "observables": [[("ZZZZ", 1.0)]]})
        for how in ("records", "branches")}
    assert_same_distribution(runs["branches"].probabilities, runs["records"].probabilities, 1e-12)
    assert runs["branches"].expectation_values == pytest.approx(runs["records"].expectation_values, abs=1e-12)


def repetition_code(rounds, data=5):
    """A bit-flip repetition code on |+>_L: data qubits 0, 2, ..., ancillas
    between them, the syndrome measured and the ancillas reset every round."""
    qubits = 2 * data - 1
    syndrome = ClassicalRegister((data - 1) * rounds, "s")
    final = ClassicalRegister(data, "d")
    qc = QuantumCircuit(QuantumRegister(qubits), syndrome, final)
    qc.h(0)
    for d in range(1, data):
        qc.cx(0, 2 * d)
    for r in range(rounds):
        for a in range(data - 1):
            qc.cx(2 * a, 2 * a + 1)
            qc.cx(2 * a + 2, 2 * a + 1)
            qc.measure(2 * a + 1, syndrome[(data - 1) * r + a])
            qc.reset(2 * a + 1)
    for d in range(data):
        qc.measure(2 * d, final[d])
    return qc


def test_a_25_round_repetition_code_runs_on_its_own_nine_qubits():
    circuit = repetition_code(25)
    builder, lowered = lower_circuit(circuit)
    graph, bits = builder.graph(), sorted(lowered.written)
    # One 9-qubit branch at a time: a cap far below one more qubit's vector.
    result = kovra_backends.BasicSimulator().execute(graph, {"mcbits": bits, "measure_reuse": "branches"})
    zeros = "0" * (4 * 25)
    assert result.probabilities == pytest.approx({zeros + "00000": 0.5, zeros + "11111": 0.5}, abs=1e-9)
    with pytest.raises(ValueError, match="record qubit"):
        kovra_backends.BasicSimulator().execute(graph, {"mcbits": bits, "measure_reuse": "records"})


def test_a_conditional_over_a_64_bit_register_runs():
    qc = QuantumCircuit(QuantumRegister(2), ClassicalRegister(64, "c"))
    qc.x(0)
    for bit in range(64):
        qc.measure(bit % 2, bit)  # 1 into the even bits, 0 into the odd
    value = sum(1 << b for b in range(0, 64, 2))
    with qc.if_test((qc.cregs[0], value)):
        qc.x(1)
    qc.measure(1, 1)
    got = KovraBackend().probabilities(qc)
    assert got == pytest.approx({_key(qc, value | 2): 1.0}, abs=1e-10)


def test_branches_of_the_same_record_and_state_are_joined():
    """40 rounds of a rotation and a measurement into one bit: 2^40 branch
    histories, two records and two states each round."""
    theta, rounds = 0.7, 40
    qc = QuantumCircuit(1, 1)
    for _ in range(rounds):
        qc.ry(theta, 0)
        qc.measure(0, 0)
    one = 0.0  # P(bit = 1), a two-state Markov chain
    for _ in range(rounds):
        one = (1 - one) * math.sin(theta / 2) ** 2 + one * math.cos(theta / 2) ** 2
    assert KovraBackend().probabilities(qc) == pytest.approx({"0": 1 - one, "1": one}, abs=1e-8)


@pytest.mark.parametrize("how", ["run option", "backend option"])
def test_the_while_limit_is_the_one_asked_for(how):
    qc = QuantumCircuit(1, 1)
    qc.h(0)
    qc.measure(0, 0)
    with qc.while_loop((qc.clbits[0], 0)):
        qc.h(0)
        qc.measure(0, 0)
    backend = KovraBackend()
    with pytest.raises(RuntimeError, match=r"still loops with probability 0.0625 after 3 iterations"):
        if how == "run option":
            backend.run(qc, while_limit=3)
        else:
            backend.set_options(while_limit=3)
            backend.probabilities(qc)
