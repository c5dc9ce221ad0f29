"""OpenQASM 3 programs: the same circuit written in OpenQASM 3 (a for loop,
an if on a bit) and in OpenQASM 2 (written out) gives the same
distribution, and what cannot run is refused by name."""
import re

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


@pytest.mark.parametrize("line, says", [
    ("foo q;", "prog.qasm:3:"),
    # The parser bails out without a word; the token it stopped at tells where.
    ("x q q;", "prog.qasm:3:4: the program is not valid OpenQASM 3 at 'q'"),
])
def test_what_cannot_run_is_refused_by_name(line, says):
    with pytest.raises(QasmError, match=re.escape(says)):
        loads(f"OPENQASM 3.0;\nqubit q;\n{line}\n", filename="prog.qasm")


H3 = 'OPENQASM 3.0;\ninclude "stdgates.inc";\n'

# Loops that leave early. Each writes one register c, so that Aer's keys are
# ours reversed.
EXITS = {
    "break on a measured one": "qubit[2] q;\nbit[3] c;\nfor int i in [0:5] {\n  h q[0];\n  c[0] = measure q[0];\n"
                               "  if (c[0]) { break; }\n  x q[1];\n}\nc[1] = measure q[1];\n",
    "continue": "qubit[2] q;\nbit[3] c;\nfor int i in [0:3] {\n  ry(0.7) q[0];\n  c[0] = measure q[0];\n"
                "  if (c[0]) { continue; }\n  rx(0.9) q[1];\n}\nc[1] = measure q[1];\n",
    "break inside nested arms": "qubit[3] q;\nbit[3] c;\nh q[2];\nc[2] = measure q[2];\nfor int i in [0:4] {\n"
                                "  ry(1.1) q[0];\n  c[0] = measure q[0];\n  if (c[2]) {\n    if (c[0]) { break; }\n"
                                "  } else {\n    if (!c[0]) { continue; }\n  }\n  x q[1];\n  reset q[0];\n}\n"
                                "c[1] = measure q[1];\n",
    "inner loop only": "qubit[2] q;\nbit[3] c;\nfor int i in [0:2] {\n  for int j in [0:3] {\n    ry(0.8) q[0];\n"
                       "    c[0] = measure q[0];\n    if (c[0]) { break; }\n    x q[1];\n  }\n  reset q[0];\n"
                       "  c[0] = measure q[0];\n  rx(0.4) q[1];\n}\nc[1] = measure q[1];\n",
    "while with break": "qubit[2] q;\nbit[3] c;\nwhile (!c[2]) {\n  h q[0];\n  c[0] = measure q[0];\n"
                        "  if (c[0]) { break; }\n  x q[1];\n  c[1] = measure q[1];\n"
                        "  if (c[1]) { c[2] = measure q[1]; }\n}\n",
    # The arm measures into the bit it tested, then breaks: the break reads
    # the arm's condition as it was at the if.
    "break after the arm rewrites its bit": "qubit[2] q;\nbit[3] c;\nfor int i in [0:3] {\n  h q[0];\n"
                                            "  if (!c[0]) {\n    c[0] = measure q[0];\n    break;\n  }\n"
                                            "  x q[1];\n}\nc[1] = measure q[1];\n",
    "unconditional break": "qubit[2] q;\nbit[3] c;\nfor int i in [0:3] {\n  ry(0.5) q[1];\n  break;\n  x q[0];\n}\n"
                           "c[0] = measure q[0];\nc[1] = measure q[1];\n",
}


@pytest.mark.parametrize("case", list(EXITS))
def test_break_and_continue_give_aers_distribution(case):
    qiskit_aer = pytest.importorskip("qiskit_aer")
    import qiskit
    import qiskit.qasm3

    source = H3 + EXITS[case]
    got = kovra_backends.BasicSimulator().execute(loads(source).capsule(), {"mcbits": [0, 1, 2]}).probabilities
    simulator = qiskit_aer.AerSimulator()
    shots = 40000
    counts = simulator.run(qiskit.transpile(qiskit.qasm3.loads(source), simulator), shots=shots,
                           seed_simulator=11).result().get_counts()
    want = {key[::-1]: n / shots for key, n in counts.items()}
    for key in set(got) | set(want):
        assert got.get(key, 0) == pytest.approx(want.get(key, 0), abs=0.015), key


@pytest.mark.parametrize("body, word, line", [
    # After the break asks, a measurement rewrites the bit it read, and a
    # gate follows before it asks again: who left is no longer known.
    ("  if (c[0]) { break; }\n  h q[0];\n  c[0] = measure q[0];\n  x q[1];\n", "break", 6),
    ("  if (c[0]) { continue; }\n  h q[0];\n  c[0] = measure q[0];\n  x q[1];\n", "continue", 6),
])
def test_an_exit_whose_bits_are_rewritten_is_refused_by_line(body, word, line):
    source = H3 + "qubit[2] q;\nbit[2] c;\nfor int i in [0:3] {\n" + body + "}\n"
    with pytest.raises(QasmError, match=rf"'{word}' \(line {line} of p.qasm\) (is followed, in the same loop, by|"
                                        "follows, in the same conditioned body,) a measurement"):
        loads(source, filename="p.qasm")


@pytest.mark.parametrize("loops, line", [
    # 10^5 iterations of a 1000-gate arm: the arm counts, not the one if.
    ("for int i in [0:99999] {\n  if (c[0]) {\n" + "    x q[1];\n" * 1000 + "  }\n}\n", 5),
    ("for int i in [0:999] {\n  for int j in [0:999] { x q[0]; x q[1]; }\n}\n", 5),
    ("gate g a { " + "x a; " * 2000 + "}\nfor int i in [0:999] { g q[0]; }\n", 6),
    ("while (!c[1]) {\n  for int i in [0:2000] { x q[0]; }\n  c[1] = measure q[0];\n}\n", 5),
])
def test_loops_past_the_unroll_limit_are_refused_before_building(loops, line):
    source = H3 + "qubit[2] q;\nbit[2] c;\n" + loops
    unrolls = r"unrolls to more than 1000000 instructions"
    with pytest.raises(QasmError, match=rf"\(lines? {line}(, \d+)? of p.qasm\) {unrolls}"):
        loads(source, filename="p.qasm")


def test_an_input_is_a_free_parameter_of_the_compiled_program():
    source = H3 + "input float theta;\ninput angle phi;\nqubit[2] q;\nbit[2] c;\nrx(theta) q[0];\n" \
                  "crz(phi) q[0], q[1];\nh q[1];\nrz(2 * theta - phi) q[1];\nh q[1];\nc = measure q;\n"
    program = loads(source)
    assert program.inputs == {"theta": 3, "phi": 4}
    compiled = kovra_backends.compile(program.builder.graph(), {"mcbits": [0, 1]})
    values = [(0.3, 1.2), (2.0, -0.7), (0.0, 3.1)]
    runs = compiled.run([[dict(zip(("theta", "phi"), v))[n] for n in compiled.parameters] for v in values])
    for (theta, phi), run in zip(values, runs):
        bound = source.replace("input float theta;\ninput angle phi;\n", "").replace("theta", repr(theta)) \
            .replace("phi", repr(phi))
        assert run.probabilities == pytest.approx(distribution_bits(bound), abs=1e-9)


def distribution_bits(source):
    return kovra_backends.BasicSimulator().execute(loads(source).capsule(), {"mcbits": [0, 1]}).probabilities


def _random_loop(rng):
    """A for loop of random rotations, measurements, resets, conditioned
    flips and exits over qubits 0-1 and bits 0-1; then qubits 1 and 2 are
    read into bits 2 and 3."""
    lines = ["ry(1.3) q[2];"]
    for _ in range(rng.randint(3, 7)):
        k, j = rng.randrange(2), rng.randrange(2)
        lines.append(rng.choice([
            f"ry({rng.uniform(0.2, 2.9):.3f}) q[{k}];", f"c[{j}] = measure q[{k}];", f"reset q[{k}];",
            f"if (c[{j}]) {{ x q[{k}]; }}", f"if (c[{j}]) {{ break; }}", f"if (!c[{j}]) {{ continue; }}",
            f"if (c[{j}]) {{ cx q[{k}], q[2]; }} else {{ break; }}",
        ]))
    return (H3 + f"qubit[3] q;\nbit[4] c;\nfor int i in [0:{rng.randint(1, 3)}] {{\n" + "\n".join(lines)
            + "\n}\nc[2] = measure q[1];\nc[3] = measure q[2];\n")


def test_random_loops_with_exits_give_aers_distribution():
    qiskit_aer = pytest.importorskip("qiskit_aer")
    import random

    import qiskit
    import qiskit.qasm3

    rng, simulator, shots = random.Random(35), qiskit_aer.AerSimulator(), 20000
    compared = 0
    for _ in range(40):
        source = _random_loop(rng)
        try:
            program = loads(source)
        except QasmError as error:
            assert "a measurement" in str(error)  # the only refusal these programs may meet
            continue
        got = kovra_backends.BasicSimulator().execute(program.capsule(), {"mcbits": [0, 1, 2, 3]}).probabilities
        counts = simulator.run(qiskit.transpile(qiskit.qasm3.loads(source), simulator), shots=shots,
                               seed_simulator=compared).result().get_counts()
        want = {key[::-1]: n / shots for key, n in counts.items()}
        for key in set(got) | set(want):
            assert got.get(key, 0) == pytest.approx(want.get(key, 0), abs=0.02), (source, key)
        compared += 1
    assert compared >= 20
