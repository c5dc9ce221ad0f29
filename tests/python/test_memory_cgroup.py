"""The memory guard under a cgroup limit: a run the host could hold but the
cgroup cannot is refused with MemoryError before it allocates, where it
used to be granted its pages and killed by the cgroup's OOM killer."""

import os
import pathlib
import shutil
import subprocess
import sys
import textwrap
import time

import pytest

GIB = 1 << 30
LIMIT = 2 * GIB
QUBITS = 28  # a state vector of 2^28 complex doubles: 4 GiB, twice the limit

CHILD = textwrap.dedent(f"""
    import sys
    procs = sys.argv[1]
    if procs:  # join the cgroup before anything is allocated
        with open(procs, "w") as f:
            f.write("0")
    import kovra_backends as kb
    from kovra.builder import CircuitBuilder
    from kovra.qasm.limits import available_memory
    print("free", kb.free_bytes(), available_memory(), flush=True)
    b = CircuitBuilder()
    b.qreg({QUBITS})
    b.gate("H", [0])
    try:
        kb.BasicSimulator().execute(b.capsule(), {{"fusion": False}})
    except MemoryError as error:
        print("refused", error, flush=True)
    else:
        print("ran", flush=True)
""")


def own_memory_cgroup():
    """The directory of this process's memory cgroup and its limit file."""
    unified = pathlib.Path("/sys/fs/cgroup")
    available = unified / "cgroup.controllers"
    v2_memory = available.exists() and "memory" in available.read_text().split()
    for line in pathlib.Path("/proc/self/cgroup").read_text().splitlines():
        hierarchy, controllers, path = line.split(":", 2)
        if hierarchy == "0" and not controllers and v2_memory:
            return unified / path.lstrip("/"), "memory.max"
        if "memory" in controllers.split(","):
            return pathlib.Path("/sys/fs/cgroup/memory") / path.lstrip("/"), "memory.limit_in_bytes"
    return None, None


def child_cgroup():
    """A child of this process's memory cgroup limited to LIMIT, and its
    cgroup.procs; (None, reason) where one cannot be made."""
    parent, limit_file = own_memory_cgroup()
    if parent is None or not parent.is_dir():
        return None, "no memory cgroup of this process is mounted"
    made = parent / f"kovra_test_{os.getpid()}"
    try:
        made.mkdir()
    except OSError as error:
        return None, f"cannot make a child cgroup under {parent}: {error}"
    try:
        (made / limit_file).write_text(str(LIMIT))
    except OSError as error:
        remove(made)
        return None, f"cannot limit the memory of {made}: {error}"
    return made, None


def remove(cgroup):
    for _ in range(50):  # the child's exit may take a moment to leave the cgroup
        try:
            cgroup.rmdir()
            return
        except OSError:
            time.sleep(0.1)


def run_child(prefix, procs):
    child = subprocess.run(prefix + [sys.executable, "-c", CHILD, procs], capture_output=True, text=True,
                           timeout=300, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    return child.returncode, child.stdout, child.stderr


def test_a_run_past_the_cgroup_limit_is_refused_before_it_allocates():
    cgroup, reason = child_cgroup()
    if cgroup is not None:
        try:
            code, out, err = run_child([], str(cgroup / "cgroup.procs"))
        finally:
            remove(cgroup)
    elif shutil.which("systemd-run") and pathlib.Path("/run/systemd/system").is_dir():
        code, out, err = run_child(["systemd-run", "--scope", "--quiet", "-p", f"MemoryMax={LIMIT}"], "")
    else:
        pytest.skip(f"no cgroup memory limit can be set here: {reason}; systemd is not running")
    assert code == 0, f"the run was killed ({code}) instead of refused: {out}{err}"
    lines = out.splitlines()
    _, module_free, python_free = lines[0].split()
    assert float(module_free) <= LIMIT and float(python_free) <= LIMIT  # one guard, read from the module
    assert lines[1].startswith("refused ") and "MiB are available" in lines[1], out
