"""Classical conditions beyond one comparison: nested ``if_test``, ``else``
branches, ``switch`` cases and conditions written as classical expressions
(``qiskit.circuit.classical.expr``).

The graph compares one list of bits with one value. A condition that is no
such comparison is written as the disjoint values of its bits that satisfy
it: each becomes an "equal" comparison over all the bits it reads, and the
conditioned gate is applied once per value. Exactly one value holds in every
branch, so every branch gets the gate once or not at all, as it should.
"""

from qiskit.circuit import CASE_DEFAULT, Clbit, ClassicalRegister
from qiskit.circuit.classical import expr

from .builder import EQUAL, GREATER, GREATER_EQUAL, LESS, LESS_EQUAL, NOT_EQUAL

# A condition over more bits than this is not expanded into its values.
MAX_CONDITION_BITS = 12

_RELATIONS = {
    EQUAL: lambda a, b: a == b, NOT_EQUAL: lambda a, b: a != b, LESS: lambda a, b: a < b,
    LESS_EQUAL: lambda a, b: a <= b, GREATER: lambda a, b: a > b, GREATER_EQUAL: lambda a, b: a >= b,
}
_OPPOSITE = {EQUAL: NOT_EQUAL, NOT_EQUAL: EQUAL, LESS: GREATER_EQUAL, GREATER_EQUAL: LESS, GREATER: LESS_EQUAL,
             LESS_EQUAL: GREATER}
_BINARY = {
    expr.Binary.Op.BIT_AND: lambda a, b: a & b, expr.Binary.Op.BIT_OR: lambda a, b: a | b,
    expr.Binary.Op.BIT_XOR: lambda a, b: a ^ b,
    expr.Binary.Op.LOGIC_AND: lambda a, b: bool(a) and bool(b),
    expr.Binary.Op.LOGIC_OR: lambda a, b: bool(a) or bool(b),
    expr.Binary.Op.EQUAL: lambda a, b: a == b, expr.Binary.Op.NOT_EQUAL: lambda a, b: a != b,
    expr.Binary.Op.LESS: lambda a, b: a < b, expr.Binary.Op.LESS_EQUAL: lambda a, b: a <= b,
    expr.Binary.Op.GREATER: lambda a, b: a > b, expr.Binary.Op.GREATER_EQUAL: lambda a, b: a >= b,
}


class Predicate:
    """A test of some classical bits (graph indices, ascending): `holds(values)`
    for {bit: 0 or 1}."""

    def __init__(self, bits, holds, simple=None):
        self.bits = sorted(set(bits))
        self.holds = holds
        self.simple = simple  # (bits, relation, constant) when one graph comparison says it

    def negated(self):
        simple = None
        if self.simple is not None:
            bits, relation, constant = self.simple
            simple = (bits, _OPPOSITE[relation], constant)
        return Predicate(self.bits, lambda values: not self.holds(values), simple)


def comparison(bits, relation, constant):
    """The graph's own comparison: the bits (ascending) form a number with
    the highest-numbered bit most significant."""

    def holds(values):
        number = sum(values[b] << k for k, b in enumerate(bits))
        return _RELATIONS[relation](number, constant)

    return Predicate(bits, holds, simple=(list(bits), relation, constant))


def _register_value(indices, values):
    """A register's value from its bits, its own bit 0 least significant."""
    return sum(values[index] << k for k, index in enumerate(indices))


def _evaluate(circuit, n, values, refuse):
    """The value of expression `n` where the bits read `values`."""
    if isinstance(n, expr.Value):
        return int(n.value)
    if isinstance(n, expr.Var):
        if isinstance(n.var, Clbit):
            return values[circuit.find_bit(n.var).index]
        if isinstance(n.var, ClassicalRegister):
            return _register_value([circuit.find_bit(b).index for b in n.var], values)
        refuse(f"reads the variable {n.var}, which is neither a bit nor a register")
    if isinstance(n, expr.Cast):
        return _evaluate(circuit, n.operand, values, refuse)
    if isinstance(n, expr.Unary):
        value = _evaluate(circuit, n.operand, values, refuse)
        if n.op == expr.Unary.Op.LOGIC_NOT:
            return int(not value)
        return ~value & ((1 << getattr(n.type, "width", 1)) - 1)
    if isinstance(n, expr.Binary) and n.op in _BINARY:
        return int(_BINARY[n.op](_evaluate(circuit, n.left, values, refuse),
                                 _evaluate(circuit, n.right, values, refuse)))
    refuse(f"has the classical expression {n}, which is not supported")


def _bits_read(circuit, n):
    """The graph indices of every bit expression `n` reads."""
    if isinstance(n, expr.Var) and isinstance(n.var, Clbit):
        return {circuit.find_bit(n.var).index}
    if isinstance(n, expr.Var) and isinstance(n.var, ClassicalRegister):
        return {circuit.find_bit(b).index for b in n.var}
    read = set()
    for child in ("operand", "left", "right"):
        if hasattr(n, child):
            read |= _bits_read(circuit, getattr(n, child))
    return read


def of_expression(circuit, node, refuse):
    """A Predicate for a Qiskit classical expression over bits and registers."""
    return Predicate(_bits_read(circuit, node), lambda values: bool(_evaluate(circuit, node, values, refuse)))


def of_case(circuit, target, values, others, refuse):
    """The predicate of a switch case: the target takes one of `values`
    (CASE_DEFAULT: none of the other cases' values, `others`)."""
    if isinstance(target, expr.Expr):
        bits = _bits_read(circuit, target)
        read = lambda v: _evaluate(circuit, target, v, refuse)  # noqa: E731
    else:
        indices = [circuit.find_bit(b).index for b in ([target] if isinstance(target, Clbit) else target)]
        bits = indices
        read = lambda v: _register_value(indices, v)  # noqa: E731
    if CASE_DEFAULT in values:
        return Predicate(bits, lambda v: read(v) not in others)
    wanted = {int(x) for x in values}
    return Predicate(bits, lambda v: read(v) in wanted)


def conjoin(outer, predicate, refuse):
    """The comparisons that say `outer` (a list of them, or None) and
    `predicate` both hold: one comparison when that is all it takes, else
    the satisfying values of every bit read, each an "equal" comparison."""
    if outer is None and predicate.simple is not None:
        return [predicate.simple]
    parts = [comparison(*c) for c in outer] if outer else []
    bits = sorted(set(predicate.bits).union(*(p.bits for p in parts)))
    if len(bits) > MAX_CONDITION_BITS:
        refuse(f"is conditioned on {len(bits)} classical bits together; at most {MAX_CONDITION_BITS} are "
               "expanded into their values")
    out = []
    for number in range(1 << len(bits)):
        values = {b: (number >> k) & 1 for k, b in enumerate(bits)}
        if predicate.holds(values) and (not parts or any(p.holds(values) for p in parts)):
            out.append((bits, EQUAL, number))
    return out
