"""Runs seeded random circuits and prints, per circuit, everything a build
returns for it: the circuit text of print_circuit, the probabilities and the
state vector with every bit (float.hex), or the error. Two builds agree when
their dumps are identical:

    PYTHONPATH=A/python python bench/compare/dump_runs.py > a.txt
    PYTHONPATH=B/python python bench/compare/dump_runs.py > b.txt
    cmp a.txt b.txt

The circuits mix every construct a run reads: gates with angles, definitions
called with parameter functions (nested, conditioned), measurements,
conditions over several bits, reset and reuse of measured qubits, several
sub-circuits (parallel mode), fusion on and off.
"""
import random
import sys

import kovra_backends as kb
from capture import captured
from kovra.builder import CircuitBuilder

ONE = ["H", "X", "Y", "Z", "X90", "Y90", "Z90", "S", "Sd", "T", "Td", "I"]
ANGLED = ["Rx", "Ry", "Rz", "P"]
TWO = ["CNOT", "YCON", "ZCON"]


def definitions(b, rng):
    inner = b.define("inner")
    inner.gate("Rx", [0], params=[lambda a, c: a * 0.5 + c], pindex=[0, 1])
    inner.gate("CNOT", [0, 1])
    outer = b.define("outer")
    outer.gate("H", [1])
    outer.call("inner", [1, 0], params=[lambda a: a - 1.0, lambda: 0.25], pindex=[0])
    outer.gate("Ry", [0], params=[lambda p: sum(p) * 3.0], pindex=[-1])


def random_circuit(seed):
    rng = random.Random(seed)
    b = CircuitBuilder()
    parts = rng.choice([1, 1, 2])
    regs = []
    for _ in range(parts):
        n = rng.randint(2, 6)
        q = b.qreg(n)
        c = b.creg(rng.randint(1, 4))
        regs.append((q, c))
    definitions(b, rng)
    for _ in range(rng.randint(5, 40)):
        q, c = rng.choice(regs)
        roll = rng.random()
        cond = None
        if rng.random() < 0.2:
            bits = rng.sample(list(c), rng.randint(1, len(c)))
            cond = (bits, rng.randint(0, 5), rng.randint(0, 2 ** len(bits) - 1))
        if roll < 0.35:
            b.gate(rng.choice(ONE), [rng.choice(q)], condition=cond)
        elif roll < 0.5:
            b.gate(rng.choice(ANGLED), [rng.choice(q)], params=[rng.uniform(-400, 400)], condition=cond)
        elif roll < 0.7:
            b.gate(rng.choice(TWO), rng.sample(list(q), 2), condition=cond)
        elif roll < 0.75 and len(q) >= 3:
            b.gate("CCX", rng.sample(list(q), 3), condition=cond)
        elif roll < 0.82:
            b.call("outer", rng.sample(list(q), 2), params=[rng.uniform(-90, 90), rng.uniform(0, 45)], condition=cond)
        elif roll < 0.93:
            k = rng.randint(1, min(len(q), len(c)))
            b.measure(rng.sample(list(q), k), rng.sample(list(c), k))
        else:
            b.reset(rng.sample(list(q), rng.randint(1, 2)))
    return b


def run(seed, config):
    b = random_circuit(seed)
    results = []
    text, error = captured(lambda: results.append(
        kb.BasicSimulator().execute(b.capsule(), dict(config, print_circuit=True))))
    lines = [f"seed {seed} config {sorted(config.items())}", text]
    if not results:
        lines.append(error)
    else:
        result = results[0]
        lines.append(" ".join(f"{k}={v.hex()}" for k, v in sorted(result.probabilities.items())))
        lines.append(" ".join(f"{a.real.hex()},{a.imag.hex()}" for a in result.states))
    return "\n".join(lines)


CONFIGS = [{}, {"fusion": True}, {"parallel": True}, {"mcbits": [0, 1]}, {"mqubits": [0, 2]}]

if __name__ == "__main__":
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 300
    for seed in range(count):
        for config in CONFIGS:
            print(run(seed, config))
