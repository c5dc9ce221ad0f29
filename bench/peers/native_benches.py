"""Kovra's own C++ benchmarks, run by driver.py beside the race.

blocking_bench: the engine gate by gate against its cache-blocked runs, on
one pinned CPU. translate_bench: reading and translating a graph against
the whole simulation of it. Both run only when their binary is given
(--blocking-bench, --translate-bench).
"""

import json
import os
import subprocess

import circuits as C

BLOCKING_FAMILIES = ("random", "qft")
BLOCKING_REPS = 3
# blocking_bench's fused run: the engine's default limits (fusion_limits).
BLOCKING_FUSION = "4x4"


def blocking_applies(args, circuit):
    return (bool(args.blocking_bench) and os.access(args.blocking_bench, os.X_OK)
            and circuit["family"] in BLOCKING_FAMILIES and circuit["n"] <= args.blocking_max_n
            and not C.measurement_count(circuit) and not any("if" in op for op in circuit["ops"]))


def _one_cpu():
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})


def blocking(args, path):
    """blocking_bench on one pinned CPU: its JSON line, or {"error": ...}."""
    try:
        proc = subprocess.run([args.blocking_bench, path, str(BLOCKING_REPS), BLOCKING_FUSION],
                              capture_output=True, text=True,
                              timeout=args.timeout, preexec_fn=_one_cpu)
    except subprocess.TimeoutExpired:
        return {"error": "no answer within %.0f s" % args.timeout}
    if proc.returncode != 0:
        return {"error": "exit %d: %s" % (proc.returncode, proc.stderr.strip()[-2000:])}
    try:
        out = json.loads(proc.stdout.strip().splitlines()[-1])
        for key in ("gates", "passes", "gate_by_gate_s", "blocked_s"):
            float(out[key])
    except (IndexError, KeyError, TypeError, ValueError):
        return {"error": "unexpected output: %r" % proc.stdout[-500:]}
    return out


def translation_share(binary):
    """Graph reading plus translation of 20 qubits and 500 gates, against the
    whole simulation of the same graph (median of 5 repetitions each)."""
    proc = subprocess.run([binary, "--benchmark_format=json", "--benchmark_repetitions=5",
                           "--benchmark_report_aggregates_only=true"], capture_output=True, text=True, timeout=600)
    if proc.returncode != 0:
        return {"error": proc.stderr[-2000:]}
    medians = {b["run_name"]: b["real_time"] for b in json.loads(proc.stdout)["benchmarks"]
               if b.get("aggregate_name") == "median"}
    translate, simulate = medians.get("BM_Translate20x500"), medians.get("BM_Simulate20x500")
    return {"translate_ms": translate, "simulate_ms": simulate,
            "share": translate / simulate if translate and simulate else None}
