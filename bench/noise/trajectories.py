"""Trajectories against Qiskit Aer's statevector method with the same
NoiseModel: seeded random layered circuits (a layer of u gates, then cx on
neighbouring pairs, `depth` layers, every qubit measured at the end), every
gate followed by its error, one of two models:
- depolarizing: depolarizing_error(0.01, 1) on u, (0.02, 2) on cx;
- thermal: thermal_relaxation_error(T1 50 us, T2 70 us) for 50 ns on u and
  for 300 ns on each qubit of a cx.
Aer draws `shots` shots (one trajectory each); kovra runs `trajectories`
trajectories (BasicSimulator, "method": "trajectories", the same number of
shots drawn from the estimate). Each size, model and thread count runs in a
process of its own pinned to that many CPUs.

    python bench/noise/trajectories.py [--sizes 14,20] [--models depolarizing,thermal]
        [--threads 1,2] [--depth 10] [--count 1000] [--reps 3]

Prints per case the median seconds of each and their ratio (kovra / Aer).
"""

import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))

ONE = r"""
import json, os, random, statistics, sys, time
os.sched_setaffinity(0, set(sorted(os.sched_getaffinity(0))[:{threads}]))
from qiskit import QuantumCircuit
from qiskit_aer import AerSimulator
from qiskit_aer.noise import NoiseModel, depolarizing_error, thermal_relaxation_error
import kovra_backends
from kovra.qiskit.backend_lowering import lower_circuit
from kovra.translate.noise import NoiseLookup

n, depth, reps, count, who, kind = {n}, {depth}, {reps}, {count}, {who!r}, {kind!r}
rng = random.Random(n)
qc = QuantumCircuit(n, n)
for layer in range(depth):
    for q in range(n):
        qc.u(*(rng.uniform(-3, 3) for _ in range(3)), q)
    for q in range(layer % 2, n - 1, 2):
        qc.cx(q, q + 1)
qc.measure(range(n), range(n))
model = NoiseModel()
if kind == "depolarizing":
    model.add_all_qubit_quantum_error(depolarizing_error(0.01, 1), ["u"])
    model.add_all_qubit_quantum_error(depolarizing_error(0.02, 2), ["cx"])
else:
    model.add_all_qubit_quantum_error(thermal_relaxation_error(50e3, 70e3, 50), ["u"])
    two = thermal_relaxation_error(50e3, 70e3, 300)
    model.add_all_qubit_quantum_error(two.tensor(two), ["cx"])
times = []
if who == "kovra":
    builder, _ = lower_circuit(qc, noise=NoiseLookup(model))
    capsule = builder.capsule()
    config = {{"method": "trajectories", "trajectories": count, "shots": count, "seed": 5, "fusion": True}}
    for _ in range(reps):
        start = time.perf_counter()
        result = kovra_backends.BasicSimulator().execute(capsule, config)
        result.counts
        times.append(time.perf_counter() - start)
else:
    sim = AerSimulator(method="statevector", noise_model=model, max_parallel_threads={threads})
    for _ in range(reps):
        start = time.perf_counter()
        sim.run(qc, shots=count, seed_simulator=5).result().get_counts()
        times.append(time.perf_counter() - start)
print(json.dumps(statistics.median(times)))
"""


def timed(who, n, kind, threads, args):
    code = ONE.format(n=n, depth=args.depth, reps=args.reps, count=args.count, who=who, kind=kind, threads=threads)
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    env["PYTHONPATH"] = os.pathsep.join(p for p in [env.get("PYTHONPATH"), os.path.join(ROOT, "python")] if p)
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True, env=env)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="14,20")
    parser.add_argument("--models", default="depolarizing,thermal")
    parser.add_argument("--threads", default="1,2")
    parser.add_argument("--depth", type=int, default=10)
    parser.add_argument("--count", type=int, default=1000)
    parser.add_argument("--reps", type=int, default=3)
    args = parser.parse_args()
    print(f"{'qubits':>6} {'model':>12} {'threads':>7} {'kovra s':>9} {'aer s':>9} {'ratio':>6}")
    for n in (int(s) for s in args.sizes.split(",")):
        for kind in args.models.split(","):
            for threads in (int(t) for t in args.threads.split(",")):
                kovra = timed("kovra", n, kind, threads, args)
                aer = timed("aer", n, kind, threads, args)
                print(f"{n:>6} {kind:>12} {threads:>7} {kovra:>9.3f} {aer:>9.3f} {kovra / aer:>6.2f}", flush=True)


if __name__ == "__main__":
    main()
