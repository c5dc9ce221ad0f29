"""What dynamic circuits whose measurement histories meet again cost, beside
Qiskit Aer (when installed):

    PYTHONPATH=build/dev/python .venv/bin/python bench/branches/loops.py [--runs N]

- "accumulator": 2 qubits, 40 rounds of a coin measured into one bit, a
  rotation of the second qubit where it reads 1, and a reset: 2^40
  histories, 80 distinct (record, state) pairs.
- "repeat_until_success": 6 qubits, a loop on a flag bit inside an if, each
  attempt rotating the data; while_limit 1000 (and 100).
- "short_while": a loop that ends after two iterations on average, from a
  Qiskit circuit and from OpenQASM 3 source (while_limit 1000 unrolled).

Each figure is the median of several runs in a fresh process (the first
call of a process, imports excluded, and the best of the later ones), with
the child's peak resident memory. kovra's figures are
KovraBackend.probabilities (exact); Aer's are 1000 shots of its default
method.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

CHILD = r"""
import json, resource, sys, time
sys.path.insert(0, sys.argv[3])
import loops
import qiskit, qiskit.qasm3
name, who = sys.argv[1], sys.argv[2]
if who == "kovra":
    from kovra.qiskit import KovraBackend
else:
    import qiskit_aer
    simulator = qiskit_aer.AerSimulator()


def once():
    circuit = qiskit.qasm3.loads(loops.SHORT_QASM) if name == "short_while_qasm3" else loops.CIRCUITS[name]()
    limit = 100 if name == "repeat_until_success_100" else 1000
    if who == "kovra":
        return len(KovraBackend(while_limit=limit).probabilities(circuit))
    return len(simulator.run(qiskit.transpile(circuit, simulator), shots=1000).result().get_counts())


times = []
for _ in range(4):
    start = time.perf_counter()
    once()
    times.append(time.perf_counter() - start)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(json.dumps({"first": times[0], "later": min(times[1:]), "peak_mib": peak}))
"""


def accumulator(rounds=40, theta=0.3):
    from qiskit import QuantumCircuit
    qc = QuantumCircuit(2, 2)
    for _ in range(rounds):
        qc.h(0)
        qc.measure(0, 0)
        with qc.if_test((qc.clbits[0], 1)):
            qc.ry(theta, 1)
        qc.reset(0)
    qc.measure(1, 1)
    return qc


def repeat_until_success(phi=0.3, psi=0.2):
    from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister
    go, m, flag = ClassicalRegister(1, "go"), ClassicalRegister(1, "m"), ClassicalRegister(1, "flag")
    qc = QuantumCircuit(QuantumRegister(6), go, m, flag, ClassicalRegister(4, "out"))
    qc.h(4)
    qc.cx(4, 5)
    qc.h(0)
    qc.measure(0, go[0])
    qc.x(1)
    qc.measure(1, flag[0])
    with qc.if_test((go[0], 1)):
        with qc.while_loop((flag[0], 1)):
            qc.reset([0, 1])
            qc.h([0, 1])
            qc.ry(psi, 3)
            qc.measure(0, m[0])
            with qc.if_test((m[0], 1)):
                qc.ry(phi, 2)
            qc.measure(1, flag[0])
    qc.measure([2, 3, 4, 5], qc.cregs[3])
    return qc


def short_while():
    from qiskit import QuantumCircuit
    qc = QuantumCircuit(1, 1)
    qc.h(0)
    qc.measure(0, 0)
    with qc.while_loop((qc.clbits[0], 0)):
        qc.h(0)
        qc.measure(0, 0)
    return qc


SHORT_QASM = """OPENQASM 3.0;
include "stdgates.inc";
qubit[1] q;
bit[1] c;
h q[0];
c[0] = measure q[0];
while (c == 0) {
  h q[0];
  c[0] = measure q[0];
}
"""

CIRCUITS = {
    "accumulator": accumulator,
    "repeat_until_success": repeat_until_success,
    "repeat_until_success_100": repeat_until_success,
    "short_while": short_while,
    "short_while_qasm3": None,  # SHORT_QASM
}


def measure(name, who, runs):
    outcomes = []
    for _ in range(runs):
        done = subprocess.run([sys.executable, "-c", CHILD, name, who, HERE], capture_output=True, text=True)
        if done.returncode != 0:
            return {"error": done.stderr.strip().splitlines()[-1]}
        outcomes.append(json.loads(done.stdout))
    return {key: statistics.median(o[key] for o in outcomes) for key in outcomes[0]}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3, help="fresh processes per figure (the median)")
    args = parser.parse_args()
    try:
        import qiskit_aer  # noqa: F401
        peers = ["kovra", "aer"]
    except ImportError:
        peers = ["kovra"]
    report = {name: {who: measure(name, who, args.runs) for who in peers} for name in CIRCUITS}
    print(json.dumps(report, indent=1))


if __name__ == "__main__":
    main()
