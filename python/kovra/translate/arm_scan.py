"""Whether a branch point's condition must be read once, into a hidden bit.

Without hidden bits every operation in an arm carries the arm's condition
and reads its bits when it runs. That is the condition at the branch point
as long as no measurement in the arms has yet written one of those bits:
once one has, anything that follows in the same statement (the rest of the
arm, the ``else``, a later ``switch`` case) would read the new value. The
scan walks the arms in the order they are emitted and says whether that
happens; only then does the lowering compute hidden bits, so every other
program lowers to the graph it always had.

The scan may say yes where nothing would have been emitted after all (an
empty nested ``if``, say): that costs a few stores, never a wrong result.
The lowering checks the other way round as it emits.
"""

from .gate_table import lower
from .noise import CHANNEL_INSTRUCTIONS

_BRANCHING = ("if_else", "switch_case", "while_loop")


def writes_then_runs(lowering, blocks, qubits, read):
    """Whether, emitting `blocks` (on `qubits`) one after another, anything
    is emitted after a measurement into one of the bits `read`."""
    state = {"written": False}
    return any(_scan(lowering, block, qubits, read, state) for block in blocks)


def _scan(lowering, block, qubits, read, state):
    options = lowering.options
    for instruction in block.data:
        op = instruction.operation
        if op.name in options.skipped:
            continue
        targets = [qubits[block.find_bit(q).index] for q in instruction.qubits]
        if op.name in _BRANCHING:
            # Its hidden bits, its loop check, or its arms read conditions.
            if state["written"]:
                return True
            bodies = [b for b in op.blocks if b is not None]
            if op.name == "while_loop":
                bodies = bodies * min(options.while_limit, 2)
            if any(_scan(lowering, body, targets, read, state) for body in bodies):
                return True
            if op.name == "while_loop" and state["written"]:
                return True  # the loop's check reads the condition around it
        elif op.name == "for_loop":
            # Whatever the values bind, a body that holds anything may emit
            # something in every iteration: after a write, that counts.
            indexset, parameter, body = op.params
            holds = any(i.operation.name not in options.skipped for i in body.data)
            if not len(indexset) or not holds:
                continue
            if state["written"]:
                return True
            first = body.assign_parameters({parameter: indexset[0]}) if parameter in body.parameters else body
            if _scan(lowering, first, targets, read, state) or (len(indexset) > 1 and state["written"]):
                return True
        elif op.name == "measure":
            for clbit in instruction.clbits:
                if state["written"]:
                    return True
                if lowering.top_index(clbit) in read:
                    state["written"] = True
        elif op.name in ("break_loop", "continue_loop"):
            if state["written"]:
                return True  # it reads the arm's condition to tell who leaves
        elif op.name == "reset" or op.name in CHANNEL_INSTRUCTIONS:
            if state["written"]:
                return True
        elif (name := options.table_name(op)) is not None:
            if state["written"] and _gate_emits(lowering, name, op, targets):
                return True
        elif options.expands(op):
            if _scan(lowering, op.definition, targets, read, state):
                return True
    return False


def _gate_emits(lowering, name, op, targets):
    """Whether a gate of the table adds anything: a rotation by 0 adds no
    step, but noise on the gate still adds its channel."""
    noise = lowering.options.noise
    if noise is not None and noise.channel(op.name, targets) is not None:
        return True
    try:
        return bool(lower(name, [float(p) for p in op.params]))
    except (TypeError, ValueError):
        return True  # a free or odd angle: the emission decides, or refuses
