"""Programs that are small as text but that no run could take, and text that
is not a program: each is refused before anything is built, naming the
file and the line, through loads() and the command line."""

import os
import subprocess
import sys

import pytest

pytest.importorskip("qiskit")

import kovra_backends  # noqa: E402
from kovra.qasm import QasmError, load_file, loads  # noqa: E402

HEADER = 'OPENQASM 2.0;\ninclude "qelib1.inc";\n'


def doubling(levels, leaf="x a;"):
    """g0 is `leaf`; every further definition applies the one before twice,
    so g<levels> means 2^levels gates. It is applied on line levels + 6."""
    lines = [f"gate g0 a {{ {leaf} }}"]
    lines += [f"gate g{k} a {{ g{k - 1} a; g{k - 1} a; }}" for k in range(1, levels + 1)]
    return HEADER + "\n".join(lines) + f"\nqreg q[1];\ncreg c[1];\ng{levels} q[0];\n"


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
], ids=["not utf-8", "angle", "qubits", "expansion", "memory"])
def test_command_line_refuses_naming_the_file(tmp_path, content, status, place, say):
    path = tmp_path / "prog.qasm"
    path.write_bytes(content)
    done = subprocess.run([sys.executable, "-m", "kovra", "run", str(path)], capture_output=True,
                          text=True, timeout=120, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert done.returncode == status
    assert done.stderr.startswith("error: ") and "Traceback" not in done.stderr
    assert (place + str(path) if place.startswith("line") else str(path) + place) in done.stderr
    assert say in done.stderr and done.stdout == ""

