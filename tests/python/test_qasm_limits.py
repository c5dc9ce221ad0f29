"""Programs that are small as text but that no run could take, and text that
is not a program: each is refused before anything is built, naming the
file and the line, through loads() and the command line."""

import os
import subprocess
import sys

import pytest

pytest.importorskip("qiskit")

import kovra_backends  # noqa: E402
from kovra.builder import CircuitBuilder  # noqa: E402
from kovra.qasm import QasmError, load_file, loads  # noqa: E402

HEADER = 'OPENQASM 2.0;\ninclude "qelib1.inc";\n'


def doubling(levels, leaf="x a;"):
    """g0 is `leaf`; every further definition applies the one before twice,
    so g<levels> means 2^levels gates. It is applied on line levels + 6."""
    lines = [f"gate g0 a {{ {leaf} }}"]
    lines += [f"gate g{k} a {{ g{k - 1} a; g{k - 1} a; }}" for k in range(1, levels + 1)]
    return HEADER + "\n".join(lines) + f"\nqreg q[1];\ncreg c[1];\ng{levels} q[0];\n"


V3_HEADER = 'OPENQASM 3.0;\ninclude "stdgates.inc";\n'


def doubling3(levels, modifier="", applied=True):
    """`doubling` in OpenQASM 3: g<levels> is applied on line levels + 5."""
    lines = ["gate g0 a { x a; }"] + [f"gate g{k} a {{ g{k - 1} a; g{k - 1} a; }}" for k in range(1, levels + 1)]
    use = f"{modifier}g{levels} q[0]{', q[1]' if 'ctrl' in modifier else ''};\n" if applied else ""
    return V3_HEADER + "\n".join(lines) + "\nqubit[2] q;\n" + use


REFUSED = {
    # source, exception, what the message must say (besides file and line)
    "millions of qubits": (HEADER + "qreg q[4000000];\nh q[0];\n", QasmError,
                           ["qreg q[4000000]", "line 3", "at most 62"]),
    "registers adding up": (HEADER + "qreg a[2];\nqreg b[61];\n", QasmError,
                            ["qreg b[61]", "line 4", "63 qubits"]),
    "overflowing angle": (HEADER + "qreg q[1];\nrx(1e400) q[0];\n", QasmError,
                          ["gate 'rx'", "line 4", "inf", "not a finite number"]),
    "angle overflowing in a body": (doubling(2, "rz(t * 1e300) a;").replace("g0 a", "g0(t) a", 1)
                                    .replace("g0 a;", "g0(1e300) a;"), QasmError,
                                    ["gate 'rz'", "line 3", "not a finite number"]),
}


@pytest.mark.parametrize("case", list(REFUSED))
def test_program_is_refused_naming_file_and_line(case):
    source, error, parts = REFUSED[case]
    with pytest.raises(error) as raised:
        loads(source, filename="prog.qasm")
    message = str(raised.value)
    assert "of prog.qasm" in message
    for part in parts:
        assert part in message


def test_register_beyond_the_memory_is_refused_before_the_run():
    # 2^45 amplitudes are 512 TiB: no machine that runs this test has them.
    with pytest.raises(MemoryError, match=r"qreg r\[40\] \(line 5 of p.qasm\) brings the program "
                                          r"to 45 qubits, whose state vector needs 512.0 TiB"):
        loads(HEADER + "qreg q[5]; // qreg big[60];\n\nqreg r[40];\n", filename="p.qasm")


def test_definitions_under_the_limit_still_expand():
    # 2^12 rotations by pi/2048 turn |0> by 2 pi: back to |0>, up to phase.
    program = loads(doubling(12, "rx(pi / 2048) a;"))
    result = kovra_backends.BasicSimulator().execute(program.capsule(), {"mqubits": [0]})
    assert result.probabilities == pytest.approx({"0": 1.0}, abs=1e-9)


def test_text_that_is_not_utf8_names_the_file_and_line(tmp_path):
    path = tmp_path / "latin1.qasm"
    path.write_bytes(HEADER.encode() + "// café\nqreg q[1];\n".encode("latin-1"))
    with pytest.raises(QasmError, match=rf"{path}:3:7: the program is not UTF-8 text \(byte 0xe9\)"):
        load_file(path)


# In a child process, whose timeout ends a run that expands or builds for
# good instead of refusing.
@pytest.mark.parametrize("content, status, place, say", [
    (b"OPENQASM 2.0;\nqreg q[1];\n// \xff\n", 2, ":3:", "not UTF-8"),
    ((HEADER + "qreg q[1];\nrx(1e400) q[0];\n").encode(), 2, "line 4 of ", "gate 'rx'"),
    ((HEADER + "qreg q[4000000];\nh q[0];\n").encode(), 2, "line 3 of ", "at most 62"),
    (doubling(30).encode(), 2, "line 36 of ", "gate 'g30' (line 36 of"),
    ((HEADER + "qreg q[50];\nh q[0];\n").encode(), 1, "line 3 of ", "qreg q[50]"),
    ((V3_HEADER + "qubit[100] q;\nh q[0];\n").encode(), 2, "line 3 of ", "qubit[100] q"),
    (doubling3(30).encode(), 2, "line 17 of ", "gate 'g14' (line 17 of"),
], ids=["not utf-8", "angle", "qubits", "expansion", "memory", "qubits 3", "expansion 3"])
def test_command_line_refuses_naming_the_file(tmp_path, content, status, place, say):
    path = tmp_path / "prog.qasm"
    path.write_bytes(content)
    done = subprocess.run([sys.executable, "-m", "kovra", "run", str(path)], capture_output=True,
                          text=True, timeout=120, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert done.returncode == status
    assert done.stderr.startswith("error: ") and "Traceback" not in done.stderr
    assert (place + str(path) if place.startswith("line") else str(path) + place) in done.stderr
    assert say in done.stderr and done.stdout == ""



# Each is refused from the syntax tree, before qiskit's loader copies or
# builds anything (it would run for hours, or fill the memory).
REFUSED3 = {
    "doubling chain applied": (doubling3(30), QasmError, ["gate 'g", "line ", "copies"]),
    "controlled doubling chain": (doubling3(24, "ctrl @ "), QasmError, ["gate 'g", "copies"]),
    "defined, never applied": (doubling3(40, applied=False), QasmError, ["gate 'g", "copies"]),
    "wide broadcast": (V3_HEADER + "gate g1 a { " + "x a; " * 64 + "}\ngate g2 a { " + "g1 a; " * 64
                       + "}\ngate g3 a { " + "g2 a; " * 16 + "}\nqubit[20] q;\nfor int i in [0:1] { g3 q; }\n"
                       + "g3 q;\n" * 9, QasmError,
                       ["gate 'g3' (line 10 of prog.qasm) expands to 1310720 gates, bringing the program's "
                        "expanded gates to 5242880"]),
    "millions of qubits": (V3_HEADER + "qubit[2000000] q;\nh q[0];\n", QasmError,
                           ["qubit[2000000] q (line 3 of prog.qasm)", "at most 62"]),
    "a constant's qubits": (V3_HEADER + "const int n = 7 * 10;\nqubit[n] q;\n", QasmError,
                            ["qubit[70] q (line 4 of prog.qasm) brings the program to 70 qubits"]),
    "scalars adding up": (V3_HEADER + "qubit[62] q;\nqubit s;\n", QasmError,
                          ["qubit s (line 4 of prog.qasm) brings the program to 63 qubits"]),
    "past the memory": (V3_HEADER + "/* qubit[9] x; */ qreg q[5]; // qubit[70] y;\n\nqubit[40] r;\n", MemoryError,
                        ["qubit[40] r (line 5 of prog.qasm) brings the program to 45 qubits, whose state "
                         "vector needs 512.0 TiB"]),
}


@pytest.mark.parametrize("case", list(REFUSED3))
def test_openqasm3_program_is_refused_from_its_text(case):
    source, error, parts = REFUSED3[case]
    # A builder of its own: the graph is for no run here, so only the
    # memory case asks about the memory.
    builder = None if error is MemoryError else CircuitBuilder()
    with pytest.raises(error) as raised:
        loads(source, builder=builder, filename="prog.qasm")
    for part in parts:
        assert part in str(raised.value)


def test_openqasm3_definitions_under_the_limits_still_expand():
    # As the OpenQASM 2 twin: 2^10 rotations by pi/512 turn |0> by 2 pi.
    source = doubling3(10).replace("x a;", "rx(pi / 512) a;", 1)
    result = kovra_backends.BasicSimulator().execute(loads(source).capsule(), {"mqubits": [0]})
    assert result.probabilities == pytest.approx({"0": 1.0}, abs=1e-9)


def test_a_block_comment_is_no_register_to_the_openqasm2_scan():
    # qiskit's OpenQASM 2 parser then says what is wrong with the text; the
    # scan must not refuse the commented-out register first.
    with pytest.raises(QasmError) as raised:
        loads(HEADER + "/* qreg big[40];\n qreg more[40]; */\nqreg q[2];\n", filename="p.qasm")
    assert ":3," in str(raised.value) and "big" not in str(raised.value)


@pytest.mark.parametrize("text, counted", [
    ("/* qreg big[70];\nqreg q[2];\n", False),                   # left open: the parser's to refuse
    ("// qreg big[70]; /*\nqreg q[2];\n", False),                # a line comment hides the block opener
    ("qreg q[2]; /* a */ /* qreg big[70]; */\n", False),
    ('include "a/*b.inc";\nqreg big[70]; // */\n', True),       # markers inside a string open nothing
    ('include "a//b.inc"; qreg big[70];\n', True),
])
def test_the_openqasm2_scan_skips_comments_and_only_comments(text, counted):
    try:
        loads(HEADER + text, filename="p.qasm")
        message = ""
    except (QasmError, MemoryError) as error:
        message = str(error)
    assert ("qreg big[70]" in message) == counted, message
