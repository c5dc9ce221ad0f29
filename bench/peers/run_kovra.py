"""Runs one job on kovra's BasicSimulator in the project venv:
`python run_kovra.py JOB.json` (kovra_backends importable, for instance with
PYTHONPATH=build/dev/python). See common.py for the job and output.

The circuit is built with the project's graph builder before the clock
starts; what is timed is `BasicSimulator.execute`, end to end: reading the
graph, translating it, simulating and packing the result. The timed runs ask
for the probabilities of qubit 0 only ("mqubits": [0]) so that the result
stays small at any size; the check run reads every probability.

The thread count is the number of CPUs the process may run on: the job's
"threads" pins the process to that many before kovra is imported.
"""

import os
import sys

from common import finish, pin, read_job, rss_mib, timed, write_probabilities

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "python"))

from kovra.builder import EQUAL, CircuitBuilder  # noqa: E402


def build(circuit):
    builder = CircuitBuilder()
    builder.qreg(circuit["n"])
    if circuit["clbits"]:
        builder.creg(circuit["clbits"])
    for op in circuit["ops"]:
        if op["g"] == "MEASURE":
            builder.measure(op["q"], op["c"])
        elif "if" in op:
            bit, value = op["if"]
            builder.gate(op["g"], op["q"], params=op.get("p"), condition=([bit], EQUAL, value))
        else:
            builder.gate(op["g"], op["q"], params=op.get("p"))
    return builder


def probabilities_of(result, n):
    import numpy as np

    if len(result.states):
        return np.abs(np.asarray(result.states, dtype=np.complex128)) ** 2
    p = np.zeros(1 << n)
    for key, value in result.probabilities.items():
        p[int(key, 2)] = value
    return p


def main():
    job = read_job()
    pin(job["threads"])
    import kovra_backends

    circuit = job["circuit"]
    builder = build(circuit)
    capsule = builder.capsule()
    simulator = kovra_backends.BasicSimulator()
    checking = bool(job.get("probs_out"))
    # "fusion" off: the exact gate-by-gate arithmetic; on: gates merged into matrices.
    config = {"fusion": bool(job.get("fusion"))}
    if job.get("precision"):
        config["precision"] = job["precision"]
    if not checking:
        config["mqubits"] = [0]
    baseline = rss_mib()
    times, result = timed(lambda: simulator.execute(capsule, config), job["reps"])
    if checking:
        write_probabilities(job["probs_out"], probabilities_of(result, circuit["n"]))
    finish(job, times, baseline, cpus=len(os.sched_getaffinity(0)))


if __name__ == "__main__":
    main()
