"""Running a worker script as an `mpirun` job, and skipping where none can run."""

import json
import os
import shutil
import subprocess
import sys

import pytest

import kovra_backends


def skip_without_mpi():
    if not kovra_backends.distributed_run()["mpi"]:
        pytest.skip("the module was built without MPI", allow_module_level=True)
    if shutil.which("mpirun") is None:
        pytest.skip("mpirun is not installed (scripts/setup.sh installs openmpi-bin)", allow_module_level=True)
    if os.environ.get("KOVRA_SANITIZED"):
        pytest.skip("MPI jobs are not run under the sanitizers", allow_module_level=True)


def run_job(worker, ranks, out, args=(), mpirun_flags=(), timeout=300):
    """Runs `worker out args...` on `ranks` ranks; each rank writes rank<r>.json into `out`."""
    env = {**os.environ, "PYTHONPATH": os.path.dirname(kovra_backends.__file__)}
    command = ["mpirun", "--oversubscribe", "--allow-run-as-root", *mpirun_flags, "-n", str(ranks),
               sys.executable, worker, str(out), *args]
    done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, done.stdout + done.stderr
    return [json.loads((out / f"rank{r}.json").read_text()) for r in range(ranks)]
