"""Density-matrix runs with noise against Qiskit Aer's density_matrix
method: seeded random layered circuits (a layer of u gates, then cx on
neighbouring pairs, `depth` layers), every gate followed by its error
(depolarizing on u, depolarizing with amplitude damping on cx), the same
NoiseModel for both. Each size and thread count runs in a process of its own
pinned to that many CPUs, so peak memory is the run's own.

    python bench/noise/density.py [--sizes 10,12,14] [--threads 1,2] [--depth 10] [--reps 3]

Prints per size and thread count: median seconds for kovra (BasicSimulator
on the lowered graph, probabilities of every basis state) and for Aer (the
same probabilities saved), their ratio, the largest difference between the
two, and what kovra's run adds to the process's peak resident memory (over
the high-water mark before it: the interpreter, qiskit and the graph), over
the 4^n matrix.
"""

import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))

ONE = r"""
import json, os, random, resource, statistics, sys, time
import numpy as np
os.sched_setaffinity(0, set(sorted(os.sched_getaffinity(0))[:{threads}]))
from qiskit import QuantumCircuit
from qiskit_aer import AerSimulator
from qiskit_aer.noise import NoiseModel, amplitude_damping_error, depolarizing_error
import kovra_backends
from kovra.qiskit.backend_lowering import lower_circuit
from kovra.translate.noise import NoiseLookup

n, depth, reps, who = {n}, {depth}, {reps}, {who!r}
rng = random.Random(n)
qc = QuantumCircuit(n)
for layer in range(depth):
    for q in range(n):
        qc.u(*(rng.uniform(-3, 3) for _ in range(3)), q)
    for q in range(layer % 2, n - 1, 2):
        qc.cx(q, q + 1)
model = NoiseModel()
model.add_all_qubit_quantum_error(depolarizing_error(0.01, 1), ["u"])
model.add_all_qubit_quantum_error(depolarizing_error(0.02, 2).compose(
    amplitude_damping_error(0.01).tensor(amplitude_damping_error(0.01))), ["cx"])
times, probabilities = [], None
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
if who == "kovra":
    builder, _ = lower_circuit(qc, noise=NoiseLookup(model))
    capsule = builder.capsule()
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    for _ in range(reps):
        start = time.perf_counter()
        result = kovra_backends.BasicSimulator().execute(capsule, {{"fusion": True}})
        times.append(time.perf_counter() - start)
    p = np.asarray(result.probability_array())
    # kovra: qubit 0 the top bit; Aer: the lowest
    probabilities = p.reshape([2] * n).transpose(list(range(n))[::-1]).reshape(-1)
else:
    simulator = AerSimulator(method="density_matrix", noise_model=model, max_parallel_threads={threads})
    saved = qc.copy()
    saved.save_probabilities()
    for _ in range(reps):
        start = time.perf_counter()
        result = simulator.run(saved).result()
        times.append(time.perf_counter() - start)
    probabilities = np.asarray(result.data()["probabilities"])
np.save({out!r}, probabilities)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(json.dumps({{"seconds": statistics.median(times), "peak": peak - before}}))
"""


def run(who, n, threads, depth, reps, python):
    out = f"/tmp/kovra_density_{who}_{n}.npy"
    code = ONE.format(n=n, depth=depth, reps=reps, who=who, threads=threads, out=out)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.join(ROOT, "python"), os.environ.get("PYTHONPATH", "")]))
    line = subprocess.run([python, "-c", code], check=True, capture_output=True, text=True, env=env).stdout
    return json.loads(line.strip().splitlines()[-1]), out


def main():
    import numpy as np

    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="10,12,14")
    parser.add_argument("--threads", default="1,2")
    parser.add_argument("--depth", type=int, default=10)
    parser.add_argument("--reps", type=int, default=3)
    args = parser.parse_args()
    print(f"{'n':>3} {'thr':>3} {'kovra s':>9} {'aer s':>9} {'ratio':>6} {'max diff':>9} {'run peak/4^n':>12}")
    for n in (int(s) for s in args.sizes.split(",")):
        for threads in (int(t) for t in args.threads.split(",")):
            mine, mine_out = run("kovra", n, threads, args.depth, args.reps, sys.executable)
            aer, aer_out = run("aer", n, threads, args.depth, args.reps, sys.executable)
            diff = float(np.abs(np.load(mine_out) - np.load(aer_out)).max())
            matrix = 16.0 * 4 ** n
            print(f"{n:>3} {threads:>3} {mine['seconds']:>9.3f} {aer['seconds']:>9.3f} "
                  f"{mine['seconds'] / aer['seconds']:>6.2f} {diff:>9.1e} {mine['peak'] / matrix:>12.3f}", flush=True)


if __name__ == "__main__":
    main()
