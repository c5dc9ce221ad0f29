"""What the command line prints and what it costs: the most probable
outcomes with the weight of the rest, the same values the result's dict
holds, shots drawn for wide keys in bounded memory, noise rules from a
file, and --help and --version without qiskit."""

import json
import os
import subprocess
import sys

import pytest

pytest.importorskip("qiskit")

import kovra  # noqa: E402
import kovra_backends  # noqa: E402
from kovra.qasm import loads  # noqa: E402

HEADER = 'OPENQASM 2.0;\ninclude "qelib1.inc";\n'
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
# Ten H gates leave the distribution short of 1 by more than the key floor:
# the greatest key takes up the difference, which the dict holds and the
# vector does not.
SPREAD = HEADER + "qreg q[10];\n" + "".join(f"h q[{k}];\nrx(0.{k + 1}) q[{k}];\n" for k in range(10))
SPREAD_MEASURED = SPREAD.replace("qreg q[10];\n", "qreg q[10];\ncreg c[10];\n") + "measure q -> c;\n"
# Thirty classical bits of which ten are written: too wide for a dense
# vector, few enough outcomes for probabilities.
SPARSE = SPREAD_MEASURED.replace("creg c[10];", "creg c[30];").replace("measure q -> c;", "".join(
    f"measure q[{k}] -> c[{3 * k}];\n" for k in range(10)))
WIDE = 24


def run_cli(tmp_path, source, *args):
    path = tmp_path / "prog.qasm"
    path.write_text(source)
    process = subprocess.Popen([sys.executable, "-m", "kovra", "run", str(path), *args], env=ENV,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    stdout, stderr = process.communicate(timeout=300)
    return process.returncode, stdout, stderr


def expected(source):
    program = loads(source)
    config = {"mcbits": list(range(len(program.clbit_names)))} if program.measured else {}
    return kovra_backends.BasicSimulator().execute(program.capsule(), config)


@pytest.mark.parametrize("source", [SPREAD, SPREAD_MEASURED, SPARSE], ids=["qubits", "clbits", "sparse"])
@pytest.mark.parametrize("order", ["kovra", "qiskit"])
def test_json_holds_the_dicts_values_and_top_keeps_the_most_probable(tmp_path, source, order):
    result = expected(source)
    want = result.probabilities
    if order == "qiskit":
        want = {key[::-1]: p for key, p in want.items()}
    status, stdout, stderr = run_cli(tmp_path, source, "--json", "--bit-order", order)
    assert status == 0, stderr
    assert json.loads(stdout)["probabilities"] == want  # to the last bit, top-up included

    status, stdout, stderr = run_cli(tmp_path, source, "--json", "--bit-order", order, "--top", "3")
    document = json.loads(stdout)
    ranked = sorted(want.items(), key=lambda kv: -kv[1])
    assert set(document["probabilities"].values()) == {p for _, p in ranked[:3]}
    assert document["probabilities_left_out"]["outcomes"] == len(want) - 3
    assert document["probabilities_left_out"]["probability"] == pytest.approx(sum(p for _, p in ranked[3:]))
    assert sum(document["counts"].values()) + document["counts_left_out"]["shots"] == 1024


def test_spread_program_exercises_the_top_up():
    result = expected(SPREAD)
    last = max(result.probabilities)
    assert result.probabilities[last] != result.probability_array()[int(last, 2)]


@pytest.mark.parametrize("measured", [True, False])
def test_wide_program_prints_top_shots_drawn_in_bounded_memory(tmp_path, measured):
    source = HEADER + f"qreg q[{WIDE}];\n" + (f"creg c[{WIDE}];\n" if measured else "") + "h q;\n"
    source += "measure q -> c;\n" if measured else ""
    path = tmp_path / "wide.qasm"
    path.write_text(source)
    process = subprocess.Popen([sys.executable, "-m", "kovra", "run", str(path), "--top", "5"], env=ENV,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    stdout, stderr = process.communicate(timeout=300)
    assert process.returncode == 0, stderr
    lines = stdout.splitlines()
    shown = [line.split() for line in lines[lines.index(next(x for x in lines if x.startswith("counts"))) + 1:]]
    assert [len(key) for key, _ in shown[:5]] == [WIDE] * 5
    # 1024 uniform shots over 2^24 outcomes: nearly all distinct, all counted.
    assert shown[5][:1] == ["..."] and int(shown[5][-4]) + sum(int(n) for _, n in shown[:5]) == 1024
    assert "\nprobabilities" not in stdout and "no probabilities; the shots are drawn" in stdout


def test_wide_run_stays_near_its_state_vector(tmp_path):
    # The printed report keeps no outcome it does not show: the peak is the
    # state (256 MiB) and the interpreter, not 2^24 keyed outcomes (GiBs).
    path = tmp_path / "wide.qasm"
    path.write_text(HEADER + f"qreg q[{WIDE}];\ncreg c[{WIDE}];\nh q;\nmeasure q -> c;\n")
    process = subprocess.Popen([sys.executable, "-m", "kovra", "run", str(path), "--json", "--sample",
                                "--seed", "5"], env=ENV, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    stdout = process.stdout.read()
    _, status, usage = os.wait4(process.pid, 0)
    assert status == 0
    assert usage.ru_maxrss * 1024 < 1 << 30
    document = json.loads(stdout)
    assert sum(document["counts"].values()) == 1024 and "probabilities" not in document
    assert document["counts_are"] == "drawn from the amplitudes, seed 5"


NOISY = HEADER + "qreg q[2];\ncreg c[2];\nx q[0];\nmeasure q -> c;\n"


@pytest.mark.parametrize("rules, method, status, says", [
    ({"noise": [{"channel": "depolarizing", "p": 0.2, "gates": ["X"]}]}, None, 0, None),
    ([{"channel": "readout", "probabilities": [[0, 1], [1, 0]], "qubits": [1]}], "density_matrix", 0, None),
    ([{"channel": "depolarizing", "p": 9}], None, 1, ['--noise', '"noise" item 0', "depolarizing"]),
    ([{"channel": "depolarizing", "p": 0.1}], "statevector", 1, ["state vector"]),
    ('[\n{"channel": }]', None, 2, ["rules.json:2:13: not JSON"]),
    ({"channel": "depolarizing"}, None, 2, ["holds a dict", "list of noise rules"]),
])
def test_noise_rules_come_from_a_file(tmp_path, rules, method, status, says):
    noise = tmp_path / "rules.json"
    noise.write_text(rules if isinstance(rules, str) else json.dumps(rules))
    args = ["--json", "--noise", str(noise)] + (["--method", method] if method else [])
    code, stdout, stderr = run_cli(tmp_path, NOISY, *args)
    assert code == status and "Traceback" not in stderr
    if status:
        assert all(part in stderr for part in says), stderr
        return
    config = {"mcbits": [0, 1], "noise": rules.get("noise", rules) if isinstance(rules, dict) else rules}
    config.update({"method": method} if method else {})
    want = kovra_backends.BasicSimulator().execute(loads(NOISY).capsule(), config).probabilities
    assert json.loads(stdout)["probabilities"] == want


@pytest.mark.parametrize("args, status, says", [
    (["--help"], 0, ["OpenQASM 2 or OpenQASM 3", "{run}"]),
    (["run", "--help"], 0, ["OpenQASM 2 or 3", "--top", "--noise", "--threads", "--method"]),
    (["--version"], 0, [f"python -m kovra {kovra.__version__}"]),
    (["run", "prog.qasm"], 1, ["needs qiskit", "kovra_backends[qasm]"]),
])
def test_help_and_version_need_no_qiskit(tmp_path, args, status, says):
    (tmp_path / "prog.qasm").write_text(NOISY)
    blocked = "import sys; sys.modules['qiskit'] = None; import runpy; " \
              "sys.argv = ['kovra'] + sys.argv[1:]; runpy.run_module('kovra', run_name='__main__')"
    done = subprocess.run([sys.executable, "-c", blocked, *args], capture_output=True, text=True,
                          timeout=120, env=ENV, cwd=tmp_path)
    assert done.returncode == status and "Traceback" not in done.stderr
    assert all(part in done.stdout + done.stderr for part in says), done.stdout + done.stderr


def test_version_is_the_distributions_or_the_checkouts():
    import tomllib
    from importlib import metadata
    from pathlib import Path

    try:
        want = metadata.version("kovra_backends")
    except metadata.PackageNotFoundError:
        want = tomllib.loads((Path(__file__).parents[2] / "pyproject.toml").read_text())["project"]["version"]
    assert kovra.__version__ == want != "unknown"


@pytest.mark.parametrize("args, says", [
    (["--threads", "100000"], "--threads 100000: this process may run on"),
    (["--top", "0"], "at least 1 outcome"),
    (["--backend", "nmr", "--noise", "x.json"], "options of the simulator"),
])
def test_options_are_refused_before_the_run(tmp_path, args, says):
    code, stdout, stderr = run_cli(tmp_path, NOISY, *args)
    assert code == 2 and stdout == "" and says in stderr


def test_one_thread_gives_the_same_result(tmp_path):
    outputs = [run_cli(tmp_path, SPREAD_MEASURED, "--json", *threads)[1] for threads in ([], ["--threads", "1"])]
    assert outputs[0] == outputs[1]


def test_shots_the_memory_cannot_hold_are_refused_before_the_run(tmp_path):
    # Drawn shots cost the run a record each: 2^31 of them, hundreds of GiB.
    source = HEADER + f"qreg q[{WIDE}];\ncreg c[{WIDE}];\nh q;\nmeasure q -> c;\n"
    code, stdout, stderr = run_cli(tmp_path, source, "--shots", "2147483647")
    assert code == 1 and stdout == ""
    assert stderr.startswith("error: ") and f"2147483647 shots drawn over {WIDE} bits" in stderr
    assert "available" in stderr
