"""One program on a peer, in a fresh process of the peers venv:
`python run_peer.py JOB.json` prints one JSON object on its last line.

Each peer reads the OpenQASM text with its own toolkit's reader before the
clock starts, and gives the distribution of the measured qubits:

- Aer: qiskit's loader, translated to Aer's gates (transpile at
  optimization level 0: nothing merged or dropped), the final measurements
  replaced by save_probabilities (the dense vector kovra returns too);
  method "statevector", double precision, its fusion as by default; timed:
  `run(...).result()` and the probabilities taken from it.
- qsim: cirq's reader, the program's own gates unrolled and the final
  measurements dropped; qsimcirq's `simulate` with its defaults (single
  precision, gates fused up to 2 qubits) and the job's threads; timed:
  `simulate`, which returns the final state vector.
"""

import json
import os
import re
import statistics
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "bench", "peers"))
sys.path.insert(0, HERE)

from common import peak_mib, pin, read_job_plain, rss_mib, timed  # noqa: E402


def run_aer(job, text):
    import qiskit.qasm2
    from qiskit import transpile
    from qiskit_aer import AerSimulator

    qc = qiskit.qasm2.loads(text, custom_instructions=qiskit.qasm2.LEGACY_CUSTOM_INSTRUCTIONS)
    n = qc.num_qubits
    qc.remove_final_measurements(inplace=True)
    qc.save_probabilities()
    sim = AerSimulator(method="statevector", precision="double", max_parallel_threads=job["threads"])
    qc = transpile(qc, sim, optimization_level=0)
    baseline = rss_mib()
    times, p = timed(lambda: sim.run(qc).result().data()["probabilities"], job["reps"])
    return n, times, baseline, p, False


def qubit_order(text, qubits):
    """cirq's qubits in the program's declaration order (kovra's numbering)."""
    import cirq

    names = {str(q): q for q in qubits}
    order = []
    for name, size in re.findall(r"\bqreg\s+(\w+)\s*\[\s*(\d+)\s*\]", re.sub(r"//[^\n]*", "", text)):
        order += [names.get("%s_%d" % (name, i), cirq.NamedQubit("%s_%d" % (name, i))) for i in range(int(size))]
    return order


def run_qsim(job, text):
    import cirq
    import qsimcirq
    from cirq.contrib.qasm_import import circuit_from_qasm

    circuit = circuit_from_qasm(text)
    circuit = cirq.drop_terminal_measurements(cirq.unroll_circuit_op(circuit, deep=True, tags_to_check=None))
    order = qubit_order(text, circuit.all_qubits())
    sim = qsimcirq.QSimSimulator(qsimcirq.QSimOptions(cpu_threads=job["threads"]))
    baseline = rss_mib()
    times, result = timed(lambda: sim.simulate(circuit, qubit_order=order), job["reps"])
    state = result.final_state_vector
    return len(order), times, baseline, state, True


def main():
    job = read_job_plain()
    pin(job["threads"])
    with open(job["program"]) as f:
        text = f.read()
    n, times, baseline, data, is_state = {"aer": run_aer, "qsim": run_qsim}[job["engine"]](job, text)
    out = {"engine": job["engine"], "threads": job["threads"], "times": times, "median": statistics.median(times),
           "baseline_mib": baseline, "peak_mib": peak_mib()}
    import numpy as np

    import summary

    if is_state:
        data = np.abs(data.astype(np.complex128)) ** 2
    out["summary"] = summary.describe(data, n, qubit0_high=job["engine"] != "aer")
    print(json.dumps(out))


if __name__ == "__main__":
    main()
