"""What measurements, conditioned gates and resets cost the simulator.

    PYTHONPATH=build/dev/python .venv/bin/python bench/branches/measure_cost.py [--quick]

Every figure is the median of several runs, each in a fresh process pinned
to one CPU (taskset-like, through sched_setaffinity), of
`BasicSimulator.execute` asked for the probability of qubit 0 only, so that
packing the result stays negligible. Peak memory is the child's maximum
resident set minus that of the same child right before the call.

- GHZ on n qubits with 0, 4, 20 and n measured qubits, against one state
  vector plus its probabilities (24 bytes per amplitude).
- n qubits, 8 measured, then 100 gates conditioned on 1 to 3 of their bits,
  against the same gates unconditioned.
- n qubits with r resets of entangled qubits, against n + r qubits without.
"""

import argparse
import json
import os
import random
import statistics
import subprocess
import sys

CHILD = r"""
import json, os, resource, sys, time
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
sys.path.insert(0, os.path.join(sys.argv[2], "python"))
import kovra_backends as kb
from kovra.builder import CircuitBuilder
circuit = json.loads(sys.argv[1])
b = CircuitBuilder()
b.qreg(circuit["n"])
if circuit["clbits"]:
    b.creg(circuit["clbits"])
for op in circuit["ops"]:
    kind = op[0]
    if kind == "m":
        b.measure([op[1]], [op[2]])
    elif kind == "r":
        b.reset([op[1]])
    elif kind == "g":
        b.gate(op[1], op[2], params=op[3] or None,
               condition=None if op[4] is None else (op[4][0], op[4][1], op[4][2]))
g = b.graph()
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
kb.BasicSimulator().execute(g, {"mqubits": [0]})
elapsed = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"seconds": elapsed, "peak_mib": (peak - before) / 1024}))
"""

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def measure(circuit, runs):
    outcomes = []
    for _ in range(runs):
        done = subprocess.run([sys.executable, "-c", CHILD, json.dumps(circuit), ROOT],
                              capture_output=True, text=True, check=True)
        outcomes.append(json.loads(done.stdout))
    return (statistics.median(o["seconds"] for o in outcomes),
            max(o["peak_mib"] for o in outcomes))


def ghz(n, measured):
    ops = [["g", "H", [0], None, None]] + [["g", "CNOT", [q, q + 1], None, None] for q in range(n - 1)]
    ops += [["m", q, q] for q in range(measured)]
    return {"n": n, "clbits": max(measured, 1), "ops": ops}


def conditioned(n, measured, gates, with_conditions, seed=7):
    rng = random.Random(seed)
    ops = [["g", "H", [q], None, None] for q in range(n)]
    ops += [["g", "CNOT", [q, q + 1], None, None] for q in range(n - 1)]
    ops += [["m", q, q] for q in range(measured)]
    for _ in range(gates):
        q = rng.randrange(measured, n)
        name, params = rng.choice([("Rx", [rng.uniform(-3, 3)]), ("H", None), ("T", None), ("Ry", [1.1])])
        bits = rng.sample(range(measured), rng.randint(1, 3))
        condition = [bits, rng.randrange(6), rng.randrange(2 ** len(bits))] if with_conditions else None
        ops.append(["g", name, [q], params, condition])
    return {"n": n, "clbits": measured, "ops": ops}


def resets(n, r, as_qubits):
    """Layers of H and CNOT; r resets spread among them (or none, on n + r)."""
    width = n + r if as_qubits else n
    ops = []
    for layer in range(r + 1):
        ops += [["g", "H", [q], None, None] for q in range(width)]
        ops += [["g", "CNOT", [q, q + 1], None, None] for q in range(width - 1)]
        if layer < r and not as_qubits:
            ops.append(["r", layer % n])
    return {"n": width, "clbits": 0, "ops": ops}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="smaller registers, 3 runs")
    args = parser.parse_args()
    runs = 3 if args.quick else 5
    n = 20 if args.quick else 24
    report = {"runs": runs}

    vector_mib = 24 * 2 ** n / 2 ** 20
    base, _ = measure(ghz(n, 0), runs)
    report["ghz"] = {"n": n, "vector_plus_probabilities_mib": vector_mib, "rows": []}
    for m in sorted({0, 4, 20 if n > 20 else n - 1, n}):
        seconds, peak = measure(ghz(n, m), runs)
        report["ghz"]["rows"].append({"measured": m, "seconds": seconds, "vs_unmeasured": seconds / base,
                                      "peak_mib": peak, "peak_vs_vector": peak / vector_mib})

    cn = 20 if args.quick else 22
    plain, _ = measure(conditioned(cn, 8, 100, False), runs)
    cond, _ = measure(conditioned(cn, 8, 100, True), runs)
    report["conditions"] = {"n": cn, "measured": 8, "gates": 100, "unconditioned_s": plain,
                            "conditioned_s": cond, "ratio": cond / plain}

    rn = 14 if args.quick else 16
    report["resets"] = []
    # Runs of a few milliseconds vary by a tenth from process to process:
    # three times the runs.
    for r in (1, 2, 4):
        with_resets, _ = measure(resets(rn, r, False), 3 * runs)
        wider, _ = measure(resets(rn, r, True), 3 * runs)
        report["resets"].append({"n": rn, "resets": r, "seconds": with_resets,
                                 "n_plus_r_seconds": wider, "ratio": with_resets / wider})
    print(json.dumps(report, indent=1))


if __name__ == "__main__":
    main()
