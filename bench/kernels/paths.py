"""The kernel paths side by side on whole runs: random layered circuits
(bench/peers/circuits.py, depth 16) and the QFT at several sizes, fused, one
or two threads, under each KOVRA_KERNELS path the CPU runs, each path in a
process of its own (the path is chosen once per process).

    python bench/kernels/paths.py [--sizes 20,22,24] [--threads 1] [--reps 3]

Prints one line per circuit and path: median seconds of `execute` (keyed by
qubit 0, so the result stays small).
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))

ONE = """
import json, os, statistics, sys, time
sys.path[:0] = [{peers!r}, {python!r}]
os.sched_setaffinity(0, set(sorted(os.sched_getaffinity(0))[:{threads}]))
import circuits, kovra_backends
from run_kovra import build
out = []
for name, n in {jobs!r}:
    circuit = circuits.random_layered(n, depth=16) if name == "random" else circuits.qft(n)
    capsule = build(circuit).capsule()
    times = []
    for _ in range({reps}):
        start = time.perf_counter()
        kovra_backends.BasicSimulator().execute(capsule, {{"mqubits": [0], "fusion": True}})
        times.append(time.perf_counter() - start)
    out.append([name, n, statistics.median(times)])
print(json.dumps({{"path": kovra_backends.kernel_path(), "runs": out}}))
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="20,22,24")
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--reps", type=int, default=3)
    args = parser.parse_args()
    jobs = [(name, int(n)) for name in ("random", "qft") for n in args.sizes.split(",")]
    code = ONE.format(peers=os.path.join(ROOT, "bench", "peers"), python=os.path.join(ROOT, "python"),
                      threads=args.threads, jobs=jobs, reps=args.reps)
    results = {}
    for path in ("avx2", None):
        env = dict(os.environ)
        env.pop("KOVRA_KERNELS", None)
        if path:
            env["KOVRA_KERNELS"] = path
        done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
        got = json.loads(done.stdout.strip().splitlines()[-1])
        results[got["path"]] = {(name, n): s for name, n, s in got["runs"]}
    paths = list(results)
    print(f"threads={args.threads}  " + "  ".join(paths))
    for job in jobs:
        print(f"{job[0]:>6} n={job[1]}  " + "  ".join(f"{results[p][job]:.3f} s" for p in paths))


if __name__ == "__main__":
    main()
