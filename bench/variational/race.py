"""Races kovra's parameter sweep against Aer's EstimatorV2, qsimcirq's
simulate_expectation_values_sweep and Qulacs, at 1 and 2 threads, on the
cases of problem.py, and prints a Markdown table (each engine in a fresh
process, one run each; an idle machine is assumed):

    PYTHONPATH=build/dev/python .venv/bin/python bench/variational/race.py

Aer and kovra run in the project venv, qsim and Qulacs in the peers' venv
(bench/peers/setup_venv.sh).
"""
import json
import os
import platform
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
from problem import CASES  # noqa: E402

PEERS = subprocess.run(["bash", os.path.join(ROOT, "bench", "peers", "setup_venv.sh")], capture_output=True,
                       text=True, check=True).stdout.strip()
PYTHON = {"kovra": sys.executable, "aer": sys.executable,
          "qsim": os.path.join(PEERS, "bin", "python"), "qulacs": os.path.join(PEERS, "bin", "python"),
          "lightning": os.path.join(PEERS, "bin", "python")}
TARGETS = {"n12-sets1000-terms20": 0.5, "n20-sets50-terms100": 0.8}


def run(engine, case, threads):
    done = subprocess.run([PYTHON[engine], os.path.join(HERE, "run_engine.py"), engine, case, str(threads)],
                          capture_output=True, text=True, env={**os.environ, "PYTHONWARNINGS": "ignore"})
    if done.returncode != 0:
        return None
    return json.loads(done.stdout.strip().splitlines()[-1])


def cpu_model():
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor()


def main():
    print(f"CPU: {cpu_model()}, {os.cpu_count()} CPUs. Seconds for the whole sweep; ratio = kovra / fastest peer.\n")
    print("| case | threads | kovra s | kovra µs/set | aer s | qsim s | qulacs s | lightning s | ratio | target | "
          "max |Δ| vs aer |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for case, (n, reps, sets, terms) in CASES.items():
        for threads in (1, 2):
            got = {e: run(e, case, threads) for e in ("kovra", "aer", "qsim", "qulacs", "lightning")}
            peers = [got[e]["seconds"] for e in ("aer", "qsim", "qulacs", "lightning") if got[e]]
            kovra = got["kovra"]["seconds"]
            ratio = kovra / min(peers)
            delta = max(abs(a - b) for a, b in zip(got["kovra"]["values"], got["aer"]["values"]))
            cell = {e: f"{got[e]['seconds']:.3f}" if got[e] else "failed" for e in got}
            print(f"| {case} | {threads} | {cell['kovra']} | {kovra / sets * 1e6:.1f} | {cell['aer']} | "
                  f"{cell['qsim']} | {cell['qulacs']} | {cell['lightning']} | **{ratio:.2f}** | {TARGETS.get(case, '20 µs/set')} | "
                  f"{delta:.1e} |")


if __name__ == "__main__":
    main()
