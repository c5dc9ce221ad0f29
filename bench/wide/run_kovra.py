"""One program on kovra's BasicSimulator, in a fresh process of the project
venv: `python run_kovra.py JOB.json` prints one JSON object on its last line.

The program is read with kovra's OpenQASM importer before the clock starts.
What is timed is `execute` with the job's config (by default none: every
qubit reported, fusion as chosen by size) and the result's
`probability_array()`, so the dense distribution is in the caller's hands;
`.probabilities` (the dict) is never read.

With "phases": true the job instead reports, for one run, the peak
resident memory above the baseline after `execute`, after
`probability_array()` and after `sample_counts(1000)` (each a state-vector
multiple), and the time of each step.
"""

import json
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "bench", "peers"))
sys.path.insert(0, HERE)

from common import peak_mib, pin, read_job_plain, rss_mib, timed  # noqa: E402


def phases(simulator, capsule, config, n, baseline):
    vector_mib = 16.0 * (1 << n) / 2**20
    out = {}

    def mark(name, started):
        out[name] = {"s": time.perf_counter() - started,
                     "peak_over_baseline_vectors": (peak_mib() - baseline) / vector_mib}

    started = time.perf_counter()
    result = simulator.execute(capsule, config)
    mark("execute", started)
    started = time.perf_counter()
    p = result.probability_array()
    mark("probability_array", started)
    started = time.perf_counter()
    result.sample_counts(1000, seed=1)
    mark("sample_counts_1000", started)
    return out, p


def main():
    job = read_job_plain()
    pin(job["threads"])
    import kovra_backends
    from kovra.qasm import loads

    import summary

    with open(job["program"]) as f:
        program = loads(f.read())
    n = program.num_qubits
    capsule = program.capsule()
    simulator = kovra_backends.BasicSimulator()
    config = job.get("config") or {}
    baseline = rss_mib()
    out = {"engine": "kovra", "threads": job["threads"], "config": config, "baseline_mib": baseline,
           "cpus": len(os.sched_getaffinity(0))}
    if job.get("phases"):
        out["phases"], p = phases(simulator, capsule, config, n, baseline)
        out["peak_mib"] = peak_mib()
    else:
        times, result = timed(lambda: (lambda r: (r, r.probability_array()))(simulator.execute(capsule, config)),
                              job["reps"])
        out["times"] = times
        out["median"] = statistics.median(times)
        out["peak_mib"] = peak_mib()  # before the description's temporaries
        p = result[1]
    out["summary"] = summary.describe(p, n, qubit0_high=True)
    print(json.dumps(out))


if __name__ == "__main__":
    main()
