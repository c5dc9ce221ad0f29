"""Races kovra against qsim on the circuits of shapes.py, the way an outside
harness does: engines interleaved round by round (each run a fresh process
through bench/peers' runners), per round the ratio kovra / qsim, and the
median of those ratios. Runs in the peers venv:

    bash bench/shapes/run.sh --circuit scatter:22 --circuit qv:22 --threads 1,2

Each process runs the circuit --reps times: the first is the fresh figure
(the process's first call, pages not yet backed), the best of the others
the warm one. qsim runs in single precision at each of --qsim-sizes (its
max_fused_gate_size) and its fastest counts, in each round. Several kovra
builds (--kovra NAME=PATH, PATH holding kovra_backends*.so) race side by
side, each in double and single precision. Writes --out (JSON) and prints a
table.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
PEERS = os.path.join(os.path.dirname(HERE), "peers")
sys.path.insert(0, HERE)
import shapes  # noqa: E402


def arguments():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--circuit", action="append", required=True, help="FAMILY:N[:K] (see shapes.make)")
    p.add_argument("--threads", default="1,2")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--reps", type=int, default=3, help="runs per process: the first is the fresh one")
    p.add_argument("--kovra", action="append", required=True, help="NAME=PATH of a build's module folder")
    p.add_argument("--kovra-python", required=True)
    p.add_argument("--precisions", default="double,single")
    p.add_argument("--qsim-sizes", default="2,3,4")
    p.add_argument("--timeout", type=float, default=900)
    p.add_argument("--out", default=None)
    return p.parse_args()


def run(args, workdir, circuit_path, engine, threads, path=None, **extra):
    job = dict(circuit=circuit_path, engine=engine, threads=threads, fusion=True, reps=args.reps, **extra)
    job_path = os.path.join(workdir, "job.json")
    with open(job_path, "w") as f:
        json.dump(job, f)
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    if engine == "kovra":
        python, script = args.kovra_python, "run_kovra.py"
        env["PYTHONPATH"] = path
    else:
        python, script = sys.executable, "run_peer.py"
    proc = subprocess.run([python, os.path.join(PEERS, script), job_path], capture_output=True, text=True,
                          env=env, cwd=PEERS, timeout=args.timeout)
    if proc.returncode != 0:
        raise SystemExit("%s failed (exit %d):\n%s" % (engine, proc.returncode, proc.stderr[-3000:]))
    times = json.loads(proc.stdout.strip().splitlines()[-1])["times"]
    return {"fresh": times[0], "warm": min(times[1:]) if len(times) > 1 else times[0]}


def race(args, workdir, spec, threads):
    circuit = shapes.make(spec)
    path = os.path.join(workdir, circuit["name"] + ".json")
    with open(path, "w") as f:
        json.dump(circuit, f)
    builds = dict(item.split("=", 1) for item in args.kovra)
    entrants = [("qsim", {"fused_size": int(s)}) for s in args.qsim_sizes.split(",")]
    entrants += [("%s-%s" % (name, precision), {"path": folder, "precision": precision})
                 for name, folder in builds.items() for precision in args.precisions.split(",")]
    rounds = []
    for r in range(args.rounds):
        # A different engine goes first each round, so no engine always
        # meets the machine right after the same neighbour.
        order = entrants[r % len(entrants):] + entrants[:r % len(entrants)]
        got = {}
        for name, extra in order:
            engine = "qsim" if name == "qsim" else "kovra"
            got.setdefault(name, []).append(run(args, workdir, path, engine, threads, **dict(extra)))
        sizes = got.pop("qsim")
        qsim = {kind: min(t[kind] for t in sizes) for kind in ("fresh", "warm")}
        rounds.append({"qsim": qsim, **{name: t[0] for name, t in got.items()}})
    rows = []
    for name in [n for n, _ in entrants if n != "qsim"]:
        row = {"circuit": circuit["name"], "gates": len(circuit["ops"]), "threads": threads, "kovra": name}
        for kind in ("fresh", "warm"):
            row[kind] = statistics.median(x[name][kind] for x in rounds)
            row["qsim_" + kind] = statistics.median(x["qsim"][kind] for x in rounds)
            row["ratio_" + kind] = statistics.median(x[name][kind] / x["qsim"][kind] for x in rounds)
        rows.append(row)
    return rows, rounds


def main():
    args = arguments()
    with open("/proc/cpuinfo") as f:
        cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    results = {"cpu": cpu, "rows": [], "rounds": {}}
    print("CPU: %s" % cpu)
    print("| circuit | threads | kovra | fresh s | qsim s | ratio | warm s | qsim s | ratio |")
    print("|---|---|---|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as workdir:
        for spec in args.circuit:
            for threads in [int(t) for t in args.threads.split(",")]:
                rows, rounds = race(args, workdir, spec, threads)
                results["rows"] += rows
                results["rounds"]["%s/%d" % (spec, threads)] = rounds
                for x in rows:
                    print("| %s | %d | %s | %.3f | %.3f | %.2f | %.3f | %.3f | %.2f |" % (
                        x["circuit"], threads, x["kovra"], x["fresh"], x["qsim_fresh"], x["ratio_fresh"],
                        x["warm"], x["qsim_warm"], x["ratio_warm"]), flush=True)
    if args.out:
        with open(args.out, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
