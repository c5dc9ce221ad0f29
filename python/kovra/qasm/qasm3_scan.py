"""What an OpenQASM 3 program asks for, read from its syntax tree before
qiskit's loader builds anything.

The loader is no place to find out: it builds a register of millions of
qubits as asked, and it copies a gate's whole definition, with every gate
defined inside it, each time the gate is applied (about a millisecond a
copy), so a handful of definitions that each apply the one before twice
keep it busy for hours. The tree (openqasm3's parser, the one the loader
uses; comments are gone from it) says all of this in milliseconds, with the
line of every statement. The limits and messages are those of OpenQASM 2
programs (``limits``).
"""

from dataclasses import dataclass, field

import openqasm3
from openqasm3 import ast

from ..translate.gate_table import LOWERINGS, lower
from .limits import MAX_EXPANDED_GATES, QasmError, check_total

# The loader copies a defined gate's body each time the gate is applied,
# inside other definitions too; past this many copies loading alone takes
# tens of seconds.
MAX_DEFINITION_COPIES = 1 << 15

# stdgates.inc names that the gate table knows under another name.
_STDGATE_NAMES = {"phase": "p", "cphase": "cp", "CX": "cx", "U": "u"}
_STATEMENT_WORDS = {ast.ForInLoop: "for", ast.WhileLoop: "while", ast.BreakStatement: "break",
                    ast.ContinueStatement: "continue"}
_INT_OPERATORS = {
    "+": lambda a, b: a + b, "-": lambda a, b: a - b, "*": lambda a, b: a * b,
    "/": lambda a, b: a // b if b else None, "%": lambda a, b: a % b if b else None,
    "**": lambda a, b: a ** b if 0 <= b < 64 else None, "<<": lambda a, b: a << b if 0 <= b < 64 else None,
}


@dataclass
class Scan:
    """What the checks found that the rest of the loading needs."""

    scalar_bits: list = field(default_factory=list)  # names of `bit x;` (no register), in order
    inputs: dict = field(default_factory=dict)  # input name -> line
    # "for", "while", "break", "continue" -> the lines of those statements:
    # the circuit the loader builds keeps no lines.
    lines: dict = field(default_factory=dict)


def parse(source, filename):
    """The program's syntax tree; a syntax error names the file and line."""
    try:
        return openqasm3.parse(source)
    except openqasm3.parser.QASM3ParsingError as error:
        raise QasmError(f"{filename or '<input>'}:{_parse_place(error)}") from None


def _parse_place(error):
    message = str(error)
    if message.startswith("L") and ":C" in message:  # "L3:C4: why"
        line, rest = message[1:].split(":C", 1)
        return f"{line}:{rest}"
    # The parser bails out without a message; the token at which the
    # recognizer gave up (the bail-out's argument) tells where.
    cause = error.__cause__
    recognition = cause.args[0] if cause is not None and cause.args else None
    token = getattr(recognition, "offendingToken", None)
    if token is None:
        return " the program is not valid OpenQASM 3"
    return f"{token.line}:{token.column}: the program is not valid OpenQASM 3 at '{token.text}'"


def check(tree, filename=None, memory=True):
    """Refuses what no run could take (QasmError, or MemoryError for a state
    vector past the memory) and returns the Scan."""
    return _Checker(filename, memory).run(tree)


def _line(node):
    return node.span.start_line if node.span is not None else None


class _Checker:
    def __init__(self, filename, memory):
        self.filename = filename
        self.memory = memory
        self.constants = {}
        self.registers = {}  # qubit register name -> size
        self.qubits = 0
        self.gates = {}  # defined gate -> (catalogue gates it expands to, definitions it copies)
        self.expanded = 0
        self.copies = 0
        self.scan = Scan()

    def place(self, node):
        line = _line(node)
        where = [] if line is None else [f"line {line}"]
        if self.filename is not None:
            where.append(f"of {self.filename}" if where else self.filename)
        return f" ({' '.join(where)})" if where else ""

    def run(self, tree):
        self.statements(tree.statements)
        return self.scan

    def statements(self, statements):
        for node in statements:
            self.statement(node)

    def statement(self, node):
        if isinstance(node, ast.ConstantDeclaration):
            value = self.integer(node.init_expression)
            if value is not None:
                self.constants[node.identifier.name] = value
        elif isinstance(node, ast.QubitDeclaration):
            self.declare_qubits(node)
        elif isinstance(node, ast.ClassicalDeclaration):
            if isinstance(node.type, ast.BitType) and node.type.size is None:
                self.scan.scalar_bits.append(node.identifier.name)
        elif isinstance(node, ast.IODeclaration) and node.io_identifier is ast.IOKeyword.input:
            self.scan.inputs[node.identifier.name] = _line(node)
        elif type(node) in _STATEMENT_WORDS:
            self.scan.lines.setdefault(_STATEMENT_WORDS[type(node)], []).append(_line(node))
        elif isinstance(node, ast.QuantumGateDefinition):
            self.define(node)
        elif isinstance(node, ast.QuantumGate):
            self.apply(node)
        for block in _blocks(node):
            self.statements(block)

    def integer(self, node):
        """The value of a constant integer expression, or None."""
        if isinstance(node, ast.IntegerLiteral):
            return node.value
        if isinstance(node, ast.Identifier):
            return self.constants.get(node.name)
        if isinstance(node, ast.UnaryExpression) and node.op.name == "-":
            value = self.integer(node.expression)
            return None if value is None else -value
        if isinstance(node, ast.BinaryExpression) and node.op.name in _INT_OPERATORS:
            left, right = self.integer(node.lhs), self.integer(node.rhs)
            return None if left is None or right is None else _INT_OPERATORS[node.op.name](left, right)
        return None

    def declare_qubits(self, node):
        size = 1 if node.size is None else self.integer(node.size)
        if size is None:
            return  # the loader resolves it; the qubit count is checked again on the circuit
        name = node.qubit.name
        self.registers[name] = size
        self.qubits += size
        declared = f"qubit{'' if node.size is None else f'[{size}]'} {name}{self.place(node)}"
        check_total(declared, self.qubits, self.memory)

    def define(self, node):
        """A definition costs its body's expansion; the loader copies the
        gates defined inside it as it reads it."""
        gates = copies = 0
        for statement in node.body:
            if isinstance(statement, ast.QuantumGate):
                inner_gates, inner_copies = self.cost(statement)
                gates += inner_gates
                copies += inner_copies
        self.gates[node.name.name] = (gates, copies)
        self.charge(node, node.name.name, 0, copies)

    def cost(self, node):
        """(catalogue gates, definition copies) of one application, before
        broadcasting over registers. Modifiers count as nothing more: qiskit
        forms `pow` and `inv` of a gate from its definition or its matrix
        once, and `ctrl` from its gates."""
        name = node.name.name
        if name in self.gates:
            gates, copies = self.gates[name]
            return gates, copies + 1
        table = _STDGATE_NAMES.get(name, name)
        if table in LOWERINGS:
            # The most steps it takes: no angle is zero.
            return len(lower(table, [1.0] * LOWERINGS[table].angles)), 0
        return 1, 0

    def apply(self, node):
        name = node.name.name
        if name not in self.gates:
            return
        gates, copies = self.cost(node)
        times = max([self.width(q) for q in node.qubits] + [1])
        self.charge(node, name, gates * times, copies)

    def width(self, qubit):
        """How many qubits an argument names: the gate is applied to each."""
        if isinstance(qubit, ast.Identifier):
            return self.registers.get(qubit.name, 1)
        indices = getattr(qubit, "indices", None) or [[]]
        index = indices[-1][0] if len(indices[-1]) == 1 else None
        if isinstance(index, ast.RangeDefinition):
            start, end = self.integer(index.start) or 0, self.integer(index.end)
            step = self.integer(index.step) if index.step is not None else 1
            if end is not None and step:
                return max(1, (end - start) // step + 1)
        return 1

    def charge(self, node, name, gates, copies):
        self.expanded += gates
        self.copies += copies
        if self.expanded > MAX_EXPANDED_GATES:
            total = "" if gates == self.expanded else f", bringing the program's expanded gates to {self.expanded}"
            raise QasmError(f"gate '{name}'{self.place(node)} expands to {gates} gates{total}; the simulator "
                            f"expands definitions into at most {MAX_EXPANDED_GATES}")
        if self.copies > MAX_DEFINITION_COPIES:
            raise QasmError(f"gate '{name}'{self.place(node)} brings the gates that the program's definitions "
                            f"apply to {self.copies} copies; the OpenQASM 3 loader copies a definition each "
                            f"time its gate is applied and takes at most {MAX_DEFINITION_COPIES}")


def _blocks(node):
    """The statement lists nested in a control-flow statement."""
    if isinstance(node, (ast.ForInLoop, ast.WhileLoop)):
        return [node.block]
    if isinstance(node, ast.BranchingStatement):
        return [node.if_block, node.else_block]
    if isinstance(node, ast.SwitchStatement):
        return [body.statements for _, body in node.cases] + ([node.default.statements] if node.default else [])
    if isinstance(node, ast.Box):
        return [node.body]
    if isinstance(node, ast.CompoundStatement):
        return [node.statements]
    return []
