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
from qiskit.circuit.classical import expr  # noqa: E402

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


WIDTH = 70
TOP = 2 ** (WIDTH - 1)


def _wide_circuit():
    """v[70] holds 2^69 + h, h a fair coin (v's top bit from q[0] = |1>,
    bit 0 from q[1] = |+>); w[70] holds 2^69 always. Returns (circuit, v, w,
    result bit register)."""
    v, w, out = ClassicalRegister(WIDTH, "v"), ClassicalRegister(WIDTH, "w"), ClassicalRegister(2, "out")
    circuit = QuantumCircuit(QuantumRegister(4), v, w, out)
    circuit.x(0)
    circuit.h(1)
    circuit.measure([0, 1, 0], [v[WIDTH - 1], v[0], w[WIDTH - 1]])
    return circuit, v, w, out


def _probability_of_one(circuit, out):
    """P(out[0] = 1) from KovraBackend, whose keys list out first."""
    return sum(p for key, p in KovraBackend().probabilities(circuit).items() if key.split()[0][-1] == "1")


# Each condition beside the values of h (v = 2^69 + h) for which it holds.
# (Qiskit keeps a value past 2^64 as a float, so the constants are powers of 2.)
WIDE_CONDITIONS = {
    "v <= 2^69": (lambda v, w: expr.less_equal(v, TOP), {0}),
    "2^69 < v": (lambda v, w: expr.less(TOP, v), {1}),
    "!(v == 2^69)": (lambda v, w: expr.logic_not(expr.equal(v, TOP)), {1}),
    "v >= 3 * 2^68 (never)": (lambda v, w: expr.greater_equal(v, 3 * 2 ** (WIDTH - 2)), set()),
    "v > 2^69 && w != 3": (lambda v, w: expr.logic_and(expr.greater(v, TOP), expr.not_equal(w, 3)), {1}),
    "v <= 2^69 || w == 0": (lambda v, w: expr.logic_or(expr.less_equal(v, TOP), expr.equal(w, 0)), {0}),
    "!(v > 2^69 && w == 2^69)": (lambda v, w: expr.logic_not(expr.logic_and(expr.greater(v, TOP),
                                                                               expr.equal(w, TOP))), {0}),
}


@pytest.mark.parametrize("name", WIDE_CONDITIONS)
@pytest.mark.parametrize("nested", [False, True])
def test_expression_conditions_over_70_bits(name, nested):
    """One comparison over a wide register needs no list of its values; a
    conjunction, a disjunction or a nesting is computed into hidden bits."""
    condition, holds = WIDE_CONDITIONS[name]
    circuit, v, w, out = _wide_circuit()
    if nested:  # under an outer condition that holds where h = 1 or 0 alike
        with circuit.if_test(expr.equal(w, TOP)):
            with circuit.if_test(condition(v, w)) as otherwise:
                circuit.x(2)
            with otherwise:
                circuit.x(3)
    else:
        with circuit.if_test(condition(v, w)) as otherwise:
            circuit.x(2)
        with otherwise:
            circuit.x(3)
    circuit.measure([2, 3], [out[0], out[1]])
    counts = KovraBackend().probabilities(circuit)
    assert all(len(key.replace(" ", "")) == 2 * WIDTH + 2 for key in counts)  # no hidden bit shows
    assert _probability_of_one(circuit, out) == pytest.approx(len(holds) / 2)
    assert sum(p for key, p in counts.items() if key.split()[0] in ("01", "10")) == pytest.approx(1.0)


def test_switch_over_a_70_bit_register():
    circuit, v, w, out = _wide_circuit()
    with circuit.switch(v) as case:
        with case(TOP + 1):
            circuit.x(2)
        with case(5, TOP):
            circuit.x(3)
        with case(case.DEFAULT):
            circuit.x(2)
            circuit.x(3)
    circuit.measure([2, 3], [out[0], out[1]])
    got = {key.split()[0]: p for key, p in KovraBackend().probabilities(circuit).items()}
    assert got == pytest.approx({"01": 0.5, "10": 0.5})


def test_wide_test_that_is_no_comparison_is_refused_by_name():
    circuit, v, w, out = _wide_circuit()
    with circuit.if_test(expr.equal(expr.bit_and(v, 3), 1)):
        circuit.x(2)
    with pytest.raises(ValueError, match=r"'if_else'.* 70 classical bits together; at most 12"):
        KovraBackend().probabilities(circuit)


def test_openqasm_if_nested_in_a_70_bit_comparison():
    """An if inside `if (v == 2^69 + 1)` reads 71 bits together: computed
    into hidden bits, which the program's bits do not list."""
    program = loads(f"""OPENQASM 3.0;
include "stdgates.inc";
qubit[3] q;
bit[{WIDTH}] v;
bit[2] out;
x q[0];
h q[1];
v[{WIDTH - 1}] = measure q[0];
v[0] = measure q[1];
if (v == {TOP + 1}) {{ if (v[0] == true) {{ x q[2]; }} }}
out[0] = measure q[2];
""")
    assert len(program.clbit_names) == WIDTH + 2
    result = kovra_backends.BasicSimulator().execute(program.capsule(), {"mcbits": [0, WIDTH]})
    assert result.probabilities == pytest.approx({"00": 0.5, "11": 0.5})
