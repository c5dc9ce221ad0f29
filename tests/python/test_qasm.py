"""OpenQASM 2 import and the run command, checked against qiskit's own
state-vector arithmetic as an independent reference."""

import math
import os
import subprocess
import sys

import pytest

qiskit = pytest.importorskip("qiskit")
from qiskit.quantum_info import Statevector  # noqa: E402

import kovra_backends  # noqa: E402
from kovra.qasm import QasmError, loads  # noqa: E402

HEADER = 'OPENQASM 2.0;\ninclude "qelib1.inc";\n'


def reference_probabilities(source):
    """Key (qubit 0 first) -> probability, from qiskit, measurements dropped."""
    circuit = qiskit.qasm2.loads(
        source, custom_instructions=qiskit.qasm2.LEGACY_CUSTOM_INSTRUCTIONS
    ).remove_final_measurements(inplace=False)
    probs = Statevector(circuit).probabilities()
    n = circuit.num_qubits
    # qiskit's index has qubit 0 as the least significant bit.
    return {format(i, f"0{n}b")[::-1]: p for i, p in enumerate(probs) if p > 1e-10}


def simulate(source, config=None):
    program = loads(source)
    return kovra_backends.BasicSimulator().execute(program.capsule(), config or {})


PROGRAMS = {
    "bell": "qreg q[2];\nh q[0];\ncx q[0], q[1];\n",
    "ghz": "qreg q[3];\nh q[0];\ncx q[0], q[1];\ncx q[1], q[2];\n",
    "rotations": "qreg q[2];\nrx(0.3) q[0];\nry(-1.2) q[1];\nrz(2.5) q[0];\n"
    "p(0.7) q[1];\nu1(pi/3) q[0];\nsx q[1];\ncz q[0], q[1];\nh q[0];\n",
    "phases": "qreg q[2];\nh q[0];\nh q[1];\ns q[0];\nt q[1];\nsdg q[1];\ntdg q[0];\n"
    "y q[0];\nz q[1];\nh q[0];\nh q[1];\n",
    "toffoli": "qreg q[3];\nx q[0];\nh q[1];\nccx q[0], q[1], q[2];\nid q[2];\n",
    "defined gate": "qreg q[3];\ngate bell a, b { h a; cx a, b; }\n"
    "gate twist(t) a { rx(t/2) a; rz(t) a; }\nbell q[2], q[0];\ntwist(0.8) q[1];\n",
    "two registers": "qreg a[1];\nqreg b[2];\nh a[0];\ncx a[0], b[1];\nx b[0];\n",
    "barrier": "qreg q[2];\nh q[0];\nbarrier q;\ncx q[0], q[1];\n",
}


@pytest.mark.parametrize("name", PROGRAMS)
def test_matches_reference(name):
    source = HEADER + PROGRAMS[name]
    got = simulate(source).probabilities
    want = reference_probabilities(source)
    assert set(got) == set(want)
    for key in want:
        assert got[key] == pytest.approx(want[key], abs=1e-7)


def test_measured_qubits_are_reported():
    source = HEADER + "qreg q[3];\ncreg c[2];\nh q[0];\ncx q[0], q[2];\n" \
        "measure q[2] -> c[0];\nmeasure q[0] -> c[1];\n"
    program = loads(source)
    assert program.measured == [2, 0]
    result = kovra_backends.BasicSimulator().execute(
        program.capsule(), {"mqubits": program.measured})
    assert result.probabilities == pytest.approx({"00": 0.5, "11": 0.5}, abs=1e-9)


def test_teleportation_with_if():
    source = HEADER + """qreg q[3];
creg m0[1];
creg m1[1];
ry(1.1) q[0];
h q[1];
cx q[1], q[2];
cx q[0], q[1];
h q[0];
measure q[0] -> m0[0];
measure q[1] -> m1[0];
if (m1 == 1) x q[2];
if (m0 == 1) z q[2];
"""
    result = simulate(source, {"mqubits": [2]})
    assert result.probabilities["1"] == pytest.approx(math.sin(0.55) ** 2, abs=1e-7)
    assert result.probabilities["0"] == pytest.approx(math.cos(0.55) ** 2, abs=1e-7)


@pytest.mark.parametrize(
    "body, gate, line",
    [
        ("qreg q[2];\nopaque zap(t) a;\nzap(0.1) q[1];\n", "zap", 5),
        ("qreg q[2];\nopaque bond a, b;\n\nbond q[0], q[1];\n", "bond", 6),
    ],
)
def test_unsupported_gates_are_refused_with_name_and_line(body, gate, line):
    with pytest.raises(QasmError, match=rf"'{gate}' \(line {line}\)"):
        loads(HEADER + body)


def test_parse_errors_name_the_line():
    with pytest.raises(QasmError, match="4"):
        loads(HEADER + "qreg q[1];\nfoo q[0];\n")


def run_cli(tmp_path, source, *args):
    path = tmp_path / "prog.qasm"
    path.write_text(source)
    return subprocess.run(
        [sys.executable, "-m", "kovra", "run", str(path), *args],
        capture_output=True, text=True, timeout=120,
        env={**os.environ, "PYTHONPATH": ":".join(sys.path)},
    )


def test_cli_prints_probabilities_and_counts(tmp_path):
    done = run_cli(tmp_path, HEADER + PROGRAMS["bell"], "--shots", "10")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert "  00  0.5000000000" in lines and "  11  0.5000000000" in lines
    assert "  00  5" in lines and "  11  5" in lines


def test_cli_plot(tmp_path):
    pytest.importorskip("matplotlib")
    plot = tmp_path / "dist.png"
    done = run_cli(tmp_path, HEADER + PROGRAMS["ghz"], "--plot", str(plot))
    assert done.returncode == 0, done.stderr
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_cli_reports_errors_without_traceback(tmp_path):
    done = run_cli(tmp_path, HEADER + "qreg q[1];\nopaque zap a;\nzap q[0];\n")
    assert done.returncode == 2
    assert "zap" in done.stderr and "line 5" in done.stderr
    assert "Traceback" not in done.stderr
