"""The command line against KovraBackend on one program measuring every
qubit: wall time and peak memory of each, in fresh processes under
/usr/bin/time -v.

    PYTHONPATH=python:<module folder> python bench/cli/wide_measured.py --qubits 26 28 --reps 3
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

BACKEND = """
import sys
from qiskit import qasm2
from kovra.qiskit import KovraBackend
circuit = qasm2.load(sys.argv[1])
counts = KovraBackend().run(circuit, shots=1024, seed_simulator=1).result().get_counts()
print(len(counts), sum(counts.values()))
"""


def program(qubits):
    """H on every qubit, a ladder of CX and RZ, every qubit measured."""
    body = "".join(f"cx q[{k}], q[{k + 1}];\nrz(0.{k % 9 + 1}) q[{k + 1}];\n" for k in range(qubits - 1))
    return (f'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[{qubits}];\ncreg c[{qubits}];\nh q;\n'
            f"{body}measure q -> c;\n")


def timed(command):
    done = subprocess.run(["/usr/bin/time", "-v", *command], capture_output=True, text=True, env=os.environ)
    if done.returncode:
        raise RuntimeError(done.stderr[-2000:])
    wall = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): (\S+)", done.stderr).group(1)
    seconds = sum(float(part) * 60 ** k for k, part in enumerate(reversed(wall.split(":"))))
    peak = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", done.stderr).group(1))
    return seconds, peak / 1024**2


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qubits", type=int, nargs="+", default=[26])
    parser.add_argument("--reps", type=int, default=3)
    args = parser.parse_args()
    print("qubits  runner       best s   peak GiB")
    with tempfile.TemporaryDirectory() as folder:
        for qubits in args.qubits:
            path = os.path.join(folder, f"wide{qubits}.qasm")
            with open(path, "w") as f:
                f.write(program(qubits))
            runners = {"cli": [sys.executable, "-m", "kovra", "run", path, "--sample", "--seed", "1"],
                       "KovraBackend": [sys.executable, "-c", BACKEND, path]}
            for name, command in runners.items():
                runs = [timed(command) for _ in range(args.reps)]
                print(f"{qubits:6d}  {name:12s} {min(t for t, _ in runs):7.2f}  {max(m for _, m in runs):8.2f}")


if __name__ == "__main__":
    main()
