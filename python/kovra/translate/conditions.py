"""Classical conditions beyond one comparison: nested ``if_test``, ``else``
branches, ``switch`` cases and conditions written as classical expressions
(``qiskit.circuit.classical.expr``).

The graph compares one list of bits with one value. A condition that is no
such comparison is written as the disjoint values of its bits that satisfy
it: each becomes an "equal" comparison over all the bits it reads, and the
conditioned gate is applied once per value. Exactly one value holds in every
branch, so every branch gets the gate once or not at all, as it should.

Past MAX_CONDITION_BITS bits there are too many values to list: a test that
is one graph comparison (``v < 2**69``, a switch case ``v == k``) is taken
as that comparison, and the lowering computes conjunctions, disjunctions and
switch defaults of such tests into hidden bits (``flags``).
"""

from qiskit.circuit import CASE_DEFAULT, Clbit, ClassicalRegister
from qiskit.circuit.classical import expr

from ..builder import EQUAL, GREATER, GREATER_EQUAL, LESS, LESS_EQUAL, NOT_EQUAL

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


_FLIPPED = {EQUAL: EQUAL, NOT_EQUAL: NOT_EQUAL, LESS: GREATER, GREATER: LESS, LESS_EQUAL: GREATER_EQUAL,
            GREATER_EQUAL: LESS_EQUAL}
_COMPARISONS = {
    expr.Binary.Op.EQUAL: EQUAL, expr.Binary.Op.NOT_EQUAL: NOT_EQUAL, expr.Binary.Op.LESS: LESS,
    expr.Binary.Op.LESS_EQUAL: LESS_EQUAL, expr.Binary.Op.GREATER: GREATER,
    expr.Binary.Op.GREATER_EQUAL: GREATER_EQUAL,
}


def _opposite(comparison):
    if comparison is None:
        return None
    bits, relation, constant = comparison
    return (bits, _OPPOSITE[relation], constant)


class Predicate:
    """A test of some classical bits (graph indices, ascending): `holds(values)`
    for {bit: 0 or 1}.

    `simple` is the one graph comparison the test is always written as (a
    bit or register compared with a value); `single` one that says the same
    but is used only where the bits are too many to list their values, so
    that narrow conditions lower as they always have. `parts` is ("and" or
    "or", [Predicate, ...]) for a conjunction or disjunction of tests."""

    def __init__(self, bits, holds, simple=None, single=None, parts=None):
        self.bits = sorted(set(bits))
        self.holds = holds
        self.simple = simple
        self.single = single
        self.parts = parts

    def negated(self):
        parts = None
        if self.parts is not None:
            kind, inner = self.parts
            parts = ("or" if kind == "and" else "and", [p.negated() for p in inner])
        return Predicate(self.bits, lambda values: not self.holds(values), _opposite(self.simple),
                         _opposite(self.single), parts)


def any_of(comparisons):
    """A Predicate for "one of these graph comparisons holds"."""
    parts = [comparison(*c) for c in comparisons]
    bits = set().union(*(p.bits for p in parts))
    if len(parts) == 1:
        return parts[0]
    return Predicate(bits, lambda values: any(p.holds(values) for p in parts), parts=("or", parts))


def both(outer, predicate):
    """`predicate` under the comparisons `outer` (None: under no condition)."""
    if outer is None:
        return predicate
    around = any_of(outer)
    return Predicate(set(around.bits) | set(predicate.bits),
                     lambda values: around.holds(values) and predicate.holds(values),
                     parts=("and", [around, predicate]))


def _graph_comparison(indices, relation, value):
    """The graph comparison of the number a register's bits `indices` form
    (its bit 0 least significant) with `value`, or None. The graph makes the
    highest-numbered bit most significant: bits in ascending order form the
    same number; otherwise only (in)equality survives, with the value's bits
    put in the graph's order."""
    if list(indices) == sorted(indices):
        return (list(indices), relation, value)
    if relation not in (EQUAL, NOT_EQUAL):
        return None
    if not 0 <= value < 2 ** len(indices):
        return (sorted(indices), relation, value)
    rank = {index: r for r, index in enumerate(sorted(indices))}
    constant = sum(((value >> k) & 1) << rank[index] for k, index in enumerate(indices))
    return (sorted(indices), relation, constant)


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


def _operand(circuit, n):
    """A comparison's side: ("bits", the register's indices, its bit 0
    first), ("value", int), or None."""
    while isinstance(n, expr.Cast):
        n = n.operand
    if isinstance(n, expr.Value):
        return ("value", int(n.value))
    if isinstance(n, expr.Var) and isinstance(n.var, Clbit):
        return ("bits", [circuit.find_bit(n.var).index])
    if isinstance(n, expr.Var) and isinstance(n.var, ClassicalRegister):
        return ("bits", [circuit.find_bit(b).index for b in n.var])
    return None


def _single(circuit, n):
    """The one graph comparison that expression `n` is, or None: a bit or
    register compared with a value, a bit read as true, a register as
    nonzero."""
    if isinstance(n, expr.Unary) and n.op == expr.Unary.Op.LOGIC_NOT:
        return _opposite(_single(circuit, n.operand))
    if isinstance(n, expr.Binary) and n.op in _COMPARISONS:
        left, right = _operand(circuit, n.left), _operand(circuit, n.right)
        relation = _COMPARISONS[n.op]
        if left and right and left[0] == "value" and right[0] == "bits":
            left, right, relation = right, left, _FLIPPED[relation]
        if left and right and left[0] == "bits" and right[0] == "value":
            return _graph_comparison(left[1], relation, right[1])
        return None
    side = _operand(circuit, n)
    if side is not None and side[0] == "bits":
        return _graph_comparison(side[1], NOT_EQUAL, 0)
    return None


def of_expression(circuit, node, refuse):
    """A Predicate for a Qiskit classical expression over bits and registers."""
    if isinstance(node, expr.Unary) and node.op == expr.Unary.Op.LOGIC_NOT:
        return of_expression(circuit, node.operand, refuse).negated()
    parts = None
    if isinstance(node, expr.Binary) and node.op in (expr.Binary.Op.LOGIC_AND, expr.Binary.Op.LOGIC_OR):
        kind = "and" if node.op == expr.Binary.Op.LOGIC_AND else "or"
        parts = (kind, [of_expression(circuit, side, refuse) for side in (node.left, node.right)])
    return Predicate(_bits_read(circuit, node), lambda values: bool(_evaluate(circuit, node, values, refuse)),
                     single=_single(circuit, node), parts=parts)


def of_case(circuit, target, values, others, refuse):
    """The predicate of a switch case: the target takes one of `values`
    (CASE_DEFAULT: none of the other cases' values, `others`)."""
    indices = None
    if isinstance(target, expr.Expr):
        bits = _bits_read(circuit, target)
        read = lambda v: _evaluate(circuit, target, v, refuse)  # noqa: E731
        side = _operand(circuit, target)
        indices = side[1] if side is not None and side[0] == "bits" else None
    else:
        indices = [circuit.find_bit(b).index for b in ([target] if isinstance(target, Clbit) else target)]
        bits = indices
        read = lambda v: _register_value(indices, v)  # noqa: E731

    def equals(value, relation=EQUAL):
        # One value, or (NOT_EQUAL) all but one; the comparison when the
        # target is a bit or register.
        single = None if indices is None else _graph_comparison(indices, relation, value)
        if relation == EQUAL:
            return Predicate(bits, lambda v: read(v) == value, single=single)
        return Predicate(bits, lambda v: read(v) != value, single=single)

    if CASE_DEFAULT in values:
        parts = ("and", [equals(x, NOT_EQUAL) for x in sorted(others)])
        return Predicate(bits, lambda v: read(v) not in others, parts=parts)
    wanted = {int(x) for x in values}
    if len(wanted) == 1:
        return equals(next(iter(wanted)))
    return Predicate(bits, lambda v: read(v) in wanted, parts=("or", [equals(x) for x in sorted(wanted)]))


def _bits_of(outer, predicate):
    parts = [comparison(*c) for c in outer] if outer else []
    return parts, sorted(set(predicate.bits).union(*(p.bits for p in parts)))


def expandable(outer, predicate):
    """Whether `conjoin` can write `outer` and `predicate` as comparisons."""
    if outer is None and (predicate.simple is not None or predicate.single is not None):
        return True
    return len(_bits_of(outer, predicate)[1]) <= MAX_CONDITION_BITS


def stored(predicate):
    """The comparisons under which a hidden bit is set to hold `predicate`
    (an empty bit list: always), or None when it takes more than that."""
    if predicate.simple is not None or predicate.single is not None:
        return [predicate.simple or predicate.single]
    if len(predicate.bits) > MAX_CONDITION_BITS:
        return None
    return conjoin(None, predicate, None)


def conjoin(outer, predicate, refuse):
    """The comparisons that say `outer` (a list of them, or None) and
    `predicate` both hold: one comparison when that is all it takes, else
    the satisfying values of every bit read, each an "equal" comparison."""
    if outer is None and predicate.simple is not None:
        return [predicate.simple]
    parts, bits = _bits_of(outer, predicate)
    if len(bits) > MAX_CONDITION_BITS:
        if outer is None and predicate.single is not None:
            return [predicate.single]
        refuse(f"is conditioned on {len(bits)} classical bits together; at most {MAX_CONDITION_BITS} are "
               "expanded into their values")
    out = []
    for number in range(1 << len(bits)):
        values = {b: (number >> k) & 1 for k, b in enumerate(bits)}
        if predicate.holds(values) and (not parts or any(p.holds(values) for p in parts)):
            out.append((bits, EQUAL, number))
    return out
