"""The distribution plot and the run command's sampling and plot options."""

import os
import struct
import subprocess
import sys

import numpy as np
import pytest

from kovra import plot

HEADER = 'OPENQASM 2.0;\ninclude "qelib1.inc";\n'


def test_top_outcomes_keeps_the_most_probable_and_sums_the_rest():
    rng = np.random.default_rng(4)
    p = rng.random(4096) ** 8
    p[[5, 6, 7]] = p.max() + 1  # ties at the top, kept in index order
    p /= p.sum()
    chosen, other = plot.top_outcomes(p)
    expected = sorted(range(len(p)), key=lambda k: (-p[k], k))[: plot.MAX_BARS]
    assert list(chosen) == expected
    assert other == pytest.approx(1 - p[expected].sum())


@pytest.mark.parametrize(
    "p, chosen, other",
    [([0.0, 0.5, 0.0, 0.5], [1, 3], 0.0), ([1.0], [0], 0.0), ([1 / 40] * 40, range(32), 8 / 40)],
)
def test_top_outcomes_of_small_and_tied_vectors(p, chosen, other):
    got, rest = plot.top_outcomes(np.array(p))
    assert list(got) == list(chosen)
    assert rest == pytest.approx(other)


def test_marginals_against_the_definition():
    width = 5
    p = np.random.default_rng(1).random(2 ** width)
    p /= p.sum()
    expected = [sum(p[k] for k in range(2 ** width) if format(k, "05b")[j] == "1") for j in range(width)]
    np.testing.assert_allclose(plot.marginals(p, width), expected)


@pytest.mark.parametrize(
    "labels, text",
    [([0], "qubit 0 (qubit 0 leftmost)"), ([0, 1, 2, 3], "qubits 0-3 (qubit 0 leftmost)"),
     ([1, 2, 5, 7, 8], "qubits 1-2, 5, 7-8 (qubit 1 leftmost)"), ([], "no qubits")],
)
def test_axis_names_the_qubits_in_key_order(labels, text):
    assert plot.describe_bits(labels) == text


def png_size(path):
    with open(path, "rb") as f:
        header = f.read(24)
    assert header[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", header[16:24])


def program(n):
    lines = [f"qreg q[{n}];"] + [f"ry({0.1 + 0.05 * q}) q[{q}];" for q in range(n)]
    lines += [f"cx q[{q}], q[{q + 1}];" for q in range(n - 1)]
    return HEADER + "\n".join(lines) + "\n"


def run_cli(tmp_path, source, *args):
    path = tmp_path / "prog.qasm"
    path.write_text(source)
    return subprocess.run(
        [sys.executable, "-m", "kovra", "run", str(path), *args],
        capture_output=True, text=True, timeout=120,
        env={**os.environ, "PYTHONPATH": ":".join(sys.path)},
    )


@pytest.mark.parametrize("n, panels", [(2, 1), (10, 1), (12, 2)])
def test_plot_size_is_fixed_whatever_the_qubit_count(tmp_path, n, panels):
    pytest.importorskip("matplotlib")
    target = tmp_path / "missing" / "folder" / "dist.png"
    done = run_cli(tmp_path, program(n), "--plot", str(target), "--sample", "--seed", "1")
    assert done.returncode == 0, done.stderr
    inches = plot.FIGURE_INCHES if panels == 1 else plot.FIGURE_WITH_MARGINALS_INCHES
    assert png_size(target) == tuple(round(x * plot.DPI) for x in inches)


def test_a_plot_that_cannot_be_written_is_refused_before_the_run(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("")
    done = run_cli(tmp_path, program(2), "--plot", str(blocker / "dist.png"))
    assert done.returncode == 2
    assert "cannot create the folder" in done.stderr and "Traceback" not in done.stderr
    assert "probabilities" not in done.stdout  # nothing ran
    done = run_cli(tmp_path, program(2), "--plot", str(tmp_path))
    assert done.returncode == 2 and "is a folder" in done.stderr


@pytest.mark.parametrize("name, complaint", [
    ("dist.txt", "plots are PNG pictures, give a file name ending in .png, not .txt"),
    ("x" * 300 + ".png", "File name too long"),  # passes every check but opening it
], ids=["not png", "name too long"])
def test_a_plot_path_refused_before_the_run_leaves_nothing(tmp_path, name, complaint):
    pytest.importorskip("matplotlib")
    done = run_cli(tmp_path, program(2), "--plot", str(tmp_path / name))
    assert done.returncode == 2, done.stderr
    assert done.stderr == f"error: cannot write the plot to '{tmp_path / name}': {complaint}\n"
    assert done.stdout == ""  # nothing ran
    assert sorted(os.listdir(tmp_path)) == ["prog.qasm"]


def test_a_plot_name_without_extension_is_reported_as_written(tmp_path):
    pytest.importorskip("matplotlib")
    done = run_cli(tmp_path, program(2), "--plot", str(tmp_path / "dist"))
    assert done.returncode == 0, done.stderr
    assert done.stdout.endswith(f"plot written to {tmp_path / 'dist.png'}\n")
    assert png_size(tmp_path / "dist.png") == tuple(round(x * plot.DPI) for x in plot.FIGURE_INCHES)


def test_cli_samples_reproducibly_with_a_seed(tmp_path):
    source = HEADER + "qreg q[6];\n" + "".join(f"h q[{q}];\n" for q in range(6))
    first = run_cli(tmp_path, source, "--shots", "200", "--sample", "--seed", "9")
    again = run_cli(tmp_path, source, "--shots", "200", "--sample", "--seed", "9")
    rounded = run_cli(tmp_path, source, "--shots", "200")
    assert first.returncode == 0, first.stderr
    assert first.stdout == again.stdout
    counts = first.stdout.split("counts (200 shots, sampled, seed 9):\n")[1].splitlines()
    assert "counts (200 shots):" in rounded.stdout
    assert sum(int(line.split()[1]) for line in counts) == 200
    assert first.stdout != rounded.stdout


def test_seed_without_sample_is_an_error(tmp_path):
    done = run_cli(tmp_path, program(2), "--seed", "3")
    assert done.returncode == 2 and "--seed needs --sample" in done.stderr
