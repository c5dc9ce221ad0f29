"""A Qiskit ``QuantumCircuit`` appended to a graph builder: the one lowering
behind both front ends, OpenQASM programs (``kovra.qasm``, which reads them
with qiskit's loader) and circuits run on ``KovraBackend`` (``kovra.qiskit``,
which transpiles them onto the gate table first).

Every operation goes to the graph where it stands and on the graph qubit it
names: a measurement, a reset and the gates that follow them on the same
qubit are wired one after the other. Keeping a measured qubit's outcome
while the circuit goes on using it, and tracing a reset qubit out, is the
simulator's placement's job (docs/graph_format.md: it moves the qubit to a
record qubit), so nothing here looks ahead at how a qubit is used later.

The front ends differ in what they pass as ``LoweringOptions``: which
operations are gates of the table and which are expanded from their
definitions, whether measurements go into the graph, and how a refusal
names its place (a file and line, or the instruction).
"""

import contextlib

from qiskit.circuit import CASE_DEFAULT, Clbit

from . import conditions
from .loop_exits import NAMES as LOOP_EXITS, LoopExits

from .arm_scan import writes_then_runs
from ..builder import EQUAL
from .flags import FlagBits, holds_at
from .angles import graph_angle
from .options import DEFAULT_WHILE_LIMIT, LoweringOptions, finite_angles  # noqa: F401
from .unrolling import MAX_UNROLLED, unrolled_size
from .noise import CHANNEL_INSTRUCTIONS, MAX_CHANNEL_QUBITS, emit_channel, kraus_operators
from .gate_table import lower

_CONTROL_FLOW = frozenset({"if_else", "switch_case", "for_loop", "while_loop"})


def graph_condition(circuit, target, value):
    """The graph's (bits, constant) for a Qiskit condition (a bit or a
    register, compared with `value`) in `circuit`.

    The graph forms the value with the highest-numbered bit most
    significant, a register with its own bit 0 least significant, and a
    register's bits need not be in ascending order: the constant's bits are
    put in the graph's order. A value the bits cannot hold is kept as it
    is; the graph compares it whole, so it equals no value of the bits."""
    bits = [target] if isinstance(target, Clbit) else list(target)
    indices = [circuit.find_bit(b).index for b in bits]
    value = int(value)
    if not 0 <= value < 2 ** len(indices):
        return sorted(indices), value
    rank = {index: r for r, index in enumerate(sorted(indices))}
    constant = sum(((value >> k) & 1) << rank[index] for k, index in enumerate(indices))
    return sorted(indices), constant


def _declare(registers, bits, declare):
    """Declares the registers where they hold the bits one after another (as
    in every OpenQASM program), else one register of all the bits (Qiskit's
    bits may belong to no register, or to several)."""
    if [b for r in registers for b in r] == list(bits):
        for register in registers:
            declare(register.size)
    elif bits:
        declare(len(bits))


def _conditioned(condition):
    """The keyword arguments of an operation under each comparison of
    `condition`, or none at all without one (builders that take no
    condition measure and reset all the same)."""
    return [{}] if condition is None else [{"condition": comparison} for comparison in condition]


class CircuitLowering:
    """Appends circuits to `builder` (anything with its qreg, creg, gate and
    measure methods; reset where circuits reset).

    After ``run``: ``measured`` holds the measured graph qubits in the order
    first measured, ``written`` the classical bits that measurements write
    (never the hidden bits of ``flags``), ``conditioned`` whether any gate is
    classically conditioned, and ``loops`` whether a while loop was unrolled
    (its check must run, even where nothing is measured)."""

    def __init__(self, builder, options):
        self.builder = builder
        self.options = options
        self.measured = []
        self._measured = set()  # the same, for lookups
        self.written = set()
        self.conditioned = False
        self.loops = False
        self._top = None
        self._unrolled = 0  # instructions that loops have unrolled to
        self._looping = False  # inside a loop, which counted what it unrolls to
        self._exits = LoopExits(self._refuse)  # break and continue of the loops being unrolled
        # One per conditioned statement being emitted (all its arms): the
        # bits its conditions read, and whether a measurement in it has
        # written one.
        self._bodies = []
        self._flags = None

    def run(self, circuit):
        self._top = circuit
        _declare(circuit.qregs, circuit.qubits, self.builder.qreg)
        _declare(circuit.cregs, circuit.clbits, self.builder.creg)
        self._flags = FlagBits(self.builder, circuit.num_clbits)
        self._emit(circuit, list(range(circuit.num_qubits)), None)
        return self

    def top_index(self, clbit):
        """The graph index of a classical bit of the circuit."""
        return self._top.find_bit(clbit).index

    def _refuse(self, name, why):
        self.options.refuse(name, why)
        raise AssertionError(f"the refusal of '{name}' returned")  # refuse always raises

    def _emit(self, block, qubits, condition):
        """Appends the instructions of `block`, whose qubit k is `qubits[k]`."""
        outer = condition
        for instruction in block.data:
            op = instruction.operation
            targets = [qubits[block.find_bit(q).index] for q in instruction.qubits]
            if op.name in self.options.skipped:
                continue
            if op.name in LOOP_EXITS:
                # Its condition must still read what the arms around it
                # tested; its own earlier reach may be out of date: it asks
                # again now.
                self._check_body_current(op.name)
                # The hidden bits it reads must keep telling who left.
                self._flags.pin(b for bits, _, _ in outer or [] for b in bits)
                self._exits.reach(op.name, outer)
                continue
            # What runs goes in under "no exit reached so far held" too;
            # the arms and loops inside pass it on to what they hold.
            condition = outer if op.name in _CONTROL_FLOW else self._exits.guard(outer, op.name)
            if condition == [] and outer != []:
                self._exits.check_current()  # unless an exit no longer says who left
                continue  # every branch has left the loop by now
            if op.name == "if_else":
                self._emit_if(op, targets, condition)
            elif op.name == "switch_case":
                self._emit_switch(op, targets, condition)
            elif op.name == "for_loop":
                self._emit_for(op, targets, condition)
            elif op.name == "while_loop":
                self._emit_while(op, targets, condition)
            elif op.name == "measure":
                clbits = [self._top.find_bit(c).index for c in instruction.clbits]
                self._emit_measure(op.name, targets, clbits, condition)
            elif op.name == "reset":
                self._emit_reset(op.name, targets, condition)
                self._emit_noise(op.name, targets, condition)
            elif op.name in CHANNEL_INSTRUCTIONS:
                self._emit_channel(op.name, kraus_operators(op), targets, condition)
            elif (table_name := self.options.table_name(op)) is not None:
                self._emit_gate(table_name, op, targets, condition)
                self._emit_noise(op.name, targets, condition)
            elif self.options.expands(op):
                self._emit(op.definition, targets, condition)
            else:
                self._refuse(op.name, self.options.unknown_why)

    def _emit_gate(self, name, op, targets, condition):
        # The condition goes on every step: together they are the gate. A
        # condition is a list of disjoint comparisons (conditions.conjoin):
        # the step goes in once under each.
        steps = lower(name, finite_angles(name, op, self._refuse))
        if steps:  # a gate that adds nothing reads no condition
            self._check_condition_current(name)
        for step in steps:
            params = None if step.angle is None else [graph_angle(step.angle)]
            qubits = [targets[k] for k in step.positions]
            for comparison in condition if condition is not None else [None]:
                self.builder.gate(step.name, qubits, params=params, condition=comparison)

    def _emit_channel(self, name, operators, targets, condition):
        if not hasattr(self.builder, "kraus"):
            self._refuse(name, "is not supported here")
        if len(targets) > MAX_CHANNEL_QUBITS:
            self._refuse(name, f"acts on {len(targets)} qubits; channels take at most {MAX_CHANNEL_QUBITS}")
        self._check_condition_current(name)
        for comparison in condition if condition is not None else [None]:
            emit_channel(self.builder, operators, targets, comparison)

    def _emit_noise(self, name, targets, condition):
        """The noise model's channel for instruction `name` on `targets`."""
        operators = self.options.noise.channel(name, targets) if self.options.noise else None
        if operators is not None:
            self._emit_channel(name, operators, targets, condition)

    def _predicate(self, op):
        """The if_test's condition: a bit or a register compared with a
        value, or a classical expression."""
        if isinstance(op.condition, tuple):
            bits, constant = graph_condition(self._top, *op.condition)
            return conditions.comparison(bits, EQUAL, constant)
        return conditions.of_expression(self._top, op.condition, lambda why: self._refuse(op.name, why))

    def _emit_if(self, op, targets, condition):
        predicate = self._predicate(op)
        self.conditioned = True
        arms = [(body, holds) for body, holds in zip(op.blocks, (predicate, predicate.negated())) if body is not None]
        self._emit_arms(op.name, arms, targets, condition, predicate.bits)

    def _emit_switch(self, op, targets, condition):
        """Each case's body under "the target takes one of its values"; the
        default under "none of the others'"."""
        cases = list(op.cases_specifier())
        listed = {int(v) for values, _ in cases for v in values if v is not CASE_DEFAULT}
        refuse = lambda why: self._refuse(op.name, why)  # noqa: E731
        self.conditioned = True
        arms = [(body, conditions.of_case(self._top, op.target, values, listed, refuse)) for values, body in cases]
        self._emit_arms(op.name, arms, targets, condition, set().union(*(holds.bits for _, holds in arms)))

    def _emit_arms(self, name, arms, targets, condition, read):
        """The arms (body, predicate) of one branch point, in order, each
        where `condition` (the comparisons around) and its predicate hold;
        `read` the bits the predicates read. Each arm carries its comparisons
        where they read the branch point's values all along; otherwise
        (``arm_scan``) or where they are too wide to write out, each arm's
        condition is computed first into a hidden bit, read by the arm alone."""
        if not self._needs_flags(arms, targets, condition, read):
            self._bodies.append([set(read), False])
            try:
                for body, holds in arms:
                    self._emit(body, targets, self._conjoin(name, condition, holds))
            finally:
                self._bodies.pop()
            return
        flags = [self._flag_of(name, condition, holds) for _, holds in arms]
        for (body, _), flag in zip(arms, flags):
            self._emit(body, targets, [holds_at(flag)])
        for flag in flags:
            self._flags.give_back(flag)

    def _needs_flags(self, arms, targets, condition, read):
        if any(not conditions.expandable(condition, holds) for _, holds in arms):
            return True
        # Without measurements in the graph, nothing writes a bit.
        return self.options.measurements and writes_then_runs(self, [body for body, _ in arms], targets, read)

    def _flag_of(self, name, condition, holds):
        """A hidden bit set, in every branch, to whether `condition` and
        `holds` both hold now."""
        if not hasattr(self.builder, "store"):
            self._refuse(name, "needs its condition computed into a classical bit, which is not supported here")
        self._check_condition_current(name)
        flag = self._flags.take()
        self._flags.assign(flag, conditions.both(condition, holds), lambda why: self._refuse(name, why))
        return flag

    def _conjoin(self, name, condition, holds):
        """The comparisons under which both `condition` (those around) and
        `holds` do."""
        return conditions.conjoin(condition, holds, lambda why: self._refuse(name, why))

    def _emit_body(self, body, targets, comparisons, read):
        """`body` under `comparisons`, whose own test reads the bits `read`."""
        self._bodies.append([set(read), False])
        try:
            self._emit(body, targets, comparisons)
        finally:
            self._bodies.pop()

    def _check_condition_current(self, name):
        self._exits.check_current()
        self._check_body_current(name)

    def _check_body_current(self, name):
        # Where the scan left a statement's comparisons on its operations,
        # none may follow a measurement into the bits they read: it would
        # read the new value. The scan sees every such case; this is its check.
        if any(written for _, written in self._bodies):
            self._refuse(name, "follows, in the same conditioned statement, a measurement into a classical bit "
                               "that the statement's condition reads; that is not supported")

    def _emit_while(self, op, targets, condition):
        """A while loop, unrolled ``while_limit`` times, each iteration under
        the loop's condition; then a check that refuses the run where some
        branch would still go on."""
        predicate = self._predicate(op)
        limit = self.options.while_limit
        self._count_unrolled(op, limit, op.blocks[0])
        self.conditioned = self.loops = True
        if self._needs_flags([(op.blocks[0], predicate)], targets, condition, predicate.bits):
            return self._emit_flagged_while(op, targets, condition, predicate)
        looping = self._conjoin(op.name, condition, predicate)
        with self._unrolling(), self._exits.loop(looping):
            for _ in range(limit):
                if not self._exits.iteration():
                    break
                self._emit_body(op.blocks[0], targets, looping, predicate.bits)
            # A branch that left by a break is not still looping.
            self._check_condition_current(op.name)
            for comparison in self._exits.guard(looping, op.name):
                self.builder.gate("LOOP_LIMIT", [], params=[limit], condition=comparison)

    def _emit_flagged_while(self, op, targets, condition, predicate):
        """Each iteration under a hidden bit computed where it starts, as
        is the loop's check."""
        limit = self.options.while_limit
        with self._unrolling(), self._exits.loop():
            for _ in range(limit):
                if not self._exits.iteration():
                    break
                flag = self._flag_of(op.name, condition, predicate)
                self._emit(op.blocks[0], targets, [holds_at(flag)])
                self._flags.give_back(flag)
            flag = self._flag_of(op.name, condition, predicate)
            self._check_condition_current(op.name)
            for comparison in self._exits.guard([holds_at(flag)], op.name):
                self.builder.gate("LOOP_LIMIT", [], params=[limit], condition=comparison)
            self._flags.give_back(flag)

    def _emit_for(self, op, targets, condition):
        """A for loop, unrolled: its body once per value of its index set,
        the loop parameter (if the body uses one) bound to the value."""
        indexset, parameter, body = op.params
        self._count_unrolled(op, len(indexset), body)
        with self._unrolling(), self._exits.loop():
            for value in indexset:
                if not self._exits.iteration():
                    break
                bound = body.assign_parameters({parameter: value}) if parameter in body.parameters else body
                self._emit(bound, targets, condition)

    def _count_unrolled(self, op, iterations, body):
        """Refuses, before anything of it is built, a loop whose unrolling
        would take the instructions loops unroll to past MAX_UNROLLED. The
        outermost loop counts for the loops inside it."""
        if self._looping:
            return
        enough = (MAX_UNROLLED - self._unrolled) // max(1, iterations)
        self._unrolled += iterations * max(1, unrolled_size(body, self.options, enough))
        if self._unrolled > MAX_UNROLLED:
            self._refuse(op.name, f"unrolls to more than {MAX_UNROLLED} instructions")

    @contextlib.contextmanager
    def _unrolling(self):
        looping, self._looping = self._looping, True
        try:
            yield
        finally:
            self._looping = looping

    def _emit_measure(self, name, targets, clbits, condition):
        if len(clbits) != len(targets):
            # Qiskit passes on any instruction named "measure".
            self._refuse(name, f"measures {len(targets)} qubit(s) into {len(clbits)} bit(s)")
        # One measurement per qubit: an instruction over several qubits (which
        # Qiskit allows) measures each into its own bit.
        for qubit, clbit in zip(targets, clbits):
            self._check_condition_current(name)
            self._emit_noise(name, [qubit], condition)  # a measurement's error acts before it
            readout = self.options.noise.readout(qubit) if self.options.noise else None
            extra = {} if readout is None else {"readout": [float(p) for p in readout.ravel()]}
            if qubit not in self._measured:
                self._measured.add(qubit)
                self.measured.append(qubit)
            self.written.add(clbit)
            if not self.options.measurements:
                continue
            flag = None
            if extra and condition is not None and len(condition) > 1 and \
                    any(clbit in bits for bits, _, _ in condition):
                # Under several disjoint comparisons a branch that the new
                # bit makes satisfy a later one measures the same qubit
                # again: to no effect, but for a second draw of its readout
                # error. Read the comparisons once, into a hidden bit.
                flag = self._flag_of(name, condition, conditions.Predicate([], lambda values: True))
            for where in _conditioned(condition if flag is None else [holds_at(flag)]):
                self.builder.measure([qubit], [clbit], **where, **extra)
            if flag is not None:
                self._flags.give_back(flag)
            for body in self._bodies:
                body[1] = body[1] or clbit in body[0]
            self._exits.wrote(clbit)

    def _emit_reset(self, name, targets, condition):
        self._check_condition_current(name)
        if not hasattr(self.builder, "reset"):
            self._refuse(name, "is not supported here")
        for qubit in targets:
            for where in _conditioned(condition):
                self.builder.reset([qubit], **where)


# The name the walker had before it said what it walks; kept for existing imports.
Lowering = CircuitLowering
