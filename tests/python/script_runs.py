"""Running the documented commands and the example scripts as a reader
would: in a fresh interpreter from the repository's root, with this test
run's modules importable."""

import os
import shlex
import subprocess
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(__file__), "..", ".."))
# Far above any of them (each takes seconds): a run that hangs fails the
# test rather than the suite.
TIMEOUT_SECONDS = 300
_ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path), "MPLBACKEND": "Agg"}


def run(argv, cwd=ROOT, stdin=None):
    """The finished process of `argv`; a failure shows its output."""
    done = subprocess.run(argv, cwd=cwd, input=stdin, capture_output=True, text=True,
                          env=_ENV, timeout=TIMEOUT_SECONDS)
    assert done.returncode == 0, f"{shlex.join(argv)} exited {done.returncode}:\n{done.stdout}\n{done.stderr}"
    return done


def kovra_command(line):
    """The argv of a documented `python -m kovra ...` line, run by this
    interpreter (the docs write `.venv/bin/python` or `python`); None for a
    line that is no such command."""
    words = shlex.split(line, comments=True)
    if len(words) < 3 or not words[0].endswith("python") or words[1:3] != ["-m", "kovra"]:
        return None
    return [sys.executable] + words[1:]
