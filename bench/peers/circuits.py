"""Benchmark circuits as a neutral description that every runner reads.

A circuit is a dict:
    {"name": str, "family": str, "n": qubits, "clbits": classical bits,
     "ops": [op, ...]}
and an op is one of
    {"g": gate name, "q": [qubits], "p": [radians]}        (a gate; "p" only for Rx Ry Rz P)
    {"g": "MEASURE", "q": [qubit], "c": [clbit]}            (mid-circuit measurement)
    {"g": gate, "q": [...], "if": [clbit, 1]}               (applies when the bit is 1)
Gate names are kovra's; qubit 0 is the most significant bit of the state index.
Pure Python, so the project venv and the peers venv generate the same circuits.
"""

import math
import random

ONE_QUBIT = ["H", "X", "Y", "Z", "S", "Sd", "T", "Td", "X90", "Y90", "Rx", "Ry", "Rz", "P"]
ANGLED = {"Rx", "Ry", "Rz", "P"}
TWO_QUBIT = ["CNOT", "ZCON", "YCON"]


def _one_qubit_gate(rng, q):
    name = rng.choice(ONE_QUBIT)
    op = {"g": name, "q": [q]}
    if name in ANGLED:
        op["p"] = [rng.uniform(-2 * math.pi, 2 * math.pi)]
    return op


def random_layered(n, depth=20, seed=1):
    """Every layer touches each qubit once: a random one-qubit gate, or a
    share in a two-qubit gate (about 30%) or a Toffoli (about 5%)."""
    rng = random.Random(f"random-{n}-{depth}-{seed}")
    ops = []
    for _ in range(depth):
        qubits = list(range(n))
        rng.shuffle(qubits)
        while qubits:
            r = rng.random()
            if r < 0.05 and len(qubits) >= 3:
                ops.append({"g": "CCX", "q": [qubits.pop(), qubits.pop(), qubits.pop()]})
            elif r < 0.35 and len(qubits) >= 2:
                ops.append({"g": rng.choice(TWO_QUBIT), "q": [qubits.pop(), qubits.pop()]})
            else:
                ops.append(_one_qubit_gate(rng, qubits.pop()))
    return {"name": f"random-n{n}-d{depth}", "family": "random", "n": n, "clbits": 0, "ops": ops}


def qft(n, seed=1):
    """A random product state, then the quantum Fourier transform with every
    controlled phase written as P and CNOT."""
    rng = random.Random(f"qft-{n}-{seed}")
    ops = []
    for q in range(n):
        ops.append({"g": "Ry", "q": [q], "p": [rng.uniform(0, math.pi)]})
        ops.append({"g": "Rz", "q": [q], "p": [rng.uniform(0, 2 * math.pi)]})
    for target in range(n):
        ops.append({"g": "H", "q": [target]})
        for control in range(target + 1, n):
            half = math.pi / 2 ** (control - target) / 2
            ops += [
                {"g": "P", "q": [control], "p": [half]},
                {"g": "CNOT", "q": [control, target]},
                {"g": "P", "q": [target], "p": [-half]},
                {"g": "CNOT", "q": [control, target]},
                {"g": "P", "q": [target], "p": [half]},
            ]
    return {"name": f"qft-n{n}", "family": "qft", "n": n, "clbits": 0, "ops": ops}


def teleport_chain(n, steps, depth=4, seed=1):
    """Entangles all n qubits with a few random layers, then teleports qubit 0
    along 0 -> 2 -> 4 ... `steps` times: each step measures two qubits into
    classical bits and corrects the receiver with X and Z conditioned on them."""
    if 2 * steps + 1 > n:
        raise ValueError("a chain of %d steps needs %d qubits" % (steps, 2 * steps + 1))
    circuit = random_layered(n, depth, seed)
    ops = list(circuit["ops"])
    source = 0
    for step in range(steps):
        link, receiver = source + 1, source + 2
        c_source, c_link = 2 * step, 2 * step + 1
        ops += [
            {"g": "H", "q": [link]},
            {"g": "CNOT", "q": [link, receiver]},
            {"g": "CNOT", "q": [source, link]},
            {"g": "H", "q": [source]},
            {"g": "MEASURE", "q": [source], "c": [c_source]},
            {"g": "MEASURE", "q": [link], "c": [c_link]},
            {"g": "X", "q": [receiver], "if": [c_link, 1]},
            {"g": "Z", "q": [receiver], "if": [c_source, 1]},
        ]
        source = receiver
    return {"name": f"teleport-n{n}-k{2 * steps}", "family": "teleport", "n": n,
            "clbits": 2 * steps, "ops": ops}


def deferred(circuit):
    """The same circuit with every measurement deferred to the end: a gate
    conditioned on a measured bit becomes the gate controlled by the measured
    qubit, and the measurement itself goes. The probabilities over all qubits
    are those of the branching run, which never renormalises."""
    measured = {}  # clbit -> qubit
    ops = []
    controlled = {"X": "CNOT", "Z": "ZCON"}
    for op in circuit["ops"]:
        if op["g"] == "MEASURE":
            for q, c in zip(op["q"], op["c"]):
                measured[c] = q
        elif "if" in op:
            bit, value = op["if"]
            if value != 1 or op["g"] not in controlled or len(op["q"]) != 1:
                raise ValueError("no deferred form for %r" % (op,))
            ops.append({"g": controlled[op["g"]], "q": [measured[bit], op["q"][0]]})
        else:
            ops.append(op)
    return dict(circuit, ops=ops, clbits=0, name=circuit["name"] + "-deferred")


def gate_count(circuit):
    return sum(1 for op in circuit["ops"] if op["g"] != "MEASURE")


def measurement_count(circuit):
    return sum(1 for op in circuit["ops"] if op["g"] == "MEASURE")
