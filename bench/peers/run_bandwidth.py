"""The memory-bandwidth limit of a gate: one in-place pass that reads and
writes every amplitude of a state-sized vector once, multiplying each by a
constant. `python run_bandwidth.py JOB.json` with "n", "threads" and "reps";
with two threads each takes one half of the vector (numpy releases the
interpreter lock inside the loop), on threads started before the clock."""

from concurrent.futures import ThreadPoolExecutor

import numpy as np

from common import finish, pin, read_job_plain, rss_mib, timed


def main():
    job = read_job_plain()
    pin(job["threads"])
    v = np.ones(1 << job["n"], dtype=np.complex128)
    c = np.complex128(0.999 + 0.001j)
    parts = np.array_split(v, job["threads"])

    pool = ThreadPoolExecutor(max_workers=len(parts))  # started before the clock

    def one_pass():
        if len(parts) == 1:
            np.multiply(v, c, out=v)
            return
        for f in [pool.submit(np.multiply, p, c, out=p) for p in parts]:
            f.result()

    one_pass()  # touch every page first
    baseline = rss_mib()
    times, _ = timed(one_pass, job["reps"])
    finish(job, times, baseline)


if __name__ == "__main__":
    main()
