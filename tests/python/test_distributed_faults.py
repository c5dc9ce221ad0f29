"""MPI jobs whose ranks do not run the same thing: one rank fails alone
before the run (a parameter function that raises there, a gate its graph
does not know, too little memory), or the ranks build different circuits.
Every rank raises, naming the failing rank or what each compiled, instead of
waiting forever or crashing inside MPI; then the ranks run a shared circuit
in step again. The ranks run mpi_fault_worker.py."""

import os

import pytest

from mpi_jobs import run_job as run_worker
from mpi_jobs import skip_without_mpi

skip_without_mpi()

WORKER = os.path.join(os.path.dirname(__file__), "mpi_fault_worker.py")
# mpirun ends a job that hangs after this many seconds (and the test fails).
JOB_SECONDS = 60
PREFIX = "rank 1 failed: "


def run_job(case, out):
    return run_worker(WORKER, 2, out, [case], ["--timeout", str(JOB_SECONDS)], timeout=2 * JOB_SECONDS)


def check_in_step(ranks):
    assert ranks[0]["after"] == ranks[1]["after"] and "ran" in ranks[0]["after"]


@pytest.mark.parametrize("case, kind, reason", [
    ("unknown gate", "CircuitError", '"FOO" is not a gate name'),
    ("raising parameter", "ZeroDivisionError", "division by zero"),
    ("memory", "MemoryError", "cannot simulate 20 qubits over 2 ranks"),
    ("failing second sub-circuit", "ZeroDivisionError", "division by zero"),
])
def test_a_rank_that_fails_alone_is_named_by_every_rank(case, kind, reason, tmp_path):
    ranks = run_job(case, tmp_path)
    other, odd = (r["outcome"] for r in ranks)
    # The failing rank raises its own error, as one process would, named.
    assert odd["raised"] == kind and odd["message"].startswith(PREFIX) and reason in odd["message"], odd
    own = odd["message"][len(PREFIX):]
    assert other == {"raised": "RuntimeError", "message": f"{PREFIX}{kind}: {own}"}
    check_in_step(ranks)


@pytest.mark.parametrize("case, described", [
    ("different registers", ["rank 0 has 8 qubits and", "rank 1 has 9 qubits and"]),
    ("split and whole", ["rank 0 has 2 qubits and", "rank 1 has 3 qubits and"]),
    ("different mqubits", ["rank 0 has 8 qubits and", "rank 1 has 8 qubits and"]),
    ("different sub-circuit counts", ["rank 0 has 8 qubits and", "rank 1 has 8 qubits and"]),
])
def test_ranks_with_different_circuits_all_refuse_them(case, described, tmp_path):
    ranks = run_job(case, tmp_path)
    said = [r["outcome"] for r in ranks]
    assert said[0] == said[1] and said[0]["raised"] == "ValueError", said
    message = said[0]["message"]
    assert message.startswith("ranks disagree on the circuit: ")
    assert message.index(described[0]) < message.index(described[1])
    check_in_step(ranks)
