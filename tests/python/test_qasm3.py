"""OpenQASM 3 programs: the same circuit written in OpenQASM 3 (a for loop,
an if on a bit) and in OpenQASM 2 (written out) gives the same
distribution, and what cannot run is refused by name."""
import pytest

pytest.importorskip("qiskit_qasm3_import")

import kovra_backends  # noqa: E402
from kovra.qasm import QasmError, loads  # noqa: E402

V3 = """OPENQASM 3.0;
include "stdgates.inc";
qubit[3] q;
bit[3] c;
h q[0];
for int i in [0:2] {
  rx(0.3 * i + 0.1) q[1];
  cx q[1], q[2];
  cp(0.2) q[0], q[2];
}
c[0] = measure q[0];
if (c[0]) {
  x q[2];
} else {
  h q[1];
}
c[1] = measure q[1];
c[2] = measure q[2];
"""

V2 = """OPENQASM 2.0;
include "qelib1.inc";
qreg q[3];
creg c[3];
h q[0];
""" + "".join(f"rx({0.3 * i + 0.1!r}) q[1];\ncx q[1], q[2];\ncp(0.2) q[0], q[2];\n" for i in range(3)) + """
measure q[0] -> c[0];
if (c == 1) x q[2];
if (c == 0) h q[1];
measure q[1] -> c[1];
measure q[2] -> c[2];
"""


def distribution(source):
    return kovra_backends.BasicSimulator().execute(loads(source).capsule(), {}).probabilities


def test_an_openqasm3_program_runs_as_its_openqasm2_twin():
    got, want = distribution(V3), distribution(V2)
    assert got.keys() == want.keys()
    assert all(abs(got[k] - want[k]) <= 1e-12 for k in got)


RETRY = """OPENQASM 3.0;
include "stdgates.inc";
qubit[2] q;
bit[2] c;
h q[0];
c[0] = measure q[0];
while (!c[0]) {
  reset q[0];
  h q[0];
  c[0] = measure q[0];
}
if (c[0]) { x q[1]; }
c[1] = measure q[1];
"""


def test_a_while_loop_runs_until_no_branch_goes_on():
    got = distribution(RETRY)
    assert set(got) == {"11"} and got["11"] == pytest.approx(1, abs=1e-10)


def test_a_while_loop_that_never_ends_is_refused_naming_it():
    never = "OPENQASM 3.0;\nqubit q;\nbit c;\nc = measure q;\nwhile (!c) { c = measure q; }\n"
    with pytest.raises(RuntimeError, match=r"while loop .* still loops with probability 1 after 1000 iterations"):
        distribution(never)


def test_what_cannot_run_is_refused_by_name():
    with pytest.raises(QasmError, match="prog.qasm:3:"):
        loads("OPENQASM 3.0;\nqubit q;\nfoo q;\n", filename="prog.qasm")
