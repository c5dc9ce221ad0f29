"""The Sampler and Estimator at width against KovraBackend: one circuit of
`n` qubits (a layer of ry, a cx chain, another layer of ry) measuring every
qubit, the same shots, each front end in a fresh process so its peak
resident memory is its own.

    PYTHONPATH=python:<module dir> python bench/per_call/sampler_width.py [--qubits 24] [--shots 10000]

Prints per front end the median over `--reps` interleaved processes of
the wall time of the call (circuit to counts or bit
arrays, transpilation included) and the process's peak resident memory, and
each one's ratio to KovraBackend's. The Estimator measures <Z...Z> on the
unmeasured copy of the circuit.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys

ONE = r"""
import json, math, resource, time
from qiskit import QuantumCircuit
from qiskit.quantum_info import SparsePauliOp

n, shots, who = {n}, {shots}, {who!r}
qc = QuantumCircuit(n)
for q in range(n):
    qc.ry(0.3 + 0.1 * q, q)
for q in range(n - 1):
    qc.cx(q, q + 1)
for q in range(n):
    qc.ry(0.7 - 0.05 * q, q)
measured = qc.copy()
measured.measure_all()
import kovra.qiskit as kq
start = time.perf_counter()
if who == "backend":
    outcomes = len(kq.KovraBackend().run(measured, shots=shots, seed_simulator=1).result().get_counts())
elif who == "sampler":
    data = kq.Sampler(seed=1).run([measured], shots=shots).result()[0].data
    outcomes = len(data.meas.get_counts())
else:
    evs = kq.Estimator().run([(qc, SparsePauliOp("Z" * n))]).result()[0].data.evs
    outcomes = float(evs)
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(json.dumps({{"seconds": seconds, "peak": peak, "outcomes": outcomes}}))
"""

WHO = ("backend", "sampler", "estimator")


def run(who, n, shots):
    code = ONE.format(n=n, shots=shots, who=who)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True, env=os.environ)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qubits", type=int, default=24)
    parser.add_argument("--shots", type=int, default=10000)
    parser.add_argument("--who", default=",".join(WHO))
    parser.add_argument("--reps", type=int, default=3)
    args = parser.parse_args()
    runs = {who: [] for who in args.who.split(",")}
    for _ in range(args.reps):
        for who, done in runs.items():
            done.append(run(who, args.qubits, args.shots))
    rows = {who: {"seconds": statistics.median(r["seconds"] for r in done),
                  "peak": max(r["peak"] for r in done), "outcomes": done[0]["outcomes"]}
            for who, done in runs.items()}
    base = rows.get("backend")
    for who, row in rows.items():
        ratio = f"  ({row['seconds'] / base['seconds']:.2f}x time, {row['peak'] / base['peak']:.2f}x memory)" \
            if base else ""
        print(f"{who:9s} n={args.qubits} shots={args.shots}: {row['seconds']:7.2f} s  "
              f"peak {row['peak'] / 2**20:7.0f} MiB  outcomes {row['outcomes']}{ratio}")


if __name__ == "__main__":
    main()
