"""Races kovra against Qiskit Aer, Qulacs and qsim on the same circuits.

Runs in the peers venv; kovra's runs go through the project venv's Python
(--kovra-python, with --kovra-path on its PYTHONPATH). Every measurement is a
fresh process, so its peak memory is its own. For each circuit:

1. check: kovra and every peer configuration run it once and write their
   probabilities; any peer further than 1e-7 from kovra on any basis state
   stops the run (exit status 2) before anything is timed;
2. timing: kovra at 1 and 2 threads, every peer at 1 and 2 threads with its
   gate fusion off and on, each the median of --reps runs;
3. the in-place pass over a state-sized vector at 1 and 2 threads, once per
   qubit count, as the memory-bandwidth limit.

Writes results/<date>.json and results/<date>.md, and the plots through plot.py.
"""

import argparse
import datetime
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import circuits as C  # noqa: E402

PEERS = ("aer", "qulacs", "qsim")
TOLERANCE = 1e-7


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
    p.add_argument("--reps", type=int, default=None, help="timed runs per figure (median)")
    p.add_argument("--threads", type=parse_list, default=[1, 2])
    p.add_argument("--full-max-n", type=int, default=22,
                   help="above this many qubits the peers run only at the highest thread count, "
                        "--big-reps times (kovra keeps every thread count)")
    p.add_argument("--big-reps", type=int, default=3, help="timed runs per figure above --full-max-n")
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
    return a


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
            if self.args.kovra_path:
                env["PYTHONPATH"] = self.args.kovra_path + os.pathsep + env.get("PYTHONPATH", "")
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
    threads = args.threads if n <= args.full_max_n else [max(args.threads)]
    return [(peer, t, fusion) for peer in args.peers for t in threads for fusion in (False, True)
            if fusion or n <= args.slow_max_n or peer == "qsim"]


def check(runner, args, circuit, path):
    """Every peer configuration against kovra, on every basis state."""
    mine = os.path.join(runner.workdir, "kovra.bin")
    runner.run("kovra", path, max(args.threads), 1, probs_out=mine)
    reference = np.fromfile(mine)
    if len(reference) != 1 << circuit["n"] or abs(reference.sum() - 1) > 1e-6:
        raise SystemExit("kovra's probabilities of %s are malformed (%d entries, sum %r)"
                         % (circuit["name"], len(reference), reference.sum()))
    worst = {}
    for peer, _, fusion in peer_configs(args, circuit["n"]):
        if (peer, fusion) in worst:
            continue
        theirs = os.path.join(runner.workdir, "peer.bin")
        runner.run(peer, path, max(args.threads), 1, fusion=fusion, probs_out=theirs)
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
    return out


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
    with tempfile.TemporaryDirectory(prefix="kovra-race-") as workdir:
        runner = Runner(args, workdir)
        for circuit in circuit_list(args):
            path = os.path.join(workdir, circuit["name"] + ".json")
            with open(path, "w") as f:
                json.dump(circuit, f)
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
                runs.append(runner.run("kovra", path, threads, reps))
            for peer, threads, fusion in peer_configs(args, n):
                runs.append(runner.run(peer, path, threads, reps, fusion=fusion))
            if circuit["family"] == "teleport" and "aer" in args.peers:
                runs.append(runner.run("aer", path, max(args.threads), reps, mode="shots", shots=args.shots))
            entry["runs"] = runs
            for r in runs:
                print("         %-7s %dt %-9s median %8.4fs  peak %7.0f MiB" %
                      (r["engine"], r["threads"], "fusion" if r["fusion"] else ("shots" if r["mode"] == "shots" else ""), r["median"],
                       r["peak_mib"]), flush=True)
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


def write(results, args, tag, plots):
    import report

    json_path = os.path.join(args.out, tag + ".json")
    with open(json_path, "w") as f:
        json.dump(results, f, indent=1)
    md_path = os.path.join(args.out, tag + ".md")
    with open(md_path, "w") as f:
        f.write(report.markdown(results))
    return [json_path, md_path] + (report.plots(results, args.out, tag) if plots else [])


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
