"""Races kovra against Qiskit Aer, Qulacs and qsim on the same circuits.

Runs in the peers venv; kovra's runs go through the project venv's Python
(--kovra-python, with --kovra-path on its PYTHONPATH). Every measurement is a
fresh process, so its peak memory is its own. For each circuit:

1. check: kovra (exact) and every peer configuration, kovra fused among
   them, run it once and write their probabilities; any further than 1e-7
   from kovra on any basis state stops the run (exit status 2) before
   anything is timed;
2. timing: kovra at 1 and 2 threads with its fusion off (exact) and on,
   every peer at 1 and 2 threads with its gate fusion off and on (qsim with
   max_fused_gate_size 2, 3 and 4: the report counts its fastest), each the
   median of --reps runs;
3. the in-place pass over a state-sized vector at 1 and 2 threads, once per
   qubit count, as the memory-bandwidth limit;
4. with --blocking-bench, kovra's engine alone on one CPU for random and QFT
   circuits up to --blocking-max-n qubits: every gate as its own pass against
   the cache-blocked runs.

Before the circuits, the fusion probe tells which engines fuse gates in the
setting that the race calls "fusion off": on 20 qubits, one H per qubit with
and without 400 rotations on one qubit, at one thread. An engine that applies
every rotation pays a good share of an in-place pass for each; one whose
extra time per rotation is below a tenth of a pass has fused them away.

Circuits of one's own join the race with --circuit FILE.qasm or FILE.json
(repeatable): OpenQASM 2 goes through kovra's importer (qasm_to_neutral.py, in
the project venv), JSON is a neutral circuit as in circuits.py. Both are put
into race form (circuits.race_form) before anything runs. Empty lists, as in
--random-n '' --qft-n '' --teleport '', leave only those circuits.

Writes results/<date>.json and results/<date>.md, and the plots through report.py.
"""

import argparse
import datetime
import json
import os
import re
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import circuits as C  # noqa: E402
from native_benches import blocking, blocking_applies, translation_share  # noqa: E402

PEERS = ("aer", "qulacs", "qsim")
TOLERANCE = 1e-7
PROBE_N, PROBE_ROTATIONS, PROBE_REPS = 20, 400, 5
FUSING_BELOW = 0.1  # extra time per rotation, in in-place passes
# What each engine runs as "fusion off".
UNFUSED_SETTING = {"kovra": "fusion=False", "aer": "fusion_enable=False", "qulacs": "no circuit optimiser",
                   "qsim": "max_fused_gate_size=1"}
# qsim's fusion sizes tried with its fusion on; the fastest counts.
QSIM_FUSED_SIZES = (2, 3, 4)


def parse_list(text):
    return [int(x) for x in text.split(",") if x.strip()]


def parse_teleport(text):
    out = []
    for item in text.split(","):
        if item.strip():
            n, steps = item.split(":")
            out.append((int(n), int(steps)))
    return out


def arguments():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true", help="small sizes and 3 runs: a smoke run of a few minutes")
    p.add_argument("--random-n", type=parse_list, default=None, help="qubit counts of the random circuits")
    p.add_argument("--depth", type=int, default=20)
    p.add_argument("--qft-n", type=parse_list, default=None, help="qubit counts of the QFT circuits")
    p.add_argument("--teleport", type=parse_teleport, default=None,
                   help="teleportation chains as n:steps,... (2 measurements a step)")
    p.add_argument("--circuit", action="append", default=[], metavar="PATH",
                   help="a circuit of one's own, OpenQASM 2 (.qasm) or neutral JSON (.json); repeatable")
    p.add_argument("--reps", type=int, default=None, help="timed runs per figure (median)")
    p.add_argument("--threads", type=parse_list, default=[1, 2])
    p.add_argument("--full-max-n", type=int, default=26,
                   help="above this many qubits the peers run only at the highest thread count, "
                        "--big-reps times (kovra keeps every thread count)")
    p.add_argument("--big-reps", type=int, default=5, help="timed runs per figure above --full-max-n")
    p.add_argument("--slow-max-n", type=int, default=24,
                   help="above this many qubits Aer and Qulacs run only with their fusion on "
                        "(without it one run of theirs takes minutes)")
    p.add_argument("--peers", default=",".join(PEERS))
    p.add_argument("--shots", type=int, default=32, help="shots of Aer's per-shot teleportation runs")
    p.add_argument("--kovra-python", default=os.environ.get("KOVRA_PYTHON", sys.executable))
    p.add_argument("--kovra-path", default=os.environ.get("KOVRA_PYTHONPATH", ""))
    p.add_argument("--out", default=os.path.join(os.path.dirname(HERE), "results"))
    p.add_argument("--tag", default=None, help="results file name (default: today's date)")
    p.add_argument("--translate-bench", default=None,
                   help="the translate_bench binary: times graph reading and translation against a whole simulation")
    p.add_argument("--blocking-bench", default=None,
                   help="the blocking_bench binary: kovra's engine gate by gate against cache-blocked, one CPU")
    p.add_argument("--blocking-max-n", type=int, default=24,
                   help="largest random or QFT circuit for --blocking-bench (gate by gate takes ~8 s at 24)")
    p.add_argument("--timeout", type=float, default=900, help="seconds allowed for one measurement")
    a = p.parse_args()
    if a.quick:
        defaults = dict(random_n=[10, 14, 18, 20], qft_n=[10, 14], teleport=[(9, 2), (14, 2)], reps=3)
        a.full_max_n = max(a.full_max_n, 20)
    else:
        defaults = dict(random_n=[10, 14, 18, 20, 22, 24, 26], qft_n=[10, 14, 18, 20],
                        teleport=[(7, 3), (11, 5), (14, 2), (20, 2), (22, 1)], reps=5)
    for key, value in defaults.items():
        if getattr(a, key) is None:
            setattr(a, key, value)
    a.peers = [x for x in a.peers.split(",") if x]
    # The runners start in this directory: paths given relative to the caller's must not move.
    if os.sep in a.kovra_python:
        a.kovra_python = os.path.abspath(a.kovra_python)
    a.kovra_path = os.pathsep.join(os.path.abspath(x) for x in a.kovra_path.split(os.pathsep) if x)
    a.translate_bench = a.translate_bench and os.path.abspath(a.translate_bench)
    a.blocking_bench = a.blocking_bench and os.path.abspath(a.blocking_bench)
    return a


def kovra_env(args, env=os.environ):
    """`env` for a process in the project venv: --kovra-path first on PYTHONPATH."""
    env = dict(env)
    if args.kovra_path:
        env["PYTHONPATH"] = args.kovra_path + os.pathsep + env.get("PYTHONPATH", "")
    return env


def write_circuit(workdir, circuit):
    """Writes the circuit where the jobs find it; returns the path."""
    path = os.path.join(workdir, "circuits", circuit["name"] + ".json")
    with open(path, "w") as f:
        json.dump(circuit, f)
    return path


class Runner:
    def __init__(self, args, workdir):
        self.args = args
        self.workdir = workdir
        self.count = 0

    def run(self, engine, circuit_path, threads, reps, fusion=False, probs_out=None, **extra):
        self.count += 1
        job = dict(circuit=circuit_path, engine=engine, threads=threads, fusion=fusion, reps=reps,
                   probs_out=probs_out, **extra)
        job_path = os.path.join(self.workdir, "job-%d.json" % self.count)
        with open(job_path, "w") as f:
            json.dump(job, f)
        env = dict(os.environ, OMP_NUM_THREADS=str(threads))
        if engine == "kovra":
            python, script = self.args.kovra_python, "run_kovra.py"
            env = kovra_env(self.args, env)
        elif engine == "bandwidth":
            python, script = sys.executable, "run_bandwidth.py"
        else:
            python, script = sys.executable, "run_peer.py"
        started = time.perf_counter()
        proc = subprocess.run([python, os.path.join(HERE, script), job_path], capture_output=True, text=True,
                              env=env, cwd=HERE, timeout=self.args.timeout)
        if proc.returncode != 0:
            raise RuntimeError("%s failed (exit %d):\n%s" % (engine, proc.returncode, proc.stderr[-3000:]))
        out = json.loads(proc.stdout.strip().splitlines()[-1])
        out["wall"] = time.perf_counter() - started
        return out


def peer_configs(args, n):
    """(peer, threads, fusion, extra job fields) of every timed peer run."""
    threads = args.threads if n <= args.full_max_n else [max(args.threads)]
    out = []
    for peer in args.peers:
        for t in threads:
            for fusion in (False, True):
                if not (fusion or n <= args.slow_max_n or peer == "qsim"):
                    continue
                sizes = QSIM_FUSED_SIZES if peer == "qsim" and fusion else (None,)
                out += [(peer, t, fusion, {"fused_size": size} if size else {}) for size in sizes]
    return out


def check(runner, args, circuit, path):
    """Every peer configuration against kovra, on every basis state."""
    mine = os.path.join(runner.workdir, "kovra.bin")
    runner.run("kovra", path, max(args.threads), 1, probs_out=mine)
    reference = np.fromfile(mine)
    if len(reference) != 1 << circuit["n"] or abs(reference.sum() - 1) > 1e-6:
        raise SystemExit("kovra's probabilities of %s are malformed (%d entries, sum %r)"
                         % (circuit["name"], len(reference), reference.sum()))
    worst = {}
    configs = [("kovra", max(args.threads), True, {})] + peer_configs(args, circuit["n"])
    for peer, _, fusion, extra in configs:
        if (peer, fusion) in worst:
            continue
        theirs = os.path.join(runner.workdir, "peer.bin")
        runner.run(peer, path, max(args.threads), 1, fusion=fusion, probs_out=theirs, **extra)
        diff = float(np.max(np.abs(np.fromfile(theirs) - reference)))
        worst[(peer, fusion)] = diff
        if not diff <= TOLERANCE:
            print("DISAGREEMENT on %s: %s (fusion %s) differs from kovra by %.3g" %
                  (circuit["name"], peer, fusion, diff), flush=True)
            sys.exit(2)
    os.remove(mine)
    return {"%s%s" % (peer, "+fusion" if fusion else ""): d for (peer, fusion), d in worst.items()}


def circuit_list(args):
    out = [C.random_layered(n, args.depth) for n in args.random_n]
    out += [C.qft(n) for n in args.qft_n]
    out += [C.teleport_chain(n, steps) for n, steps in args.teleport]
    names = {c["name"] for c in out}
    for path in args.circuit:
        circuit = user_circuit(args, path)
        base, k = circuit["name"], 1
        while circuit["name"] in names:
            k += 1
            circuit["name"] = "%s-%d" % (base, k)
        names.add(circuit["name"])
        out.append(circuit)
    if not out:
        raise SystemExit("nothing to race: every circuit list is empty and no --circuit was given")
    return out


def user_circuit(args, path):
    """The race form of the user's circuit file; SystemExit naming the file and the fault."""
    stem, suffix = os.path.splitext(os.path.basename(path))
    if not os.path.isfile(path):
        raise SystemExit("--circuit %s: no such file" % path)
    if suffix == ".qasm":
        proc = subprocess.run([args.kovra_python, os.path.join(HERE, "qasm_to_neutral.py"), path],
                              capture_output=True, text=True, env=kovra_env(args), timeout=args.timeout)
        if proc.returncode != 0:
            raise SystemExit("--circuit %s: %s" % (path, proc.stderr.strip() or "the converter failed"))
        circuit = json.loads(proc.stdout)
    elif suffix == ".json":
        try:
            with open(path) as f:
                circuit = json.load(f)
        except ValueError as e:
            raise SystemExit("--circuit %s: not valid JSON: %s" % (path, e))
    else:
        raise SystemExit("--circuit %s: expected an OpenQASM 2 file (.qasm) or a neutral circuit (.json)" % path)
    try:
        circuit = C.race_form(circuit)
    except ValueError as e:
        raise SystemExit("--circuit %s: %s" % (path, e))
    circuit.setdefault("name", re.sub(r"[^A-Za-z0-9_.+-]", "_", stem) or "circuit")
    circuit["family"] = "user"
    return circuit


def main():
    args = arguments()
    os.makedirs(args.out, exist_ok=True)
    tag = args.tag or datetime.date.today().isoformat()
    started = time.perf_counter()
    results = {
        "date": datetime.datetime.now().isoformat(timespec="seconds"),
        "machine": machine(),
        "settings": {k: v for k, v in vars(args).items() if k not in ("kovra_python", "kovra_path", "out")},
        "circuits": [],
        "bandwidth": {},
    }
    circuits = circuit_list(args)  # user circuits are checked before anything runs
    with tempfile.TemporaryDirectory(prefix="kovra-race-") as workdir:
        runner = Runner(args, workdir)
        os.makedirs(os.path.join(workdir, "circuits"))  # apart from the job files, whatever a circuit is called
        results["fusion_probe"] = fusion_probe(runner, args, results)
        for circuit in circuits:
            path = write_circuit(workdir, circuit)
            n = circuit["n"]
            entry = {"name": circuit["name"], "family": circuit["family"], "n": n,
                     "gates": C.gate_count(circuit), "measurements": C.measurement_count(circuit)}
            print("[%6.0fs] %s: %d gates, %d measurements" % (time.perf_counter() - started, circuit["name"],
                                                                entry["gates"], entry["measurements"]), flush=True)
            entry["agreement"] = check(runner, args, circuit, path)
            print("         agreement (max |p - p_kovra|): %s" %
                  ", ".join("%s %.1e" % kv for kv in entry["agreement"].items()), flush=True)
            runs = []
            reps = args.reps if n <= args.full_max_n else args.big_reps
            for threads in args.threads:
                for fusion in (False, True):
                    runs.append(runner.run("kovra", path, threads, reps, fusion=fusion))
            for peer, threads, fusion, extra in peer_configs(args, n):
                runs.append(runner.run(peer, path, threads, reps, fusion=fusion, **extra))
            if entry["measurements"] and "aer" in args.peers:
                runs.append(runner.run("aer", path, max(args.threads), reps, mode="shots", shots=args.shots))
            entry["runs"] = runs
            for r in runs:
                label = ("fusion%s" % (r["fused_size"] if r.get("fused_size") else "") if r["fusion"]
                         else ("shots" if r["mode"] == "shots" else ""))
                print("         %-7s %dt %-9s median %8.4fs  peak %7.0f MiB" %
                      (r["engine"], r["threads"], label, r["median"], r["peak_mib"]), flush=True)
            if blocking_applies(args, circuit):
                entry["blocking"] = blocking(args, path)
                b = entry["blocking"]
                print("         blocking_bench: %s" % (b.get("error") or "%d gates in %d passes, gate by gate %.4fs, "
                      "blocked %.4fs" % (b["gates"], b["passes"], b["gate_by_gate_s"], b["blocked_s"])), flush=True)
            for threads in args.threads:
                key = "%d/%d" % (n, threads)
                if key not in results["bandwidth"]:
                    results["bandwidth"][key] = runner.run("bandwidth", path, threads, max(args.reps, 5), n=n)
            results["circuits"].append(entry)
            write(results, args, tag, plots=False)  # a cut-short run keeps what it measured
    if args.translate_bench and os.path.exists(args.translate_bench):
        results["translation"] = translation_share(args.translate_bench)
    results["elapsed_s"] = time.perf_counter() - started
    results["machine"]["load_after"] = os.getloadavg()
    paths = write(results, args, tag, plots=True)
    print("wrote %s in %.0f s" % (", ".join(paths), results["elapsed_s"]))


def fusion_probe(runner, args, results):
    """Every engine in its fusion-off setting, and kovra, at one pinned thread:
    the extra time per added rotation, against one in-place pass."""
    paths = [write_circuit(runner.workdir, C.fusion_probe(PROBE_N, rotations)) for rotations in (0, PROBE_ROTATIONS)]
    key = "%d/1" % PROBE_N
    if key not in results["bandwidth"]:
        results["bandwidth"][key] = runner.run("bandwidth", paths[0], 1, max(args.reps, 5), n=PROBE_N)
    one_pass = results["bandwidth"][key]["median"]
    probe = {"n": PROBE_N, "rotations": PROBE_ROTATIONS, "reps": PROBE_REPS, "pass_s": one_pass,
             "fusing_below": FUSING_BELOW, "engines": {}}
    print("fusion probe: %d qubits, %d rotations on one qubit, 1 thread; one pass %.5fs"
          % (PROBE_N, PROBE_ROTATIONS, one_pass), flush=True)
    for engine in ["kovra"] + args.peers:
        try:
            base, more = (runner.run(engine, path, 1, PROBE_REPS)["median"] for path in paths)
        except RuntimeError as e:  # the race still stands; this engine's probe is unknown
            probe["engines"][engine] = {"setting": UNFUSED_SETTING.get(engine), "error": str(e)[-2000:]}
            print("         %-7s probe failed: %s" % (engine, str(e)[-300:]), flush=True)
            continue
        per_rotation = (more - base) / PROBE_ROTATIONS
        passes = per_rotation / one_pass
        probe["engines"][engine] = {"setting": UNFUSED_SETTING.get(engine), "base_s": base, "rotations_s": more,
                                    "per_rotation_s": per_rotation, "per_rotation_passes": passes,
                                    "fusing": passes < FUSING_BELOW}
        print("         %-7s %-22s H only %.4fs, with rotations %.4fs: %.3f pass per rotation%s"
              % (engine, UNFUSED_SETTING.get(engine), base, more, passes,
                 " (fusing)" if passes < FUSING_BELOW else ""), flush=True)
    return probe



def write(results, args, tag, plots):
    import report

    json_path = os.path.join(args.out, tag + ".json")
    with open(json_path, "w") as f:
        json.dump(results, f, indent=1)
    md_path = os.path.join(args.out, tag + ".md")
    with open(md_path, "w") as f:
        f.write(report.markdown(results))
    return [json_path, md_path] + (report.plots(results, args.out, tag) if plots else [])




def machine():
    info = {"cpus": os.cpu_count(), "load_before": os.getloadavg()}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    info["cpu"] = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        import qiskit, qiskit_aer, qsimcirq, cirq  # noqa: E401
        from importlib.metadata import version

        info["versions"] = {"qiskit": qiskit.__version__, "qiskit-aer": qiskit_aer.__version__,
                            "qulacs": version("qulacs"), "qsimcirq": qsimcirq.__version__, "cirq": cirq.__version__}
    except Exception as e:  # the figures still stand without the versions
        info["versions"] = repr(e)
    return info


if __name__ == "__main__":
    main()
