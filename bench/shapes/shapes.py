"""Circuits whose shape our other benches do not have, as neutral circuits
(bench/peers/circuits.py describes the form):

- "scatter" (shape A): each cycle a random one-qubit gate on every qubit,
  then a two-qubit gate on every pair of a random perfect matching, so pairs
  lie anywhere in the register, far apart as often as not;
- "qv" (shape B): quantum-volume blocks, bench/peers' quantum_volume (random
  SU(4) as Euler rotations and three CNOTs on n/2 random pairs, depth n);
- "ising": Trotterised transverse-field Ising chain (ZZ as cx rz cx, then
  rx on every qubit), as the QASMBench program of that name is written;
- "adder": Cuccaro's ripple-carry adder with ccx and cx, as QASMBench's.

Pure Python, so either venv can write them.
"""

import os
import random
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "peers"))
from circuits import ONE_QUBIT, _one_qubit_gate, quantum_volume  # noqa: E402

# The two-qubit gates of a scatter cycle: cz and cx, as the usual random
# circuit generators draw them.
SCATTER_PAIR_GATES = ("ZCON", "CNOT")


def scatter(n, cycles=None, seed=1):
    """Shape A: `cycles` (default n) layers of one-qubit gates on every qubit
    (mixing gates only: a phase would fuse away) and gates on n // 2 random
    pairs."""
    rng = random.Random("scatter-%d-%s-%d" % (n, cycles, seed))
    mixing = [g for g in ONE_QUBIT if g in ("H", "X90", "Y90", "Rx", "Ry")]
    ops = []
    for _ in range(cycles or n):
        for q in range(n):
            op = _one_qubit_gate(rng, q)
            while op["g"] not in mixing:
                op = _one_qubit_gate(rng, q)
            ops.append(op)
        qubits = list(range(n))
        rng.shuffle(qubits)
        for a, b in zip(qubits[0::2], qubits[1::2]):
            ops.append({"g": rng.choice(SCATTER_PAIR_GATES), "q": [a, b]})
    return {"name": "scatter-n%d-c%d" % (n, cycles or n), "family": "scatter", "n": n, "clbits": 0, "ops": ops}


def qv(n, seed=1):
    circuit = quantum_volume(n, seed)
    circuit["family"] = "qv"
    return circuit


def ising(n, steps=None, coupling=1.0, field=0.7, dt=0.25):
    """From |+...+>, `steps` (default n) Trotter steps of exp(-i J dt ZZ) on
    each neighbouring pair and exp(-i h dt X) on each qubit."""
    ops = [{"g": "H", "q": [q]} for q in range(n)]
    for _ in range(steps or n):
        for i in range(n - 1):
            ops += [{"g": "CNOT", "q": [i, i + 1]}, {"g": "Rz", "q": [i + 1], "p": [2 * coupling * dt]},
                    {"g": "CNOT", "q": [i, i + 1]}]
        ops += [{"g": "Rx", "q": [q], "p": [2 * field * dt]} for q in range(n)]
    return {"name": "ising-n%d-s%d" % (n, steps or n), "family": "ising", "n": n, "clbits": 0, "ops": ops}


def _toffoli_gates(c1, c2, t):
    """CCX as the suites' decomposed programs write it: six cx, seven T or
    T-dagger and two H on the target (exact up to rounding)."""
    def one(g, q):
        return {"g": g, "q": [q]}

    def cx(c, x):
        return {"g": "CNOT", "q": [c, x]}

    return [one("H", t), cx(c2, t), one("Td", t), cx(c1, t), one("T", t), cx(c2, t), one("Td", t), cx(c1, t),
            one("T", c2), one("T", t), one("H", t), cx(c1, c2), one("T", c1), one("Td", c2), cx(c1, c2)]


def adder(n, decomposed=0):
    """b += a on (n - 2) / 2 bits with carry in (qubit 0) and out (the last),
    a and b interleaved as Cuccaro's layout has them; both inputs put in an
    equal superposition by H, so every amplitude is touched. With
    `decomposed`, every ccx is written as one- and two-qubit gates."""
    k = (n - 2) // 2
    if 2 * k + 2 != n:
        raise ValueError("the adder takes an even qubit count, not %d" % n)
    a = [1 + 2 * i for i in range(k)]
    b = [2 + 2 * i for i in range(k)]
    cin, cout = 0, n - 1
    ops = [{"g": "H", "q": [q]} for q in a + b]

    def cx(c, t):
        ops.append({"g": "CNOT", "q": [c, t]})

    def ccx(c1, c2, t):
        ops.extend(_toffoli_gates(c1, c2, t) if decomposed else [{"g": "CCX", "q": [c1, c2, t]}])

    def majority(x, y, z):
        cx(z, y), cx(z, x), ccx(x, y, z)

    def unmajority(x, y, z):
        ccx(x, y, z), cx(z, x), cx(x, y)

    majority(cin, b[0], a[0])
    for i in range(1, k):
        majority(a[i - 1], b[i], a[i])
    cx(a[k - 1], cout)
    for i in range(k - 1, 0, -1):
        unmajority(a[i - 1], b[i], a[i])
    unmajority(cin, b[0], a[0])
    return {"name": "adder-n%d%s" % (n, "-t" if decomposed else ""), "family": "adder", "n": n, "clbits": 0, "ops": ops}


FAMILIES = {"scatter": scatter, "qv": qv, "ising": ising, "adder": adder}


def make(spec):
    """A circuit from "family:n[:k]" ("scatter:22", "ising:26:10", "adder:28:1"):
    k is the cycles of scatter, the steps of ising, `decomposed` of adder."""
    family, *numbers = spec.split(":")
    if family not in FAMILIES or not 1 <= len(numbers) <= 2:
        raise ValueError("no circuit %r (FAMILY:N[:K], families %s)" % (spec, ", ".join(sorted(FAMILIES))))
    return FAMILIES[family](*[int(x) for x in numbers])

