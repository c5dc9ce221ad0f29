"""Random circuits and run configurations shared by the MPI worker
(mpi_worker.py, run under mpirun) and the tests that compare its ranks with
one process (test_distributed.py): both sides rebuild each case from its
seed, so only results cross the process boundary."""

import random

from kovra.builder import EQUAL, GREATER, LESS_EQUAL, NOT_EQUAL, CircuitBuilder

GATES = [
    ("H", 1), ("X", 1), ("Y", 1), ("Z", 1), ("X90", 1), ("Y90", 1), ("Z90", 1),
    ("S", 1), ("Sd", 1), ("T", 1), ("Td", 1), ("Rx", 1), ("Ry", 1), ("Rz", 1), ("P", 1),
    ("CNOT", 2), ("YCON", 2), ("ZCON", 2), ("CCX", 3),
]
ROTATIONS = ("Rx", "Ry", "Rz", "P")
RELATIONS = (EQUAL, NOT_EQUAL, GREATER, LESS_EQUAL)


def build(case):
    """The case's circuit (a CircuitBuilder) and run configuration."""
    rng = random.Random(case["seed"])
    n, clbits = case["qubits"], case.get("clbits", 0)
    b = CircuitBuilder()
    q = b.qreg(n)
    c = b.creg(clbits) if clbits else []
    written, measured = [], set()
    # Each use of a measured qubit adds a record qubit (doubling the
    # vector): allow a couple, keep the rest of the gates off measured ones.
    reuses_left = case.get("reuses", 0)
    for _ in range(case["gates"]):
        if clbits and rng.random() < case.get("measure_rate", 0) and len(measured) < n - 3:
            bit, qubit = rng.randrange(clbits), rng.randrange(n)
            b.measure([q[qubit]], [c[bit]])
            written.append(bit)
            measured.add(qubit)
            continue
        name, arity = rng.choice(GATES)
        free = [k for k in range(n) if k not in measured]
        if reuses_left and measured and rng.random() < 0.05:
            free, reuses_left = list(range(n)), reuses_left - 1
        qubits = rng.sample(free, arity)
        params = [rng.uniform(-3, 3)] if name in ROTATIONS else None
        condition = None
        if written and rng.random() < 0.4:
            bits = sorted(set(rng.sample(written, min(len(written), 2))))
            condition = ([c[k] for k in bits], rng.choice(RELATIONS), rng.randrange(1 << len(bits)))
        b.gate(name, [q[k] for k in qubits], params=params, condition=condition)
    config = {"shots": 1000}
    for key in ("mqubits", "mcbits", "parallel", "local_state", "fusion", "precision", "probabilities", "memory"):
        if key in case:
            config[key] = case[key]
    if "draw_seed" in case:
        config["seed"] = case["draw_seed"]
    if "observables" in case:
        # Random Pauli sums: their X and Y reach the rank qubits too.
        config["observables"] = [[("".join(rng.choice("IXYZ") for _ in range(n)), rng.uniform(-1, 1))
                                  for _ in range(4)] for _ in range(case["observables"])]
    return b, config


def outcome(result):
    """What a run reports, in a form that survives JSON exactly (floats as
    their repr, which reads back to the same double)."""
    return {
        "probabilities": {k: repr(v) for k, v in result.probabilities.items()},
        "counts": result.counts,
        "states": [[repr(a.real), repr(a.imag)] for a in result.states],
        "array": [repr(float(p)) for p in result.probability_array()],
        "expectations": [repr(v) for v in result.expectation_values],
        "memory": result.memory,
    }


def _unitary(seed, qubits, gates):
    return {"seed": seed, "qubits": qubits, "gates": gates}


def _measured(seed, qubits, gates, **extra):
    return {"seed": seed, "qubits": qubits, "gates": gates, "clbits": 4, "measure_rate": 0.12, **extra}


# Small enough to run in seconds under mpirun on two shared cores, large
# enough that every rank holds at least two local qubits on 4 ranks.
CASES = {
    "unitary-5": _unitary(1, 5, 60),
    "unitary-9": _unitary(2, 9, 200),
    "unitary-12": _unitary(3, 12, 300),
    "too-small-to-split": _unitary(4, 2, 20),
    "measured": _measured(5, 8, 150),
    "measured-mqubits": _measured(6, 9, 150, mqubits=[0, 3, 8]),
    "measured-mcbits": _measured(7, 9, 150, mcbits=[0, 1, 2, 3]),
    "measured-top-qubits": _measured(8, 7, 150, mqubits=[0, 1]),
    "measured-reused": _measured(10, 7, 150, reuses=2, mcbits=[3, 1]),
    "parallel-flag": _unitary(9, 7, 80) | {"parallel": True},
    "unitary-mqubits": _unitary(11, 10, 200) | {"mqubits": [9, 2, 5]},
    "reused-mqubits": _measured(12, 7, 150, reuses=2, mqubits=[1, 4]),
    # Each rank's own slice of the state vector instead of the whole.
    "local-state": _unitary(13, 10, 150) | {"local_state": True, "mqubits": [3]},
    # Each stretch between exchanges fused on the slice.
    "fused": _unitary(14, 12, 300) | {"fusion": True},
    "fused-measured": _measured(15, 10, 200, fusion=True, mqubits=[2, 7]),
    # Expectation values reduced over the ranks, the state never gathered.
    "observables": _unitary(16, 9, 200) | {"observables": 3},
    "observables-measured": _measured(17, 9, 150, observables=3, mqubits=[0]),
    # Float slices, exchanged as floats.
    "single": _unitary(21, 12, 300) | {"precision": "single"},
    "single-measured": _measured(22, 10, 200, precision="single", mqubits=[2, 7], observables=2),
    "single-local-state": _unitary(23, 10, 150) | {"precision": "single", "local_state": True, "observables": 2},
    # Shots drawn from the amplitudes: each rank draws in its own slice, and
    # every rank reports the draws one process makes from the same seed.
    "drawn": _unitary(18, 12, 300) | {"probabilities": False, "memory": True, "draw_seed": 5},
    "drawn-mqubits-fused": _unitary(19, 11, 200) | {"probabilities": False, "mqubits": [1, 6, 10], "draw_seed": 6,
                                                    "fusion": True},
    "drawn-mcbits-reused": _measured(20, 10, 150, reuses=1, mcbits=[0, 1, 2, 3], probabilities=False, memory=True,
                                     draw_seed=7),
    "drawn-too-small-to-split": _unitary(4, 2, 20) | {"probabilities": False, "memory": True, "draw_seed": 8},
}
