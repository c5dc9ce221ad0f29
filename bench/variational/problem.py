"""The variational workload every engine of the race runs: an EfficientSU2
ansatz (Ry and Rz on every qubit per layer, a CX chain between layers), a
sum of random Pauli terms, and random parameter sets, all from one seed."""

import numpy as np


def ansatz(n, reps):
    """[(gate, qubits, parameter index or None)], parameters numbered in order."""
    gates, k = [], 0
    for layer in range(reps + 1):
        for axis in ("ry", "rz"):
            for q in range(n):
                gates.append((axis, (q,), k))
                k += 1
        if layer < reps:
            for q in range(n - 1):
                gates.append(("cx", (q, q + 1), None))
    return gates, k


def terms(n, count, seed):
    """[(Paulis, coefficient)], character q acting on qubit q."""
    rng = np.random.default_rng(seed)
    return [("".join(rng.choice(list("IXYZ"), n)), float(c)) for c in rng.normal(size=count)]


def parameter_sets(count, parameters, seed):
    return np.random.default_rng(seed + 1).uniform(-np.pi, np.pi, (count, parameters))


CASES = {
    # name: (qubits, reps, sets, terms)
    "n12-sets1000-terms20": (12, 3, 1000, 20),
    "n20-sets50-terms100": (20, 3, 50, 100),
    "n6-overhead": (6, 3, 2000, 20),
}
