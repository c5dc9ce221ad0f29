"""The command line as a newcomer meets it: JSON output, option checks,
errors that name the file or the device address, a reader that leaves
early, Ctrl-C."""

import json
import os
import signal
import socket
import subprocess
import sys
import time

import pytest

pytest.importorskip("qiskit")

import kovra_backends  # noqa: E402
from kovra.qasm import loads  # noqa: E402
from nmr_helpers import emulator  # noqa: E402

HEADER = 'OPENQASM 2.0;\ninclude "qelib1.inc";\n'
MEASURED = HEADER + "qreg q[3];\ncreg c[2];\nh q[0];\ncu3(0.3, 0.2, 0.1) q[0], q[2];\n" \
    "measure q[2] -> c[0];\nmeasure q[0] -> c[1];\n"
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}


def command(path, *args):
    return [sys.executable, "-m", "kovra", "run", str(path), *args]


def run_cli(tmp_path, source, *args):
    path = tmp_path / "prog.qasm"
    path.write_text(source)
    return subprocess.run(command(path, *args), capture_output=True, text=True, timeout=120, env=ENV)


def free_port():
    """A loopback port that nothing listens on (bound, then let go)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.parametrize("order", ["kovra", "qiskit"])
def test_json_holds_probabilities_counts_and_key_meaning(tmp_path, order):
    done = run_cli(tmp_path, MEASURED, "--json", "--shots", "1000", "--bit-order", order)
    assert done.returncode == 0, done.stderr
    document = json.loads(done.stdout)
    program = loads(MEASURED)
    want = kovra_backends.BasicSimulator().execute(program.capsule(), {"mcbits": [0, 1], "shots": 1000})
    flip = (lambda key: key[::-1]) if order == "qiskit" else (lambda key: key)
    assert document["probabilities"] == pytest.approx(
        {flip(k): p for k, p in want.probabilities.items()}, abs=1e-12)
    assert document["counts"] == {flip(k): n for k, n in want.counts.items()}
    assert sum(document["counts"].values()) == 1000
    # The classical register: c[0] holds qubit 2, c[1] qubit 0.
    names = ["c[0]", "c[1]"] if order == "kovra" else ["c[1]", "c[0]"]
    assert document["keys"]["clbits"] == names
    assert f"{names[0]} first" in document["keys"]["meaning"]
    assert document["shots"] == 1000 and document["backend"] == "simulator"


@pytest.mark.parametrize("shots, complaint", [
    ("-5", "at least 1"), ("0", "at least 1"), ("2147483648", "at most 2147483647"),
    ("ten", "not a whole number"),
])
def test_bad_shot_counts_are_refused_before_anything_runs(tmp_path, shots, complaint):
    # The program file does not exist: a refusal about the shots shows they
    # were checked before the program was even read.
    done = subprocess.run(command(tmp_path / "missing.qasm", "--shots", shots),
                          capture_output=True, text=True, timeout=120, env=ENV)
    assert done.returncode == 2
    assert "--shots" in done.stderr and complaint in done.stderr
    assert "Traceback" not in done.stderr


def test_largest_shot_count_is_accepted(tmp_path):
    done = run_cli(tmp_path, HEADER + "qreg q[1];\nx q[0];\n", "--shots", "2147483647", "--json")
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["counts"] == {"1": 2147483647}


def test_parse_error_names_the_file_and_line(tmp_path):
    done = run_cli(tmp_path, HEADER + "qreg q[1];\nh q[3];\n")
    assert done.returncode == 2
    assert f"{tmp_path / 'prog.qasm'}:4" in done.stderr
    assert "Traceback" not in done.stderr


def test_reader_that_leaves_early_ends_the_run_quietly(tmp_path):
    # 2^16 keys print far more than a pipe holds, so the writes hit the
    # closed pipe.
    path = tmp_path / "wide.qasm"
    path.write_text(HEADER + "qreg q[16];\n" + "".join(f"h q[{k}];\n" for k in range(16)))
    process = subprocess.Popen(command(path), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               env=ENV)
    process.stdout.readline()
    process.stdout.close()
    stderr = process.stderr.read().decode()
    assert process.wait(timeout=120) == 0
    assert stderr == ""


def test_nmr_refuses_more_than_three_qubits_before_connecting(tmp_path):
    # Nothing listens on the port: trying to connect would fail differently.
    done = run_cli(tmp_path, HEADER + "qreg q[4];\nh q[3];\n", "--backend", "nmr",
                   "--port", str(free_port()))
    assert done.returncode == 2
    assert "4 qubits" in done.stderr and "at most 3" in done.stderr
    assert "Connect" not in done.stderr and "reach" not in done.stderr


def test_nmr_names_the_address_it_could_not_reach(tmp_path):
    port = free_port()
    done = run_cli(tmp_path, HEADER + "qreg q[1];\nh q[0];\n", "--backend", "nmr",
                   "--port", str(port))
    assert done.returncode == 1
    assert f"could not reach the NMR device at 127.0.0.1:{port}" in done.stderr
    assert "python -m kovra.emulator" in done.stderr
    assert "Traceback" not in done.stderr


def test_nmr_json_through_the_emulator(tmp_path):
    source = HEADER + "qreg q[3];\ncreg c[2];\nx q[2];\nh q[1];\nmeasure q[2] -> c[0];\n" \
        "measure q[0] -> c[1];\n"
    with emulator() as device:
        done = run_cli(tmp_path, source, "--backend", "nmr", "--port", str(device.port), "--json")
    assert done.returncode == 0, done.stderr
    document = json.loads(done.stdout)  # the client's connection lines went to stderr
    # Qubits 0 and 2 are measured, qubit 0 first: qubit 2 is the 1.
    assert document["keys"]["qubits"] == [0, 2]
    assert document["probabilities"] == pytest.approx({"01": 1.0}, abs=1e-9)


def test_nmr_keeps_a_measurement_in_the_middle(tmp_path):
    # The first measurement decoheres q[0], so the second H leaves it at
    # half and half; without it the two H cancel and q[0] reads 0.
    source = HEADER + "qreg q[1];\ncreg c[1];\nh q[0];\nmeasure q[0] -> c[0];\nh q[0];\n" \
        "measure q[0] -> c[0];\n"
    with emulator() as device:
        done = run_cli(tmp_path, source, "--backend", "nmr", "--port", str(device.port), "--json")
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["probabilities"] == pytest.approx({"0": 0.5, "1": 0.5}, abs=1e-9)


def test_ctrl_c_ends_with_one_line(tmp_path):
    # Long enough (seconds) that the signal lands while loading or running.
    # (24 qubits and 6000 gates: a fused run alone takes several seconds.)
    layers = "".join(f"rx(0.{k % 9 + 1}) q[{k % 24}];\ncx q[{k % 24}], q[{(k + 5) % 24}];\n"
                     for k in range(3000))
    path = tmp_path / "long.qasm"
    path.write_text(HEADER + "qreg q[24];\ncreg c[1];\n" + layers + "measure q[0] -> c[0];\n")
    process = subprocess.Popen(command(path), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True, env=ENV)
    time.sleep(2)
    process.send_signal(signal.SIGINT)
    stdout, stderr = process.communicate(timeout=300)
    assert process.returncode == 130
    assert stderr == "interrupted\n" and stdout == ""


WIDE = HEADER + "qreg q[1];\ncreg c[40];\n" + "".join(f"h q[0];\nmeasure q[0] -> c[{k}];\nreset q[0];\n"
                                                      for k in range(40))
INPUT = 'OPENQASM 3.0;\ninclude "stdgates.inc";\ninput float theta;\nqubit q;\nbit c;\nrx(theta) q;\nc = measure q;\n'


@pytest.mark.parametrize("source, status, says", [
    # 40 bits from one qubit: up to 2^40 outcomes to keep and print. The
    # run itself would not end: the refusal comes first.
    (WIDE, 1, ["write 40 classical bits", "up to 1099511627776 outcomes", "available"]),
    (INPUT, 2, ["input 'theta' (line 3 of", "kovra_backends.compile"]),
])
def test_what_the_command_line_cannot_do_is_refused_before_the_run(tmp_path, source, status, says):
    done = run_cli(tmp_path, source)
    assert done.returncode == status and done.stdout == ""
    assert done.stderr.startswith("error: ") and "Traceback" not in done.stderr
    for part in says:
        assert part in done.stderr


def test_scalar_bits_are_reported_by_name(tmp_path):
    source = 'OPENQASM 3.0;\ninclude "stdgates.inc";\nqubit[3] q;\nbit a;\nbit[1] r;\nbit b;\nx q[2];\n' \
             'ry(0.8) q[0];\na = measure q[0];\nb = measure q[2];\nr[0] = measure q[1];\n'
    done = run_cli(tmp_path, source, "--json")
    assert done.returncode == 0, done.stderr
    document = json.loads(done.stdout)
    assert document["keys"]["clbits"] == ["a", "r[0]", "b"]
    want = kovra_backends.BasicSimulator().execute(loads(source).capsule(), {"mcbits": [0, 1, 2]})
    assert document["probabilities"] == pytest.approx(want.probabilities, abs=1e-12)
    # b always reads 1; the qubits' final values would say nothing of that.
    assert all(key[2] == "1" for key in document["probabilities"])
