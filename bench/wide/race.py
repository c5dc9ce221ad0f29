"""Wide programs that measure every qubit: kovra against qsim and Aer.

Runs in the peers venv (bench/peers/setup_venv.sh); kovra's runs go through
the project venv's Python (--kovra-python, --kovra-path on its PYTHONPATH).
Every run is a fresh process, so its peak resident memory is its own. For
each program of programs.py, written as OpenQASM 2 text that every engine
reads with its own reader:

1. kovra, qsim and Aer each run it --reps times at --threads threads (the
   median counts) and describe their output (summary.py); a peer whose
   output disagrees with kovra's is reported and makes the exit status 2;
2. the ratios kovra/qsim and kovra/Aer, and their geometric means;
3. once, kovra's memory by phase on --memory-program (26 qubits, output
   spread over every outcome): peak above the baseline after `execute`,
   after `probability_array()` and after `sample_counts(1000)`, in state
   vectors of 16 * 2^n bytes.

The machine is shared: before each run the race waits (up to --wait
seconds) until no compiler, build, MPI or test run is going, and records in
the run whether it had to go ahead under such load.

Writes <out>/<tag>.json and <tag>.md.
"""

import argparse
import datetime
import json
import math
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)

import programs  # noqa: E402
import summary  # noqa: E402

ENGINES = ("kovra", "qsim", "aer")
BUSY = "cc1plus|ninja|mpirun|pytest"


def arguments():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--programs", default=",".join(programs.PROGRAMS),
                   help="comma-separated names from programs.py (default: all)")
    p.add_argument("--engines", default=",".join(ENGINES))
    p.add_argument("--reps", type=int, default=None,
                   help="timed runs per figure, the median counts (default: 3 from 25 qubits, 5 at 23 and 24, "
                        "9 below, where a run takes milliseconds and varies more)")
    p.add_argument("--threads", type=int, default=2)
    p.add_argument("--memory-program", default="ising_n26",
                   help="the program of the memory-by-phase figure ('' for none)")
    p.add_argument("--kovra-python",
                   default=os.environ.get("KOVRA_PYTHON", os.path.join(ROOT, ".venv", "bin", "python")))
    p.add_argument("--kovra-path", default=os.environ.get("KOVRA_PYTHONPATH", ""),
                   help="put first on kovra's PYTHONPATH (default: the module installed in the project venv)")
    p.add_argument("--out", default=os.path.join(ROOT, "bench", "results"))
    p.add_argument("--tag", default=None, help="results file name (default: <today>-wide)")
    p.add_argument("--wait", type=float, default=1800, help="seconds to wait for a quiet machine before each run")
    p.add_argument("--timeout", type=float, default=1800, help="seconds allowed for one run")
    a = p.parse_args()
    a.programs = [x for x in a.programs.split(",") if x]
    unknown = [x for x in a.programs if x not in programs.PROGRAMS]
    if unknown:
        p.error("unknown programs %s; known: %s" % (", ".join(unknown), ", ".join(programs.PROGRAMS)))
    a.engines = [x for x in a.engines.split(",") if x]
    return a


def reps_for(args, n):
    if args.reps:
        return args.reps
    return 3 if n >= 25 else 5 if n >= 23 else 9


def busy():
    """The compiler, build, MPI and test processes running now."""
    proc = subprocess.run(["pgrep", "-fa", BUSY], capture_output=True, text=True)
    return [line for line in proc.stdout.splitlines() if line.strip()]


def wait_quiet(limit):
    """Waits until nothing of BUSY runs, at most `limit` seconds; returns
    what still ran then (empty when quiet) and the seconds waited."""
    started = time.monotonic()
    while True:
        running = busy()
        if not running or time.monotonic() - started >= limit:
            return running, time.monotonic() - started
        time.sleep(15)


def run_job(args, workdir, job):
    path = os.path.join(workdir, "job.json")
    with open(path, "w") as f:
        json.dump(job, f)
    env = dict(os.environ, OMP_NUM_THREADS=str(job["threads"]))
    if job["engine"] == "kovra":
        python, script = args.kovra_python, "run_kovra.py"
        if args.kovra_path:
            env["PYTHONPATH"] = args.kovra_path + os.pathsep + env.get("PYTHONPATH", "")
    else:
        python, script = sys.executable, "run_peer.py"
    running, waited = wait_quiet(args.wait)
    load = os.getloadavg()
    proc = subprocess.run([python, os.path.join(HERE, script), path], capture_output=True, text=True, env=env,
                          cwd=HERE, timeout=args.timeout)
    if proc.returncode != 0:
        raise RuntimeError("%s failed (exit %d):\n%s" % (job["engine"], proc.returncode, proc.stderr[-3000:]))
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    out.update(load_before=load, waited_s=waited, under_load=running[:5])
    return out


def gate_count(text):
    """Gates of the program with its own gate definitions expanded (qiskit's
    standard gates counted once each), measurements left out."""
    import qiskit.qasm2
    from qiskit.circuit.library import get_standard_gate_name_mapping

    standard = set(get_standard_gate_name_mapping())
    qc = qiskit.qasm2.loads(text, custom_instructions=qiskit.qasm2.LEGACY_CUSTOM_INSTRUCTIONS)
    while True:
        own = {i.operation.name for i in qc.data if i.operation.name not in standard
               and i.operation.name not in ("measure", "barrier") and i.operation.definition is not None}
        if not own:
            break
        qc = qc.decompose(gates_to_decompose=list(own))
    ops = qc.count_ops()
    return sum(v for k, v in ops.items() if k not in ("measure", "barrier")), dict(ops)


def geomean(values):
    values = [v for v in values if v]
    return math.exp(sum(math.log(v) for v in values) / len(values)) if values else None


def machine():
    info = {"cpus": os.cpu_count()}
    try:
        lscpu = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        for line in lscpu.splitlines():
            key, _, value = line.partition(":")
            if key.strip() in ("Model name", "L2 cache", "L3 cache"):
                info[key.strip()] = value.strip()
            if key.strip() == "Flags":
                flags = value.split()
                info["flags"] = [f for f in ("avx2", "fma", "avx512f", "avx512dq", "avx512vl") if f in flags]
    except OSError:
        pass
    try:
        with open("/proc/meminfo") as f:
            info["memory_gib"] = round(int(f.readline().split()[1]) / 2**20, 1)
    except OSError:
        pass
    try:
        from importlib.metadata import version

        info["versions"] = {k: version(k) for k in ("qiskit", "qiskit-aer", "qsimcirq", "cirq-core")}
    except ImportError as e:  # a package not found: the figures still stand without the versions
        info["versions"] = repr(e)
    return info


def vectors(mib, n):
    return mib * 2**20 / (16.0 * (1 << n))


def markdown(results):
    m = results["machine"]
    reps = results["settings"]["reps"] or "3 (25 qubits and more), 5 (23, 24) or 9"
    lines = ["# Wide programs measuring every qubit: kovra, qsim, Aer (%s)" % results["date"], "",
             "CPU: %s, %d CPUs, %s; L2 %s, L3 %s; %s GiB. %d threads everywhere, median of %s runs, "
             "each engine in a fresh process." % (m.get("Model name"), m["cpus"], "/".join(m.get("flags", [])),
                                                   m.get("L2 cache"), m.get("L3 cache"), m.get("memory_gib"),
                                                   results["settings"]["threads"], reps),
             "kovra: `execute(capsule, {})` (every qubit reported, fusion by size) and `probability_array()`; "
             "qsim: qsimcirq `simulate` (single precision, default fusion); Aer: statevector method, double, "
             "final measurements as `save_probabilities`.", "",
             "Times are medians of the runs in one process; the first run of each process also pays for fresh "
             "memory (on this virtual machine the host backs a page the first time it is touched, about 2.5 s per "
             "GiB on one CPU), and is shown apart in the last column.", "",
             "Command: `%s`" % results["command"], "",
             "| program | qubits | gates | kovra s | qsim s | Aer s | kovra/qsim | kovra/Aer "
             "| peak MiB kovra / qsim / Aer | kovra peak over baseline (state vectors) "
             "| first run s kovra / qsim / Aer |",
             "|---|---|---|---|---|---|---|---|---|---|---|"]
    for entry in results["programs"]:
        runs = entry["runs"]

        def t(engine):
            return "%.3f" % runs[engine]["median"] if engine in runs else "-"

        def ratio(engine):
            r = entry["ratios"].get(engine)
            return "%.2f" % r if r else "-"

        peaks = " / ".join("%.0f" % runs[e]["peak_mib"] if e in runs else "-" for e in ENGINES)
        over = ("%.2f" % vectors(runs["kovra"]["peak_mib"] - runs["kovra"]["baseline_mib"], entry["n"])
                if "kovra" in runs else "-")
        first = " / ".join("%.3f" % runs[e]["times"][0] if e in runs else "-" for e in ENGINES)
        lines.append("| %s | %d | %d | %s | %s | %s | %s | %s | %s | %s | %s |" % (
            entry["name"], entry["n"], entry["gates"], t("kovra"), t("qsim"), t("aer"), ratio("qsim"), ratio("aer"),
            peaks, over, first))
    g = results["geomean"]
    lines.append("| geometric mean | | | | | | %s | %s | | | |" % (
        "%.2f" % g["qsim"] if g.get("qsim") else "-", "%.2f" % g["aer"] if g.get("aer") else "-"))
    lines.append("")
    bad = [(e["name"], k, d) for e in results["programs"] for k, d in e["agreement"].items() if not summary.agree(d)]
    lines.append("Outputs agree with kovra's (marginals and largest entries within %g, sums of squares within %g "
                 "relative) in every run%s." % (summary.ATOL, summary.SQUARES_RTOL,
                                               "" if not bad else ", EXCEPT: " + "; ".join(
                                                   "%s %s %s" % b for b in bad)))
    loaded = [(e["name"], k) for e in results["programs"] for k, r in e["runs"].items() if r.get("under_load")]
    lines.append("Runs taken while a build or test was going: %s." % (
        ", ".join("%s %s" % x for x in loaded) if loaded else "none"))
    mem = results.get("memory")
    if mem:
        lines += ["", "## kovra's memory by phase: %s (%d qubits, one state vector %.0f MiB)" % (
            mem["program"], mem["n"], 16.0 * (1 << mem["n"]) / 2**20), "",
            "| after | seconds | peak above baseline, state vectors |", "|---|---|---|"]
        for phase, value in mem["phases"].items():
            lines.append("| %s | %.3f | %.3f |" % (phase, value["s"], value["peak_over_baseline_vectors"]))
        lines.append("")
        lines.append("Baseline %.0f MiB (interpreter, kovra, the loaded program); `.probabilities` not read." %
                     mem["baseline_mib"])
    return "\n".join(lines) + "\n"


def main():
    args = arguments()
    tag = args.tag or datetime.date.today().isoformat() + "-wide"
    os.makedirs(args.out, exist_ok=True)
    started = time.perf_counter()
    results = {"date": datetime.datetime.now().isoformat(timespec="seconds"), "machine": machine(),
               "settings": {k: v for k, v in vars(args).items() if k not in ("kovra_python", "kovra_path", "out")},
               "command": "bash bench/wide/run.sh " + " ".join(sys.argv[1:]), "load_before": os.getloadavg(),
               "programs": []}
    failed = False
    with tempfile.TemporaryDirectory(prefix="kovra-wide-") as workdir:
        paths = programs.write_all(workdir, args.programs)
        for name, path in zip(args.programs, paths):
            with open(path) as f:
                text = f.read()
            gates, ops = gate_count(text)
            n = int(name.rsplit("_n", 1)[1])
            entry = {"name": name, "n": n, "gates": gates, "ops": ops, "runs": {}, "agreement": {}, "ratios": {}}
            print("[%6.0fs] %s: %d qubits, %d gates" % (time.perf_counter() - started, name, n, gates), flush=True)
            for engine in args.engines:
                job = {"program": path, "engine": engine, "threads": args.threads, "reps": reps_for(args, n)}
                run = run_job(args, workdir, job)
                entry["runs"][engine] = run
                print("         %-5s median %8.3fs  peak %7.0f MiB%s" % (
                    engine, run["median"], run["peak_mib"],
                    "  (under load: %s)" % run["under_load"][0][:60] if run["under_load"] else ""), flush=True)
            mine = entry["runs"].get("kovra")
            for engine, run in entry["runs"].items():
                if engine == "kovra" or not mine:
                    continue
                diff = summary.differences(mine["summary"], run["summary"])
                entry["agreement"][engine] = diff
                entry["ratios"][engine] = mine["median"] / run["median"]
                if not summary.agree(diff):
                    failed = True
                    print("DISAGREEMENT on %s: %s %s" % (name, engine, diff), flush=True)
            results["programs"].append(entry)
            write(results, args, tag)  # a cut-short run keeps what it measured
    if args.memory_program and "kovra" in args.engines:
        with tempfile.TemporaryDirectory(prefix="kovra-wide-") as workdir:
            path, = programs.write_all(workdir, [args.memory_program])
            run = run_job(args, workdir, {"program": path, "engine": "kovra", "threads": args.threads,
                                          "reps": 1, "phases": True})
            n = run["summary"]["n"]
            results["memory"] = {"program": args.memory_program, "n": n, "phases": run["phases"],
                                 "baseline_mib": run["baseline_mib"], "peak_mib": run["peak_mib"],
                                 "under_load": run["under_load"]}
    results["load_after"] = os.getloadavg()
    results["elapsed_s"] = time.perf_counter() - started
    for p in write(results, args, tag):
        print("wrote", p)
    sys.exit(2 if failed else 0)


def write(results, args, tag):
    results["geomean"] = {e: geomean([p["ratios"].get(e) for p in results["programs"]]) for e in ("qsim", "aer")}
    json_path = os.path.join(args.out, tag + ".json")
    with open(json_path, "w") as f:
        json.dump(results, f, indent=1)
    md_path = os.path.join(args.out, tag + ".md")
    with open(md_path, "w") as f:
        f.write(markdown(results))
    return [json_path, md_path]


if __name__ == "__main__":
    main()
