"""An OpenQASM 2 program as a neutral circuit (see circuits.py), through the
project's own importer: `python qasm_to_neutral.py PROGRAM.qasm` prints the
circuit as one JSON object. Runs in the project venv (qiskit, kovra's
`python/` helpers); errors go to standard error with exit status 1.

The importer lowers the program onto the gate catalogue; here its builder
calls are recorded as ops instead of graph vertices. Angles stay in radians
as given, qubits and classical bits are numbered as kovra numbers them (the
registers one after another, in the order declared).
"""

import json
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "python"))

from kovra.builder import EQUAL  # noqa: E402
from kovra.qasm import QasmError, loads  # noqa: E402


class Recorder:
    """Takes the importer's builder calls and keeps them as neutral ops."""

    def __init__(self):
        self.n = 0
        self.clbits = 0
        self.ops = []

    def qreg(self, size):
        self.n += size

    def creg(self, size):
        self.clbits += size

    def gate(self, name, qubits, params=None, condition=None):
        op = {"g": name, "q": list(qubits)}
        if params:
            op["p"] = [float(p) for p in params]
        if condition is not None:
            bits, relation, value = condition
            if len(bits) != 1 or relation != EQUAL:
                raise QasmError("gate %s on qubit%s %s is conditioned on %d classical bits (a register compared "
                                "with %d); the race takes conditions on a one-bit register only"
                                % (name, "s" if len(qubits) > 1 else "", ", ".join(map(str, qubits)), len(bits),
                                   value))
            op["if"] = [bits[0], int(value)]
        self.ops.append(op)

    def measure(self, qubits, clbits):
        for q, c in zip(qubits, clbits):
            self.ops.append({"g": "MEASURE", "q": [q], "c": [c]})

    def circuit(self):
        return {"n": self.n, "clbits": self.clbits, "ops": self.ops}


def convert(source):
    """The neutral circuit of an OpenQASM 2 program; QasmError if the importer
    refuses it."""
    recorder = Recorder()
    loads(source, measurements=True, builder=recorder)
    return recorder.circuit()


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: qasm_to_neutral.py PROGRAM.qasm")
    try:
        with open(sys.argv[1], encoding="utf-8") as f:
            circuit = convert(f.read())
    except (OSError, QasmError) as error:
        sys.exit(str(error))
    print(json.dumps(circuit))


if __name__ == "__main__":
    main()
