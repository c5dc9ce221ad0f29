"""What spreading the state vector over MPI ranks costs and saves.

    PYTHONPATH=build/dev/python .venv/bin/python bench/distributed/spread_bench.py \
        --qubits 26 27 28 --ranks 1 2 4 [--depth 10] [--json out.json]

For every register size and rank count it runs one random layered circuit
(bench/peers/circuits.py, the peers race's family) followed by a measurement
of qubit 0, asking for the probability of qubit 0 ("mqubits": [0]), so that
neither the result nor a returned state vector weighs anything: what is
measured is the state vector and what moving it costs. Ranks 1 is the plain
single-process run; R > 1 is `mpirun -n R`. Per rank it reports

- peak memory: the rise of the maximum resident set over the call;
- seconds of `BasicSimulator.execute`, of which computing (runGates on the
  slice) and exchanging (swaps, waiting for the partner included);
- swaps and bytes sent, next to the bytes of the plain pairwise scheme (each
  gate whose target is a rank qubit exchanging the whole slice).

and checks the targets: peak per rank at most 1/R of the single-process
peak plus the exchange buffer plus 10%, and bytes sent at most the pairwise
scheme's (and at least 2x fewer on 28 qubits over 4 ranks).

Large sizes need the machine to themselves: a 28-qubit vector is 4 GiB.
"""

import argparse
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def child(n, depth, out):
    """One rank's run; writes OUT/rank<R>.json (ranks' stdout interleaves)."""
    sys.path.insert(0, os.path.join(ROOT, "python"))
    sys.path.insert(0, os.path.join(ROOT, "bench", "peers"))
    import kovra_backends
    from circuits import random_layered
    from run_kovra import build

    circuit = random_layered(n, depth)
    circuit["clbits"] = 1
    circuit["ops"].append({"g": "MEASURE", "q": [0], "c": [0]})
    builder = build(circuit)
    capsule = builder.capsule()
    kovra_backends.distributed_run()  # MPI's start-up (and its buffers) out of the figures
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.perf_counter()
    result = kovra_backends.BasicSimulator().execute(capsule, {"mqubits": [0], "shots": 0})
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    report = kovra_backends.distributed_run()
    row = {
        "qubits": n, "depth": depth, "gates": len(circuit["ops"]) - 1,
        "rank": report["rank"], "ranks": report["ranks"],
        "seconds": seconds, "peak_mib": (peak - before) / 1024,
        "p0": result.probabilities.get("0", 0.0),
        **{k: report[k] for k in ("local_qubits", "swaps", "bytes_sent", "pairwise_bytes",
                                  "exchange_seconds", "compute_seconds", "passes")},
    }
    with open(os.path.join(out, f"rank{report['rank']}.json"), "w") as f:
        json.dump(row, f)


def run(n, ranks, depth):
    out = tempfile.mkdtemp(prefix="spread_bench")
    command = [sys.executable, os.path.abspath(__file__), "--child", str(n), "--depth", str(depth), "--out", out]
    if ranks > 1:
        command = ["mpirun", "--oversubscribe", "--allow-run-as-root", "--bind-to", "none", "-n", str(ranks)] + command
    done = subprocess.run(command, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(command)} failed:\n{done.stdout}{done.stderr}")
    rows = []
    for rank in range(ranks):
        with open(os.path.join(out, f"rank{rank}.json")) as f:
            rows.append(json.load(f))
    shutil.rmtree(out)
    return rows


def summary(rows, single):
    worst = max(rows, key=lambda r: r["peak_mib"])
    r = rows[0]
    ranks = r["ranks"]
    line = {
        "qubits": r["qubits"], "ranks": ranks, "gates": r["gates"],
        "seconds": max(x["seconds"] for x in rows),
        "compute_seconds": max(x["compute_seconds"] for x in rows),
        "exchange_seconds": max(x["exchange_seconds"] for x in rows),
        "peak_mib_per_rank": worst["peak_mib"],
        "swaps": r["swaps"], "passes": r["passes"], "bytes_sent_per_rank": r["bytes_sent"], "pairwise_bytes_per_rank": r["pairwise_bytes"],
        "p0": r["p0"],
    }
    if single and ranks > 1:
        slice_mib = 16 * 2 ** r["local_qubits"] / 2 ** 20
        bound = single["peak_mib_per_rank"] / ranks + slice_mib / 8 + 0.1 * single["peak_mib_per_rank"] / ranks
        line["memory_target_mib"] = bound
        line["memory_target_met"] = worst["peak_mib"] <= bound
        line["same_result"] = abs(r["p0"] - single["p0"]) <= 1e-12
    if ranks > 1:
        line["bytes_target_met"] = r["bytes_sent"] <= r["pairwise_bytes"]
        line["remap_saving"] = r["pairwise_bytes"] / r["bytes_sent"] if r["bytes_sent"] else float("inf")
    return line


def table(lines):
    out = ["| qubits | ranks | gates | seconds | compute s | exchange s | peak MiB/rank | target MiB | swaps | sent/rank | pairwise/rank | saving |",
           "|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for x in lines:
        gib = lambda b: f"{b / 2 ** 30:.2f} GiB"
        target = f"{x['memory_target_mib']:.0f}" if "memory_target_mib" in x else "–"
        saving = f"{x['remap_saving']:.1f}x" if "remap_saving" in x else "–"
        out.append(
            f"| {x['qubits']} | {x['ranks']} | {x['gates']} | {x['seconds']:.2f} | {x['compute_seconds']:.2f} | "
            f"{x['exchange_seconds']:.2f} | {x['peak_mib_per_rank']:.0f} | "
            f"{target} | {x['swaps']} | {gib(x['bytes_sent_per_rank'])} | "
            f"{gib(x['pairwise_bytes_per_rank'])} | {saving} |")
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qubits", type=int, nargs="+", default=[20])
    parser.add_argument("--ranks", type=int, nargs="+", default=[1, 2, 4])
    parser.add_argument("--depth", type=int, default=10)
    parser.add_argument("--json")
    parser.add_argument("--child", type=int)
    parser.add_argument("--out")
    args = parser.parse_args()
    if args.child is not None:
        child(args.child, args.depth, args.out)
        return
    lines = []
    for n in args.qubits:
        single = None
        for ranks in sorted(args.ranks):
            line = summary(run(n, ranks, args.depth), single)
            if ranks == 1:
                single = line
            lines.append(line)
            print(json.dumps(line), file=sys.stderr, flush=True)
    print(table(lines))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(lines, f, indent=1)


if __name__ == "__main__":
    main()
