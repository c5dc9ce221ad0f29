"""Hidden classical bits that hold a condition computed once.

An operation under a condition reads its bits when it runs. Where a
branch point's condition must be read once, at the ``if`` or ``switch``
(an arm measures into a bit that the condition reads, and something runs
after that), or where it is no single graph comparison and reads too many
bits to be written as its values, the lowering computes it into a hidden
bit with "STORE" vertices and conditions the arm on that bit alone.

Hidden bits come after the circuit's own, each a register of one bit, and
nothing measures into them: results keyed by the measured bits never show
them. A bit is taken from a pool and given back once its arm is emitted,
so a loop unrolled a thousand times reuses the same few bits.
"""

from . import conditions
from ..builder import EQUAL


def holds_at(flag):
    """The graph comparison "the hidden bit `flag` is 1"."""
    return ([flag], EQUAL, 1)


class FlagBits:
    """Computes predicates into hidden bits of `builder`, numbered from
    `first`. `refuse(why)` raises the front end's error for a predicate
    that even hidden bits cannot compute (a single test of too many bits)."""

    def __init__(self, builder, first):
        self._builder = builder
        self._first = first
        self._next = first
        self._free = []
        self._pinned = set()

    def take(self):
        """A hidden bit no one reads, declared on first use."""
        if self._free:
            return self._free.pop()
        flag = self._next
        self._next += 1
        self._builder.creg(1, first=flag)
        return flag

    def give_back(self, flag):
        if flag not in self._pinned:
            self._free.append(flag)

    def pin(self, bits):
        """Hidden bits among `bits` that a loop's break or continue read:
        which branches left is told by them to the end of the loop, so they
        are never given back to be written again."""
        self._pinned.update(b for b in bits if b >= self._first)

    def assign(self, flag, predicate, refuse):
        """flag := whether `predicate` holds, in every branch."""
        comparisons = conditions.stored(predicate)
        if comparisons is not None:
            self._store(flag, 0)
            for comparison in comparisons:
                self._store(flag, 1, comparison)
            return
        if predicate.parts is None:
            conditions.conjoin(None, predicate, refuse)  # refuses, naming the bits
            raise AssertionError("a condition too wide to expand was expanded")
        kind, parts = predicate.parts
        # A conjunction starts true and is cleared where a part fails; a
        # disjunction starts false and is set where a part holds.
        self._store(flag, int(kind == "and"))
        for part in parts:
            if kind == "and":
                self._set_where(flag, 0, part.negated(), refuse)
            else:
                self._set_where(flag, 1, part, refuse)

    def _set_where(self, flag, value, predicate, refuse):
        """flag := value where `predicate` holds; elsewhere it is kept."""
        comparisons = conditions.stored(predicate)
        if comparisons is not None:
            for comparison in comparisons:
                self._store(flag, value, comparison)
        elif predicate.parts is not None and predicate.parts[0] == "or":
            for part in predicate.parts[1]:
                self._set_where(flag, value, part, refuse)
        else:
            temporary = self.take()
            self.assign(temporary, predicate, refuse)
            self._store(flag, value, holds_at(temporary))
            self.give_back(temporary)

    def _store(self, flag, value, comparison=None):
        # An empty comparison list marks "always": the store is unconditioned.
        if comparison is not None and not comparison[0]:
            comparison = None
        self._builder.store(flag, value, condition=comparison)
