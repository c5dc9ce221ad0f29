"""Every script in examples/ runs to the end, and every OpenQASM file there
runs through the command its header comment gives."""

import glob
import os
import sys

import pytest

from script_runs import ROOT, kovra_command, run

_EXAMPLES = os.path.join(ROOT, "examples")
_SCRIPTS = sorted(os.path.basename(p) for p in glob.glob(os.path.join(_EXAMPLES, "[!_]*.py")))
_PROGRAMS = sorted(os.path.basename(p) for p in glob.glob(os.path.join(_EXAMPLES, "*.qasm")))


@pytest.mark.parametrize("script", _SCRIPTS)
def test_an_example_script_runs(script):
    if "qiskit" in open(os.path.join(_EXAMPLES, script), encoding="utf-8").read():
        pytest.importorskip("qiskit")
    # From examples/, as the scripts import their neighbours (_common, teleportation).
    run([sys.executable, script], cwd=_EXAMPLES)


@pytest.mark.parametrize("program", _PROGRAMS)
def test_an_openqasm_example_runs_by_its_documented_command(program):
    pytest.importorskip("qiskit")
    header = open(os.path.join(_EXAMPLES, program), encoding="utf-8").read().split("\n")
    commands = [kovra_command(line.lstrip("/ ")) for line in header if line.startswith("//")]
    commands = [argv for argv in commands if argv is not None]
    assert commands, f"examples/{program} names no `python -m kovra` command in its header"
    for argv in commands:
        assert f"examples/{program}" in argv, f"examples/{program}'s command runs another file: {argv}"
        assert "counts" in run(argv).stdout
