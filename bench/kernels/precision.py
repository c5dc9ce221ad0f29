"""Single against double precision: how far apart their probabilities are,
and how long each takes, on random layered circuits (bench/peers/circuits.py,
depth 16), the QFT and quantum-volume circuits, fused as by default.

    python bench/kernels/precision.py accuracy [--sizes 10,14,18,20,22,24] [--families random,qft,qv]
    python bench/kernels/precision.py timing [--sizes 20,22,24] [--threads 1,2] [--reps 3] [--families qv]
        [--peers qsim]

`accuracy` prints, per circuit, the largest |p_single - p_double| over the
basis states, their total variation (sum of |p_single - p_double|) and the
distance of the states. `timing` prints median seconds of `execute` (keyed by
qubit 0, so the result stays small) for double and single, each in a process
pinned to the first `threads` CPUs, and qsim (qsimcirq, single precision,
its fusion of 2 gates, 3 from 22 qubits) and Qiskit Aer (statevector,
precision="single", its fusion on) when the peers venv of
bench/peers/setup_venv.sh exists. Run with kovra_backends importable, for
instance PYTHONPATH=build/dev/python.
"""

import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
PEERS = os.path.join(ROOT, "bench", "peers")
PEERS_PYTHON = os.path.expanduser("~/.cache/kovra_backends/peers-venv/bin/python")
sys.path[:0] = [PEERS, os.path.join(ROOT, "python")]

import circuits  # noqa: E402

FAMILIES = {"random": lambda n: circuits.random_layered(n, depth=16), "qft": circuits.qft,
            "qv": circuits.quantum_volume}

KOVRA = """
import json, os, statistics, sys, time
sys.path[:0] = [{peers!r}, {python!r}]
os.sched_setaffinity(0, set(sorted(os.sched_getaffinity(0))[:{threads}]))
import circuits, kovra_backends
from run_kovra import build
out = []
for family, n in {jobs!r}:
    circuit = {{"random": lambda n: circuits.random_layered(n, depth=16), "qft": circuits.qft,
               "qv": circuits.quantum_volume}}[family](n)
    capsule = build(circuit).capsule()
    for precision in ("double", "single"):
        times = []
        for _ in range({reps}):
            start = time.perf_counter()
            kovra_backends.BasicSimulator().execute(capsule, {{"mqubits": [0], "precision": precision}})
            times.append(time.perf_counter() - start)
        out.append([family, n, precision, statistics.median(times)])
print(json.dumps({{"path": kovra_backends.kernel_path(), "runs": out}}))
"""

QSIM = """
import json, os, statistics, sys, time
sys.path[:0] = [{peers!r}]
os.sched_setaffinity(0, set(sorted(os.sched_getaffinity(0))[:{threads}]))
import circuits, qsimcirq
from run_peer import build_cirq
out = []
for family, n in {jobs!r}:
    circuit = {{"random": lambda n: circuits.random_layered(n, depth=16), "qft": circuits.qft,
               "qv": circuits.quantum_volume}}[family](n)
    cc, qubits = build_cirq(circuit)
    options = qsimcirq.QSimOptions(cpu_threads={threads}, max_fused_gate_size=3 if n >= 22 else 2)
    sim = qsimcirq.QSimSimulator(options)
    times = []
    for _ in range({reps}):
        start = time.perf_counter()
        sim.simulate(cc, qubit_order=qubits)
        times.append(time.perf_counter() - start)
    out.append([family, n, "qsim", statistics.median(times)])
print(json.dumps({{"runs": out}}))
"""

AER = """
import json, os, statistics, sys, time
sys.path[:0] = [{peers!r}]
os.sched_setaffinity(0, set(sorted(os.sched_getaffinity(0))[:{threads}]))
import circuits
from qiskit_aer import AerSimulator
from run_peer import build_aer
out = []
for family, n in {jobs!r}:
    circuit = {{"random": lambda n: circuits.random_layered(n, depth=16), "qft": circuits.qft,
               "qv": circuits.quantum_volume}}[family](n)
    qc = build_aer(circuit, False)
    sim = AerSimulator(method="statevector", precision="single", max_parallel_threads={threads}, fusion_enable=True)
    times = []
    for _ in range({reps}):
        start = time.perf_counter()
        sim.run(qc).result()
        times.append(time.perf_counter() - start)
    out.append([family, n, "aer", statistics.median(times)])
print(json.dumps({{"runs": out}}))
"""


PEER_SCRIPTS = {"qsim": QSIM, "aer": AER}
ACCURACY_SLICE = 1 << 22


def accuracy(sizes, families):
    import numpy as np
    import kovra_backends
    from run_kovra import build

    print(f"kernel path {kovra_backends.kernel_path()}")
    print(f"{'circuit':>7} {'n':>3} {'max |dp|':>10} {'sum |dp|':>10} {'|dpsi|':>10}")
    for n in sizes:
        for family in families:
            capsule = build(FAMILIES[family](n)).capsule()
            d, s = (kovra_backends.BasicSimulator().execute(capsule, {"precision": p}) for p in ("double", "single"))
            largest = total = squared = 0.0
            # In slices of 2^22 entries: at 28 qubits whole-vector temporaries
            # would not fit beside the two results.
            for at in range(0, 1 << n, ACCURACY_SLICE):
                part = slice(at, at + ACCURACY_SLICE)
                dp = np.abs(s.probability_array()[part] - d.probability_array()[part])
                largest, total = max(largest, float(dp.max())), total + float(dp.sum())
                squared += float(np.sum(np.abs(s.state_array()[part].astype(np.complex128) - d.state_array()[part]) ** 2))
            print(f"{family:>7} {n:>3} {largest:10.2e} {total:10.2e} {squared ** 0.5:10.2e}", flush=True)
            del d, s


def run_script(python, template, threads, jobs, reps):
    code = template.format(peers=PEERS, python=os.path.join(ROOT, "python"), threads=threads, jobs=jobs, reps=reps)
    done = subprocess.run([python, "-c", code], capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def timing(sizes, thread_counts, reps, families, peers):
    jobs = [(family, n) for family in families for n in sizes]
    with_qsim = os.path.exists(PEERS_PYTHON)
    for threads in thread_counts:
        kovra = run_script(sys.executable, KOVRA, threads, jobs, reps)
        times = {(f, n, what): t for f, n, what, t in kovra["runs"]}
        if with_qsim:
            for peer in (PEER_SCRIPTS[name] for name in peers):
                runs = run_script(PEERS_PYTHON, peer, threads, jobs, reps)["runs"]
                times.update({(f, n, what): t for f, n, what, t in runs})
        print(f"threads={threads}  path={kovra['path']}  double  single" + ("  qsim  aer-single" if with_qsim else ""))
        for family, n in jobs:
            row = [times[(family, n, what)] for what in ("double", "single", "qsim", "aer")
                   if (family, n, what) in times]
            print(f"{family:>6} n={n}  " + "  ".join(f"{t:.3f} s" for t in row))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("what", choices=["accuracy", "timing"])
    parser.add_argument("--sizes", default=None)
    parser.add_argument("--threads", default="1,2")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--families", default=",".join(FAMILIES), help="of " + ", ".join(FAMILIES))
    # Aer takes minutes per run from 26 qubits on; leaving it out keeps a wide race short.
    parser.add_argument("--peers", default="qsim,aer", help="of qsim, aer (empty: kovra alone)")
    args = parser.parse_args()
    if args.what == "accuracy":
        accuracy([int(n) for n in (args.sizes or "10,14,18,20,22,24").split(",")], args.families.split(","))
    else:
        timing([int(n) for n in (args.sizes or "20,22,24").split(",")], [int(t) for t in args.threads.split(",")],
               args.reps, args.families.split(","), [p for p in args.peers.split(",") if p])


if __name__ == "__main__":
    main()
