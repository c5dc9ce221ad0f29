"""Builds circuit graphs the way a front end does.

A circuit is a python-igraph directed acyclic graph:

- a register declaration is a vertex of "type" 4 named like "q0_3" (qubits
  0, 1, 2) or "c0_2" (classical bits 0, 1); each qubit gets a vertex of
  "type" 5 and each classical bit one of "type" 6, wired from its register;
- a gate is a vertex of "type" 0 with "name", "qubits" (graph-level indices)
  and, for rotations, "params" (radians); the wires run from the previous
  vertex on each qubit into the gate, one edge per qubit, added in the order
  of the gate's qubits and carrying "qubit";
- a measurement is a gate named "MEASURE" whose wire edges also carry
  "clbit", the classical bit that receives the qubit;
- a store is a gate named "STORE" on no qubit that writes "params" [0 or 1]
  into the classical bit its "clbits" names;
- a classically conditioned gate has "cmp" (a relation) and "constant", and
  one classical edge per condition bit carrying "conbit";
- a definition is a root vertex with "def" and body vertices reachable from
  it, whose "qubits" are positions in the caller's qubit list and whose
  "params" are Python functions of the caller's parameters picked by
  "pindex"; a call is a vertex of "type" 1 named after the definition;
- the graph attributes "qnum" and "cnum" count the declared qubits and
  classical bits.

The graph is assembled in one go when it is first asked for, so building
large circuits stays linear.
"""

import operator

import igraph
import numpy as np

from .gate_names import canonical

GATE, CALL, REGISTER, QUBIT, CLBIT = 0, 1, 4, 5, 6
EQUAL, NOT_EQUAL, LESS, GREATER, LESS_EQUAL, GREATER_EQUAL = range(6)

VERTEX_KEYS = ("type", "name", "qubits", "params", "pindex", "cmp", "constant", "def")
EDGE_KEYS = ("qubit", "clbit", "conbit")


def capsule_of(graph):
    """The capsule holding the graph's igraph_t*, what the back ends take.

    Unlike python-igraph's own capsule, it keeps the graph alive for as long
    as the capsule lives."""
    import kovra_backends  # here: the race's recorders use the builder without the module

    return kovra_backends.graph_capsule(graph)


def condition_constant(value):
    """The constant of a condition as a Python int, of any size: numpy
    integers and floats with an integral value are converted exactly (a
    float of 2^70 keeps every bit); anything else is left for the back end
    to refuse with its vertex."""
    try:
        return operator.index(value)
    except TypeError:
        pass
    if isinstance(value, float) and value.is_integer():
        return int(value)
    return value


class _Wires:
    """Vertices and edges of a graph under construction."""

    def __init__(self, vertices, edges):
        self._vertices = vertices
        self._edges = edges

    def _vertex(self, attrs):
        self._vertices.append({k: v for k, v in attrs.items() if v is not None})
        return len(self._vertices) - 1

    def _edge(self, source, target, **attrs):
        self._edges.append((source, target, attrs))


class CircuitBuilder(_Wires):
    """One main circuit, plus the definitions it calls."""

    def __init__(self):
        super().__init__([], [])
        self._qubit_end = {}  # graph-level qubit -> last vertex on its wire
        self._clbit_end = {}  # classical bit -> last vertex that wrote it
        self._next_qubit = 0
        self._next_clbit = 0
        self.qnum = 0
        self.cnum = 0
        self._definitions = {}
        self._graph = None

    # -- registers -----------------------------------------------------
    def qreg(self, size, first=None):
        """Declares `size` qubits from graph-level index `first`; returns them."""
        first = self._next_qubit if first is None else first
        self._register("q", first, size, QUBIT, self._qubit_end)
        self._next_qubit = max(self._next_qubit, first + size)
        self.qnum += size
        return list(range(first, first + size))

    def creg(self, size, first=None):
        """Declares `size` classical bits from index `first`; returns them."""
        first = self._next_clbit if first is None else first
        self._register("c", first, size, CLBIT, self._clbit_end)
        self._next_clbit = max(self._next_clbit, first + size)
        self.cnum += size
        return list(range(first, first + size))

    def _register(self, letter, first, size, kind, ends):
        self._graph = None
        reg = self._vertex({"type": REGISTER, "name": f"{letter}{first}_{size}"})
        for index in range(first, first + size):
            bit = self._vertex({"type": kind, "name": f"{letter}[{index}]"})
            self._edge(reg, bit)
            ends[index] = bit

    # -- operations ----------------------------------------------------
    def gate(self, name, qubits, params=None, condition=None, **attrs):
        """Appends a gate on graph-level `qubits`; `condition` is
        (condition bits, relation, constant). Extra keyword arguments become
        vertex attributes as given. `name` is a catalogue name ("CNOT") or
        Qiskit's name of the same gate ("cx"), written as the catalogue's;
        another name raises ValueError with the nearest known one."""
        v = self._operation(GATE, canonical(name), qubits, params, condition, attrs)
        self._wire_qubits(v, qubits)
        return v

    def call(self, name, qubits, params=None, condition=None, **attrs):
        """Appends a call of the definition `name` on graph-level `qubits`.
        Define `name` first: the call is then ordered after the writers of
        the classical bits that the body's own conditions read."""
        v = self._operation(CALL, name, qubits, params, condition, attrs)
        self._wire_qubits(v, qubits)
        for bit in sorted(self._bits_read_by(name, set())):
            if bit in self._clbit_end and bit not in (condition[0] if condition else ()):
                self._edge(self._clbit_end[bit], v)
                self._clbit_end[bit] = v
        return v

    def _bits_read_by(self, name, seen):
        definition = self._definitions.get(name)
        if definition is None or name in seen:
            return set()
        seen.add(name)
        bits = set(definition.condition_bits)
        for callee in definition.callees:
            bits |= self._bits_read_by(callee, seen)
        return bits

    def measure(self, qubits, clbits, condition=None, **attrs):
        """Measures qubits[i] into clbits[i] (where `condition` holds)."""
        v = self._operation(GATE, "MEASURE", qubits, None, condition, attrs)
        targets = list(clbits) + [None] * (len(qubits) - len(clbits))
        self._wire_qubits(v, qubits, targets)
        for c in clbits:
            # A bit its own condition reads is already chained to it.
            if c in self._clbit_end and self._clbit_end[c] != v:
                self._edge(self._clbit_end[c], v)
            self._clbit_end[c] = v
        return v

    def reset(self, qubits, condition=None, **attrs):
        """Resets every listed qubit to |0> (a "RESET" gate vertex), where
        `condition` holds."""
        v = self._operation(GATE, "RESET", qubits, None, condition, attrs)
        self._wire_qubits(v, qubits)
        return v

    def kraus(self, qubits, operators, condition=None, **attrs):
        """Appends a channel on `qubits` given by its Kraus operators (a
        "KRAUS" vertex): square matrices of 2^len(qubits) rows, the first
        listed qubit the top bit of a row or column number."""
        try:
            # A noise model puts a channel after every gate: numpy flattens
            # a stack of matrices in the loop's order, to the same doubles.
            stack = np.asarray(operators, dtype=np.complex128)
        except (TypeError, ValueError):
            stack = None
        if stack is not None and stack.ndim == 3:
            params = stack.view(np.float64).ravel().tolist()
        else:
            params = []  # ragged or odd entries: as given, for the back end to refuse by name
            for matrix in operators:
                for row in matrix:
                    for entry in row:
                        z = complex(entry)
                        params += [z.real, z.imag]
        v = self._operation(GATE, "KRAUS", qubits, params, condition, attrs)
        self._wire_qubits(v, qubits)
        return v

    def store(self, clbit, value, condition=None, **attrs):
        """Writes `value` (0 or 1) into classical bit `clbit` where
        `condition` holds (a "STORE" vertex, on no qubit): the bit then
        holds that value, whatever outcome it read before."""
        v = self._operation(GATE, "STORE", [], [value], condition, dict(attrs, clbits=[clbit]))
        # Ordered after the bit's last writer or reader, as a measurement is.
        if clbit in self._clbit_end and self._clbit_end[clbit] != v:
            self._edge(self._clbit_end[clbit], v)
        self._clbit_end[clbit] = v
        return v

    def define(self, name):
        """Starts a definition called `name`; add its body to the result."""
        self._graph = None
        definition = Definition(self, name)
        self._definitions[name] = definition
        return definition

    def _operation(self, kind, name, qubits, params, condition, attrs):
        self._graph = None
        fields = {"type": kind, "name": name, "qubits": list(qubits)}
        if params is not None:
            fields["params"] = list(params)
        if condition is not None:
            bits, relation, constant = condition
            fields["cmp"] = relation
            fields["constant"] = condition_constant(constant)
        fields.update(attrs)
        v = self._vertex(fields)
        if condition is not None:
            # A reader joins the bit's chain, so that a later measurement of
            # the bit is ordered after it.
            for bit in condition[0]:
                if bit in self._clbit_end:
                    self._edge(self._clbit_end[bit], v, conbit=bit)
            for bit in condition[0]:
                if bit in self._clbit_end:
                    self._clbit_end[bit] = v
        return v

    def _wire_qubits(self, v, qubits, clbits=None):
        # Sources are taken before any wire moves on, so a qubit listed twice
        # gives two parallel edges rather than a self-loop. An undeclared
        # qubit has no wire; the gate still joins the circuit through its
        # other qubits.
        sources = [self._qubit_end.get(q) for q in qubits]
        for i, (q, source) in enumerate(zip(qubits, sources)):
            if source is None:
                continue
            attrs = {"qubit": q}
            if clbits is not None and clbits[i] is not None:
                attrs["clbit"] = clbits[i]
            self._edge(source, v, **attrs)
        for q in qubits:
            if q in self._qubit_end:
                self._qubit_end[q] = v

    # -- result --------------------------------------------------------
    def graph(self):
        """The python-igraph graph (built once, then cached)."""
        if self._graph is None:
            self._graph = self._assemble()
        return self._graph

    def capsule(self):
        """The capsule of `graph()`, which keeps the graph alive while it lives."""
        return capsule_of(self.graph())

    def _assemble(self):
        g = igraph.Graph(
            n=len(self._vertices),
            edges=[(s, t) for s, t, _ in self._edges],
            directed=True,
        )
        keys = list(VERTEX_KEYS) + sorted(
            {k for v in self._vertices for k in v} - set(VERTEX_KEYS)
        )
        for key in keys:
            g.vs[key] = [v.get(key) for v in self._vertices]
        for key in EDGE_KEYS:
            g.es[key] = [attrs.get(key) for _, _, attrs in self._edges]
        g["qnum"] = self.qnum
        g["cnum"] = self.cnum
        return g


class Definition(_Wires):
    """The body of a sub-circuit definition. Qubits are positions in the
    caller's qubit list; params are functions of the caller's parameters."""

    def __init__(self, builder, name):
        super().__init__(builder._vertices, builder._edges)
        self._builder = builder
        self.root = self._vertex({"def": name})
        self._position_end = {}
        self.condition_bits = set()  # classical bits the body's conditions read
        self.callees = []  # definitions the body calls

    def gate(self, name, positions, params=None, pindex=None, condition=None, **attrs):
        """A body gate; `params` are functions, `pindex` picks their arguments
        from the caller's parameters (-1: the whole list). Names as in
        CircuitBuilder.gate."""
        return self._body_vertex(None, canonical(name), positions, params, pindex, condition, attrs)

    def call(self, name, positions, params=None, pindex=None, condition=None, **attrs):
        """A nested call of another definition."""
        self.callees.append(name)
        return self._body_vertex(CALL, name, positions, params, pindex, condition, attrs)

    def _body_vertex(self, kind, name, positions, params, pindex, condition, attrs):
        self._builder._graph = None
        fields = {"type": kind, "name": name, "qubits": list(positions)}
        if params is not None:
            fields["params"] = list(params)
        if pindex is not None:
            fields["pindex"] = list(pindex)
        if condition is not None:
            fields["cmp"] = condition[1]
            fields["constant"] = condition_constant(condition[2])
        fields.update(attrs)
        v = self._vertex(fields)
        sources = [self._position_end.get(p, self.root) for p in positions]
        for p, source in zip(positions, sources):
            self._edge(source, v, qubit=p)
        for p in positions:
            self._position_end[p] = v
        if not positions:
            self._edge(self.root, v)
        if condition is not None:
            self.condition_bits.update(condition[0])
            for bit in condition[0]:
                self._edge(self.root, v, conbit=bit)
        return v
