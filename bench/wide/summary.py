"""What the engines' outputs are compared by, without writing 2^28 doubles
to disk: per-qubit marginals, the sum of squares and the largest entries.

Every engine maps its probability vector to the same description, with
keys written as kovra writes them (qubit 0 first), whatever its own index
order. numpy only, so both venvs use it.
"""

import numpy as np

TOP = 8
# Outputs agree when the marginals and the largest entries are within this
# (qsim computes in single precision) and the sums of squares within
# SQUARES_RTOL of each other.
ATOL = 1e-6
SQUARES_RTOL = 1e-4


def describe(p, n, qubit0_high):
    """`p` holds 2^n probabilities; qubit 0 is the index's highest bit when
    `qubit0_high` (kovra, qsim), its lowest otherwise (Aer)."""
    p = np.asarray(p, dtype=np.float64)
    assert p.shape == (1 << n,)
    ones = []
    for q in range(n):
        bit = n - 1 - q if qubit0_high else q
        ones.append(float(p.reshape(1 << (n - 1 - bit), 2, 1 << bit)[:, 1, :].sum()))
    top = np.argpartition(p, -TOP)[-TOP:] if p.size > TOP else np.arange(p.size)
    keys = {}
    for index in top:
        digits = format(int(index), "0%db" % n)
        keys[digits if qubit0_high else digits[::-1]] = float(p[index])
    return {"n": n, "total": float(p.sum()), "squares": float(np.dot(p, p)), "ones": ones, "top": keys}


def differences(mine, theirs):
    """The largest disagreements between two descriptions: of a marginal,
    of an entry among either's largest (an entry missing from the other's
    largest counts against that side's smallest listed), and the relative
    one of the sums of squares."""
    ones = max(abs(a - b) for a, b in zip(mine["ones"], theirs["ones"]))
    top = 0.0
    for a, b in ((mine, theirs), (theirs, mine)):
        floor = min(b["top"].values())
        for key, value in a["top"].items():
            other = b["top"].get(key)
            top = max(top, abs(value - other) if other is not None else max(0.0, value - floor))
    squares = abs(mine["squares"] - theirs["squares"]) / max(mine["squares"], 1e-300)
    return {"marginals": ones, "top": top, "squares_rel": squares}


def agree(diff):
    return diff["marginals"] <= ATOL and diff["top"] <= ATOL and diff["squares_rel"] <= SQUARES_RTOL
