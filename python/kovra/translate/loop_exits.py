"""`break` and `continue` in a loop that the lowering unrolls.

The graph has no classical variable that could remember that a branch left
the loop. What it has is the condition the branch left under: a `break`
reached under the comparisons K (the loop's own condition, the arms around
the statement, and not those of a `continue` reached before it in the same
iteration) stops exactly the branches where K holds, so everything
after it in the loop runs under "not K", and so does everything after a
`continue` up to the end of its iteration. That is exact as long as K still
reads what it read when the statement ran, and it does: the branches that
left skip every later measurement of the loop, so their bits stay as they
were. The branches still in the loop may measure into a bit that K reads;
"not K" then no longer tells who left, until the statement is reached again
in the next iteration and asks again (those that now satisfy K leave there,
as they should). What runs in between, under a condition that no longer
says it, is refused, naming the statement.
"""

import contextlib

from . import conditions

BREAK, CONTINUE = "break_loop", "continue_loop"
NAMES = frozenset({BREAK, CONTINUE})


class _Exit:
    """A `break` or `continue` reached: the comparisons it left under (None:
    always), the bits they read, and whether a measurement has written one
    since it was last reached."""

    def __init__(self, name, comparisons, entry):
        self.name = name
        self.bits = set() if not comparisons else _watched(comparisons, entry)
        self.stays = None if comparisons is None else _NEVER if not comparisons else _none_of(comparisons)
        self.written = False


# The `stays` of an exit that no branch reached: it leaves every branch in.
_NEVER = conditions.Predicate([], lambda values: True)


def _watched(comparisons, entry):
    """The bits whose rewriting can change which branches the exit tells
    left: those its comparisons read, less those of the loop's own
    condition `entry` (comparisons) where the exit's own test does not read
    them. Every instruction of the loop runs under `entry` anyway, so a
    branch whose `entry` a measurement turns false is not taken for one
    that left; a while loop's body rewrites its condition's bits as a rule."""
    bits = {b for c in comparisons for b in c[0]}
    entry_bits = {b for c in entry or [] for b in c[0]}
    if not entry_bits or not entry_bits <= bits or len(bits) > conditions.MAX_CONDITION_BITS:
        return bits
    others = sorted(bits - entry_bits)
    inside, within = _none_of(comparisons), _none_of(entry)
    for number in range(1 << len(others)):
        values = {b: (number >> k) & 1 for k, b in enumerate(others)}
        seen = set()
        for inner in range(1 << len(entry_bits)):
            values.update({b: (inner >> k) & 1 for k, b in enumerate(sorted(entry_bits))})
            if not within.holds(values):  # the loop's condition holds here
                seen.add(inside.holds(values))
        if len(seen) > 1:
            return bits  # the exit's own test reads the loop's bits too
    return set(others)


def _none_of(comparisons):
    parts = [conditions.comparison(*c) for c in comparisons]
    return conditions.Predicate({b for p in parts for b in p.bits},
                                lambda values: not any(p.holds(values) for p in parts))


class _Loop:
    def __init__(self, entry):
        self.entry = entry  # the comparisons every iteration runs under, or None
        self.breaks = []  # in the order the body reaches them; they last to the loop's end
        self.continues = []  # those of the current iteration
        self.breaks_reached = 0  # in the current iteration

    def exits(self):
        return self.breaks + self.continues


class LoopExits:
    """The exits of the loops being unrolled, innermost last."""

    def __init__(self, refuse):
        self._refuse = refuse  # (name, why) -> raises
        self._loops = []
        self._guarded = {}  # condition -> the condition under the exits reached

    @contextlib.contextmanager
    def loop(self, entry=None):
        """A loop being unrolled; `entry`: the comparisons its body runs
        under, when they read bits that the body may rewrite (a while loop's
        condition)."""
        self._loops.append(_Loop(entry))
        self._guarded.clear()
        try:
            yield
        finally:
            self._loops.pop()
            self._guarded.clear()

    def iteration(self):
        """Starts an iteration of the innermost loop: its continues are over.
        False once a break stops every branch: nothing is left to unroll."""
        loop = self._loops[-1]
        if any(e.stays is None for e in loop.breaks):
            return False
        loop.continues = []
        loop.breaks_reached = 0
        self._guarded.clear()
        return True

    def reach(self, name, condition):
        """A break or continue reached under `condition` (comparisons, or
        None)."""
        if not self._loops:
            self._refuse(name, "is not inside a loop")
        loop = self._loops[-1]
        # The branches that went on to the next iteration earlier in this
        # one do not get here; a break must not take them out of it.
        condition = self._under(condition, loop.continues)
        # No branch reaches a statement under no comparison at all: it
        # stops none.
        dead = condition == []
        if name == CONTINUE:
            if not dead:
                loop.continues.append(_Exit(name, condition, loop.entry))
        elif loop.breaks_reached < len(loop.breaks):
            # The body unrolls the same way every iteration: the k-th break
            # reached is the statement that the k-th was last time, asking
            # again. Its old condition, read now, holds for the branches
            # that left then and for those that leave now.
            old = loop.breaks[loop.breaks_reached]
            if old.stays is _NEVER and not dead:
                loop.breaks[loop.breaks_reached] = _Exit(name, condition, loop.entry)
            elif not dead:
                old.written = False
            loop.breaks_reached += 1
        else:
            loop.breaks.append(_Exit(name, [] if dead else condition, loop.entry))
            loop.breaks_reached += 1
        self._guarded.clear()

    def guard(self, condition, name):
        """`condition` and, for each exit reached, "it did not hold": the
        comparisons under which an instruction still runs. [] when none
        does."""
        key = None if condition is None else tuple((tuple(b), r, c) for b, r, c in condition)
        if key not in self._guarded:
            self._guarded[key] = self._under(condition, [e for loop in self._loops for e in loop.exits()])
        return self._guarded[key]

    def _under(self, condition, exits):
        """`condition` and "none of `exits` held"."""
        exits = [e for e in exits if e.stays is not _NEVER]
        if not exits or condition == []:
            return condition
        if any(e.stays is None for e in exits):
            return []
        for e in exits:
            condition = conditions.conjoin(condition, e.stays, lambda why: self._refuse(e.name, why))
            if not condition:
                break
        return condition

    def check_current(self):
        """Refuses an instruction that would run under an exit whose bits a
        measurement has rewritten since the exit was reached."""
        for loop in self._loops:
            for e in loop.exits():
                if e.written:
                    word = "break" if e.name == BREAK else "continue"
                    self._refuse(e.name, f"is followed, in the same loop, by a measurement into a classical bit "
                                         f"its condition reads, and then by instructions before the loop reaches "
                                         f"the '{word}' again; which branches left the loop is then not known, "
                                         "so this is not supported")

    def wrote(self, clbit):
        for loop in self._loops:
            for e in loop.exits():
                if clbit in e.bits:
                    e.written = True
