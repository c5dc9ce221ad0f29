"""What every runner shares: reading its job, memory figures, timing, output.

A runner is started as `python run_X.py JOB.json` in a fresh process (so its
peak memory is its own), runs the job and prints one JSON object on its last
line of standard output.
"""

import json
import os
import statistics
import sys
import time


def read_job_plain():
    with open(sys.argv[1]) as f:
        return json.load(f)


def read_job():
    """The job with its circuit file read in place of the path."""
    job = read_job_plain()
    with open(job["circuit"]) as f:
        job["circuit"] = json.load(f)
    return job


def pin(threads):
    """Restricts the process to the first `threads` of the CPUs it may run on."""
    os.sched_setaffinity(0, set(sorted(os.sched_getaffinity(0))[:threads]))


def _status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def rss_mib():
    return _status_kib("VmRSS") / 1024.0


def peak_mib():
    """The process's high-water mark of resident memory."""
    return _status_kib("VmHWM") / 1024.0


def timed(fn, reps):
    """Runs fn() `reps` times; returns the wall times in seconds and the last result."""
    times, out = [], None
    for _ in range(reps):
        out = None  # let the previous result go before the next run allocates
        start = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - start)
    return times, out


def write_probabilities(path, probabilities):
    """Raw little-endian doubles, one per basis state (index order of kovra:
    qubit 0 is the most significant bit)."""
    import array

    if hasattr(probabilities, "tofile"):
        probabilities.astype("<f8").tofile(path)
    else:
        array.array("d", probabilities).tofile(path)


def finish(job, times, baseline_mib, **extra):
    out = {
        "engine": job["engine"],
        "threads": job["threads"],
        "fusion": job.get("fusion", False),
        "mode": job.get("mode", "statevector"),
        "times": times,
        "median": statistics.median(times) if times else None,
        "baseline_mib": baseline_mib,
        "peak_mib": peak_mib(),
    }
    if job.get("fused_size"):
        out["fused_size"] = job["fused_size"]
    out.update(extra)
    print(json.dumps(out))
