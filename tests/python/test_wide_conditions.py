"""Conditions over classical registers wider than 32 bits compare the whole
number, whichever front end wrote them: an OpenQASM program (loaded, and
run from the command line) and KovraBackend; the builder's six relations
are in test_wide_results.py.

Every case sets one bit at or above bit 31 and leaves the low bits clear,
so a comparison that kept only the low 32 bits would see the value 0 and
decide the other way."""

import json
import os
import subprocess
import sys

import pytest

qiskit = pytest.importorskip("qiskit")

import kovra_backends  # noqa: E402
from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister  # noqa: E402

from kovra.qasm import loads  # noqa: E402
from kovra.qiskit import KovraBackend  # noqa: E402

HEADER = 'OPENQASM 2.0;\ninclude "qelib1.inc";\n'


def qasm_program(width, bit):
    """Sets bit `bit` of c[width]; q[1] flips if c reads 0 (it must not),
    q[2] if c reads 2^bit (it must)."""
    return (HEADER + f"qreg q[3];\ncreg c[{width}];\nx q[0];\nmeasure q[0] -> c[{bit}];\n"
            f"if (c==0) x q[1];\nif (c=={2 ** bit}) x q[2];\n")


@pytest.mark.parametrize("width, bit", [(34, 32), (64, 63), (132, 131)])
def test_openqasm_condition_reads_the_whole_register(width, bit):
    program = loads(qasm_program(width, bit))
    result = kovra_backends.BasicSimulator().execute(program.capsule(), {"mqubits": [1, 2]})
    assert result.probabilities == pytest.approx({"01": 1.0})


@pytest.mark.parametrize("width, bit", [(34, 32), (132, 131)])
def test_command_line_condition_reads_the_whole_register(tmp_path, width, bit):
    path = tmp_path / "wide.qasm"
    path.write_text(qasm_program(width, bit) + "measure q[1] -> c[0];\nmeasure q[2] -> c[1];\n")
    done = subprocess.run([sys.executable, "-m", "kovra", "run", str(path), "--json"],
                          capture_output=True, text=True, timeout=120,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert done.returncode == 0, done.stderr
    # Keys list c[0] first: q[1] stayed 0, q[2] flipped, and bit `bit` is set.
    key = ["0"] * width
    key[1] = key[bit] = "1"
    assert json.loads(done.stdout)["probabilities"] == pytest.approx({"".join(key): 1.0})


@pytest.mark.parametrize("value", [0, 2**32, 2**32 + 1, 2**39])
def test_kovra_backend_if_else_reads_a_40_bit_register(value):
    """if_test((c, value)) applies on ==, its else on !=."""
    c, out = ClassicalRegister(40, "c"), ClassicalRegister(2, "out")
    circuit = QuantumCircuit(QuantumRegister(3), c, out)
    circuit.x(0)
    circuit.measure(0, c[32])
    with circuit.if_test((c, value)) as otherwise:
        circuit.x(1)
    with otherwise:
        circuit.x(2)
    circuit.measure([1, 2], [out[0], out[1]])
    outcome = 1 if value == 2**32 else 2  # out[0] is q[1], out[1] is q[2]
    assert KovraBackend().probabilities(circuit) == pytest.approx(
        {f"{outcome:02b} {2**32:040b}": 1.0})
