"""The NMR task documents of seeded random circuits, as print_circuit shows
them before the device is reached, and the error each run ends with (no
device listens on the port). Two builds lower alike when their dumps are
identical:

    PYTHONPATH=A/python python bench/compare/dump_nmr.py > a.txt
    PYTHONPATH=B/python python bench/compare/dump_nmr.py > b.txt
    cmp a.txt b.txt
"""
import math
import random
import sys

import kovra_backends as kb
from capture import captured
from kovra.builder import CircuitBuilder

NAMES = ["H", "X", "Y", "Z", "Rx", "Ry", "Rz", "P", "S", "T", "X90", "Y90", "CNOT", "ZCON", "CCX", "MEASURE"]


def random_circuit(seed):
    rng = random.Random(seed)
    b = CircuitBuilder()
    n = rng.randint(1, 3)
    q = b.qreg(n)
    c = b.creg(n)
    d = b.define("d")
    d.gate("Rx", [0], params=[lambda a, c: a * 0.5 + c], pindex=[0, 1])
    d.gate("H", [1 if n > 1 else 0])
    e = b.define("e")
    e.call("d", [0, 0], params=[lambda p: sum(p), lambda: 0.75], pindex=[-1])
    e.gate("Ry", [0], params=[lambda a: -a], pindex=[0])
    for _ in range(rng.randint(1, 25)):
        name = rng.choice(NAMES)
        width = {"CNOT": 2, "ZCON": 2, "CCX": 3}.get(name, 1)
        if width > n:
            continue
        qubits = rng.sample(list(q), width)
        if name == "MEASURE":
            b.measure(qubits, [rng.choice(list(c))])
        elif rng.random() < 0.15:
            b.call(rng.choice(["d", "e"]), [qubits[0], qubits[0]] if n == 1 else rng.sample(list(q), 2),
                   params=[rng.uniform(-7, 7), rng.uniform(-7, 7)])
        else:
            params = [rng.uniform(-4 * math.pi, 4 * math.pi)] if name in ("Rx", "Ry", "Rz", "P") else None
            b.gate(name, qubits, params=params)
    return b


def run(seed, config):
    b = random_circuit(seed)
    text, error = captured(lambda: kb.NMR().execute(b.capsule(), dict(config, print_circuit=True, port=1, timeout=1)))
    return f"seed {seed} config {sorted(config.items())}\n{text}\n{error}"


if __name__ == "__main__":
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 300
    for seed in range(count):
        for config in ({}, {"mqubits": [0]}):
            print(run(seed, config))
