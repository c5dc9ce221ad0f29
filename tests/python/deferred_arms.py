"""Random circuits that measure inside if/else and switch arms (into the
very bits the conditions read), and their exact distribution from Qiskit
Aer's density matrix, for test_branch_point_conditions.py.

Aer samples mid-circuit measurements, so the reference defers them: every
classical bit lives in an ancilla. A measurement dephases its qubit and
copies it into a fresh ancilla (a readout error is then a channel on that
copy); an arm's condition is computed once, at the branch point, into a
fresh flag ancilla by multi-controlled X gates over the ancillas that hold
the condition's bits; and everything in the arm is controlled by the flag:
gates as controlled gates, channels as controlled channels, a reset as a
controlled swap with a fresh |0>, and a measurement writes a new ancilla
that copies the qubit where the flag is set and the bit's old holder where
it is not."""

import functools
import random

import numpy as np
import qiskit
import qiskit_aer
from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister
from qiskit.circuit import CASE_DEFAULT
from qiskit.circuit.classical import expr
from qiskit.circuit.library import CSwapGate, CXGate, MCXGate, UnitaryGate, XGate
from qiskit.quantum_info import Kraus, Operator
from qiskit_aer.noise import NoiseModel, ReadoutError, depolarizing_error

QUBITS = 2
MAX_ANCILLAS = 6  # measurements and flags: the reference's density matrix grows 4x with each
DEPOLARIZING = {"h": (0.03, 1), "rx": (0.02, 1), "cx": (0.05, 2)}
READOUT = {0: [[0.9, 0.1], [0.2, 0.8]], 1: [[0.95, 0.05], [0.15, 0.85]]}
_DEPHASE = [np.diag([1.0, 0.0]), np.diag([0.0, 1.0])]


def noise_model():
    model = NoiseModel()
    for name, (p, arity) in DEPOLARIZING.items():
        model.add_all_qubit_quantum_error(depolarizing_error(p, arity), [name])
    for q, rows in READOUT.items():
        model.add_readout_error(ReadoutError(rows), [q])
    return model


def _readout_operators(rows):
    """The readout error as a channel on the ancilla that copied the outcome."""
    (p00, p01), (p10, p11) = rows
    return [np.sqrt(p00) * np.outer([1, 0], [1, 0]), np.sqrt(p01) * np.outer([0, 1], [1, 0]),
            np.sqrt(p10) * np.outer([1, 0], [0, 1]), np.sqrt(p11) * np.outer([0, 1], [0, 1])]


class Generator:
    """A random circuit on q[2] and c[3] (a 2-bit register a and a bit b),
    measuring inside arms, often into the bits the conditions read. The
    ancillas its reference will need (a measurement, a reset in an arm, an
    arm's flag: one each) are counted to keep the density matrix small."""

    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.a = ClassicalRegister(2, "a")
        self.b = ClassicalRegister(1, "b")
        self.circuit = QuantumCircuit(QuantumRegister(QUBITS, "q"), self.a, self.b)
        self.bits = list(self.circuit.clbits)
        self.ancillas = 0

    def build(self, length=6):
        self._block(length, depth=0)
        return self.circuit

    def _room(self, needed):
        if self.ancillas + needed > MAX_ANCILLAS:
            return False
        self.ancillas += needed
        return True

    def _block(self, length, depth):
        circuit = self.circuit
        for _ in range(length):
            kind = self.rng.random()
            if kind < 0.4 and self._room(1):
                circuit.measure(self.rng.randrange(QUBITS), self.rng.choice(self.bits))
            elif kind < 0.5 and depth > 0 and self._room(1):
                circuit.reset(self.rng.randrange(QUBITS))
            elif kind < 0.7 and depth < 2 and self._room(2):
                self._if(depth)
            elif kind < 0.8 and depth < 2 and self._room(3):
                self._switch(depth)
            else:
                self._gate()

    def _gate(self):
        q, kind = self.rng.randrange(QUBITS), self.rng.random()
        if kind < 0.4:
            self.circuit.h(q)
        elif kind < 0.7:
            self.circuit.rx(self.rng.uniform(-3, 3), q)
        else:
            self.circuit.cx(q, 1 - q)

    def _condition(self):
        kind, bit = self.rng.random(), self.rng.choice(self.bits)
        if kind < 0.25:
            return (bit, self.rng.randrange(2))
        if kind < 0.5:
            return (self.a, self.rng.randrange(4))
        if kind < 0.7:
            return expr.logic_or(expr.equal(self.a, self.rng.randrange(4)), expr.equal(self.a, self.rng.randrange(4)))
        if kind < 0.85:
            return expr.logic_and(expr.less(self.a, self.rng.randrange(1, 4)), expr.logic_not(self.b[0]))
        return expr.logic_not(bit)

    def _if(self, depth):
        with self.circuit.if_test(self._condition()) as otherwise:
            self._block(self.rng.randrange(1, 4), depth + 1)
        if self.rng.random() < 0.6:
            with otherwise:
                self._block(self.rng.randrange(1, 4), depth + 1)

    def _switch(self, depth):
        cases = [(0,), (1, 3), (CASE_DEFAULT,)] if self.rng.random() < 0.5 else [(2,), (0, 1)]
        with self.circuit.switch(self.a) as case:
            for values in cases:
                with case(*values):
                    self._block(self.rng.randrange(1, 3), depth + 1)


class Reference:
    """The deferred form (module docstring) of a circuit, run by Aer."""

    def __init__(self, circuit, noisy):
        self.source = circuit
        self.noisy = noisy
        self.ops = []  # (instruction, [wire]) with wires: ("q", k) or ("anc", k)
        self.ancillas = 0
        self.holder = {}  # clbit -> ancilla holding it (unwritten bits read 0)

    def fresh(self):
        self.ancillas += 1
        return ("anc", self.ancillas - 1)

    def run(self):
        self._block(self.source, [("q", k) for k in range(self.source.num_qubits)], None)
        n = self.source.num_qubits + self.ancillas
        out = QuantumCircuit(n)
        index = lambda wire: wire[1] if wire[0] == "q" else self.source.num_qubits + wire[1]  # noqa: E731
        for op, wires in self.ops:
            out.append(op, [index(w) for w in wires])
        held = [index(self.holder[c]) for c in self.source.clbits if c in self.holder]
        if not held:
            return {0: 1.0}
        out.save_probabilities_dict(held)
        simulator = qiskit_aer.AerSimulator(method="density_matrix", max_parallel_threads=1)
        data = simulator.run(out).result().data(0)["probabilities"]
        written = [k for k, c in enumerate(self.source.clbits) if c in self.holder]
        distribution = {}
        for key, p in data.items():
            key = int(key, 16) if isinstance(key, str) else int(key)
            value = sum(((key >> position) & 1) << bit for position, bit in enumerate(written))
            distribution[value] = distribution.get(value, 0.0) + p
        return distribution

    def _channel(self, operators, wires, flag):
        """A channel (Qiskit's order: wires[0] the lowest bit), controlled by `flag`."""
        if flag is not None:
            size = len(operators[0])
            zero, one = np.diag([1.0, 0.0]), np.diag([0.0, 1.0])
            operators = [np.kron(zero, np.eye(size))] + [np.kron(one, k) for k in operators]
            wires = list(wires) + [flag]
        self.ops.append((Kraus(list(operators)).to_instruction(), list(wires)))

    def _block(self, block, wires, flag):
        for instruction in block.data:
            op = instruction.operation
            targets = [wires[block.find_bit(q).index] for q in instruction.qubits]
            if op.name == "measure":
                self._measure(targets[0], self.source.find_bit(instruction.clbits[0]).index, flag)
            elif op.name == "reset":
                fresh = self.fresh()
                self.ops.append((UnitaryGate(Operator(CSwapGate())), [flag] + targets + [fresh]))
            elif op.name == "if_else":
                predicate = _predicate(self.source, op.condition)
                arms = [(body, holds) for body, holds in zip(op.blocks, (predicate, lambda v: not predicate(v)))
                        if body is not None]
                self._arms(arms, targets, flag)
            elif op.name == "switch_case":
                self._arms(_cases(self.source, op), targets, flag)
            else:
                if flag is None:
                    self.ops.append((op, targets))
                else:  # Aer's own instructions, so that nothing is transpiled
                    self.ops.append((UnitaryGate(Operator(op.control(1))), [flag] + targets))
                if self.noisy and op.name in DEPOLARIZING:
                    self._channel(_depolarizing(op.name), targets, flag)

    def _measure(self, qubit, clbit, flag):
        self._channel(_DEPHASE, [qubit], flag)
        copy, bit = self.fresh(), self.source.clbits[clbit]
        if flag is None:
            self.ops.append((CXGate(), [qubit, copy]))
        else:
            self.ops.append((_mcx(2), [flag, qubit, copy]))
            if bit in self.holder:  # where the arm does not run, the bit keeps its value
                self._controlled_x([flag, self.holder[bit]], 0b10, copy)
        if self.noisy and qubit[1] in READOUT:
            self._channel(_readout_operators(READOUT[qubit[1]]), [copy], flag)
        self.holder[bit] = copy

    def _controlled_x(self, controls, state, target):
        """X on `target` where control k reads bit k of `state`."""
        opened = [c for k, c in enumerate(controls) if not (state >> k) & 1]
        for c in opened:
            self.ops.append((XGate(), [c]))
        self.ops.append((_mcx(len(controls)), controls + [target]))
        for c in opened:
            self.ops.append((XGate(), [c]))

    def _arms(self, arms, targets, outer):
        """Every arm's flag first, from the bits as they are now; then the arms."""
        flags = []
        for _, holds in arms:
            flag = self.fresh()
            written = [c for c in self.source.clbits if c in self.holder]
            controls = [self.holder[c] for c in written] + ([outer] if outer is not None else [])
            for number in range(2 ** len(written)):
                values = {self.source.find_bit(c).index: (number >> k) & 1 for k, c in enumerate(written)}
                values.update({k: 0 for k in range(self.source.num_clbits) if k not in values})
                if holds(values):
                    state = number | ((1 << len(written)) if outer is not None else 0)
                    self._controlled_x(controls, state, flag)
            flags.append(flag)
        for (body, _), flag in zip(arms, flags):
            inner = [targets[k] for k in range(body.num_qubits)]
            self._block(body, inner, flag)


@functools.lru_cache(maxsize=None)
def _depolarizing(name):
    return Kraus(depolarizing_error(*DEPOLARIZING[name])).data


@functools.lru_cache(maxsize=None)
def _mcx(controls):
    """X under `controls` controls, as a matrix: Aer's density matrix takes
    no multi-controlled X of its own."""
    return UnitaryGate(Operator(MCXGate(controls))) if controls else XGate()


def _value(circuit, node, values):
    """A classical expression's value where the bits read `values`."""
    if isinstance(node, expr.Value):
        return int(node.value)
    if isinstance(node, expr.Var):
        bits = [node.var] if isinstance(node.var, qiskit.circuit.Clbit) else list(node.var)
        return sum(values[circuit.find_bit(b).index] << k for k, b in enumerate(bits))
    if isinstance(node, expr.Cast):
        return _value(circuit, node.operand, values)
    if isinstance(node, expr.Unary):
        return int(not _value(circuit, node.operand, values))
    left, right = _value(circuit, node.left, values), _value(circuit, node.right, values)
    return int({expr.Binary.Op.LOGIC_OR: lambda: bool(left) or bool(right),
                expr.Binary.Op.LOGIC_AND: lambda: bool(left) and bool(right),
                expr.Binary.Op.EQUAL: lambda: left == right,
                expr.Binary.Op.LESS: lambda: left < right}[node.op]())


def _predicate(circuit, condition):
    if isinstance(condition, tuple):
        target, value = condition
        return lambda values: _value(circuit, expr.lift(target), values) == int(value)
    return lambda values: bool(_value(circuit, condition, values))


def _cases(circuit, op):
    target = expr.lift(op.target)
    cases = list(op.cases_specifier())
    listed = {int(v) for values, _ in cases for v in values if v is not CASE_DEFAULT}
    arms = []
    for values, body in cases:
        if CASE_DEFAULT in values:
            arms.append((body, lambda v: _value(circuit, target, v) not in listed))
        else:
            wanted = {int(x) for x in values}
            arms.append((body, lambda v, wanted=wanted: _value(circuit, target, v) in wanted))
    return arms
