"""The state vector spread over MPI ranks: every rank of an `mpirun` job
must report what one process reports for the same circuit. The ranks run
mpi_worker.py; this process runs the same cases alone and compares."""

import json
import os
import subprocess
import sys

import pytest

import kovra_backends
from distributed_cases import CASES, build, outcome
from mpi_jobs import run_job as run_worker
from mpi_jobs import skip_without_mpi

skip_without_mpi()

WORKER = os.path.join(os.path.dirname(__file__), "mpi_worker.py")
TOLERANCE = 1e-12


def run_job(ranks, out, *flags):
    return run_worker(WORKER, ranks, out, flags)


@pytest.fixture(scope="module", params=[(2, ()), (4, ()), (4, ("--mpi4py",))], ids=["2 ranks", "4 ranks", "4 ranks, mpi4py"])
def job(request, tmp_path_factory):
    ranks, flags = request.param
    if flags:
        pytest.importorskip("mpi4py")
    return ranks, run_job(ranks, tmp_path_factory.mktemp("mpi"), *flags)


@pytest.fixture(scope="module")
def alone():
    out = {}
    for name, case in CASES.items():
        builder, config = build(case)
        out[name] = outcome(kovra_backends.BasicSimulator().execute(builder.capsule(), config))
    return out


# Float runs fuse each stretch between exchanges on its own, so spread and
# whole runs round differently: to float precision.
SINGLE_TOLERANCE = 1e-5


def close(a, b, tolerance=TOLERANCE):
    return abs(float(a) - float(b)) <= tolerance


def agree(a, b, tolerance=TOLERANCE):
    return len(a) == len(b) and all(close(x, y, tolerance) for u, v in zip(a, b) for x, y in zip(u, v))


def single(name):
    return CASES[name].get("precision") == "single"


@pytest.mark.parametrize("name", CASES)
def test_every_rank_reports_what_one_process_does(job, alone, name):
    ranks, results = job
    expected = dict(alone[name])
    tolerance = SINGLE_TOLERANCE if single(name) else TOLERANCE
    if CASES[name].get("local_state"):
        # Rank r holds indices [r 2^L, (r + 1) 2^L) of the whole state.
        assert agree(joined_states(results, name), expected["states"], tolerance)
        results = [result | {name: result[name] | {"states": []}} for result in results]
        expected["states"] = []
    for rank, result in enumerate(results):
        got = result[name]
        assert all(close(got["probabilities"].get(k, 0), v, tolerance)
                   for k, v in expected["probabilities"].items()), f"rank {rank}"
        assert all(close(v, expected["probabilities"].get(k, 0), tolerance)
                   for k, v in got["probabilities"].items()), f"rank {rank}"
        if not single(name):  # counts drawn from probabilities a rounding apart may differ
            assert got["probabilities"].keys() == expected["probabilities"].keys(), f"rank {rank}"
            assert got["counts"] == expected["counts"], f"rank {rank}"
        assert len(got["array"]) == len(expected["array"])
        assert all(close(a, b, tolerance) for a, b in zip(got["array"], expected["array"]))
        assert agree(got["states"], expected["states"], tolerance), f"rank {rank}"
        assert len(got["expectations"]) == len(expected["expectations"])
        assert all(close(a, b, tolerance) for a, b in zip(got["expectations"], expected["expectations"])), f"rank {rank}"
        # Ranks agree with each other to the last bit.
        assert {k: v for k, v in got.items() if k != "report"} == {k: v for k, v in results[0][name].items() if k != "report"}


def joined_states(results, name):
    """The whole state: every rank's slice with "local_state", else rank 0's."""
    if CASES[name].get("local_state"):
        return [a for result in results for a in result[name]["states"]]
    return results[0][name]["states"]


@pytest.mark.parametrize("name", [n for n, c in CASES.items() if "fusion" not in c and "precision" not in c])
def test_amplitudes_and_full_results_are_bit_identical(job, alone, name):
    # Without fusion each amplitude sees the same arithmetic spread or not,
    # and the norm is one sum whether the vector is gathered or its slices
    # are kept. A result over every qubit and no record qubit reads each
    # probability alone; sums over some qubits (mqubits, mcbits, record
    # qubits) are formed per rank in its slice's order and then added, and
    # only agree within TOLERANCE, as docs/distributed.md says.
    _, results = job
    assert joined_states(results, name) == alone[name]["states"]
    if not {"mqubits", "mcbits", "reuses"} & CASES[name].keys():
        assert results[0][name]["probabilities"] == alone[name]["probabilities"]
        assert results[0][name]["array"] == alone[name]["array"]


def test_the_vector_is_really_spread(job):
    ranks, results = job
    for rank, result in enumerate(results):
        report = result["unitary-12"]["report"]
        assert (report["rank"], report["ranks"]) == (rank, ranks)
        assert 2 ** report["local_qubits"] * ranks == 2 ** 12
        # Remapping: each swap sends half a slice, and far fewer swaps
        # happen than gates on rank qubits.
        assert report["bytes_sent"] == report["swaps"] * 2 ** report["local_qubits"] * 8
        assert 0 < report["bytes_sent"] < report["pairwise_bytes"] / 2
        # Float slices travel as floats: half a slice of 8-byte amplitudes.
        single = result["single"]["report"]
        assert single["swaps"] > 0 and single["bytes_sent"] == single["swaps"] * 2 ** single["local_qubits"] * 4


def test_one_process_initialises_no_mpi():
    report = kovra_backends.distributed_run()
    assert (report["rank"], report["ranks"], report["swaps"]) == (0, 1, 0)


def test_a_world_of_three_ranks_is_refused_by_name(tmp_path):
    script = tmp_path / "three.py"
    script.write_text(
        "import sys\n"
        f"sys.path[:0] = [{os.path.dirname(__file__)!r}, {os.path.join(os.path.dirname(__file__), '..', '..', 'python')!r}]\n"
        "import kovra_backends\n"
        "from distributed_cases import CASES, build\n"
        "builder, config = build(CASES['unitary-9'])\n"
        "import os\n"
        "try:\n"
        "    kovra_backends.BasicSimulator().execute(builder.capsule(), config)\n"
        "    said = 'ran'\n"
        "except ValueError as e:\n"
        "    said = f'refused: {e}'\n"
        # One file per rank: mpirun may interleave the ranks' standard output.
        f"open(os.path.join({str(tmp_path)!r}, 'rank' + os.environ['OMPI_COMM_WORLD_RANK']), 'w').write(said)\n"
    )
    env = {**os.environ, "PYTHONPATH": os.path.dirname(kovra_backends.__file__)}
    command = ["mpirun", "--oversubscribe", "--allow-run-as-root", "-n", "3", sys.executable, str(script)]
    done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    said = [(tmp_path / f"rank{rank}").read_text() for rank in range(3)]
    assert said == ["refused: a distributed run needs a power-of-two number of MPI ranks, not 3"] * 3


def test_unseeded_draws_are_the_same_on_every_rank(tmp_path):
    # Each rank draws a seed of its own; rank 0's is the one used, spread
    # (12 qubits) or whole on every rank (2 qubits).
    here = os.path.dirname(__file__)
    script = tmp_path / "unseeded.py"
    script.write_text(
        "import json, os, sys\n"
        f"sys.path[:0] = [{here!r}, {os.path.join(here, '..', '..', 'python')!r}]\n"
        "import kovra_backends\n"
        "from distributed_cases import CASES, build\n"
        "said = []\n"
        "for name in ('unitary-12', 'too-small-to-split'):\n"
        "    builder, config = build(CASES[name])\n"
        "    config |= {'probabilities': False, 'memory': True}\n"
        "    said.append(kovra_backends.BasicSimulator().execute(builder.capsule(), config).memory)\n"
        f"out = os.path.join({str(tmp_path)!r}, 'rank' + os.environ['OMPI_COMM_WORLD_RANK'])\n"
        "open(out, 'w').write(json.dumps(said))\n"
    )
    env = {**os.environ, "PYTHONPATH": os.path.dirname(kovra_backends.__file__)}
    command = ["mpirun", "--oversubscribe", "--allow-run-as-root", "-n", "2", sys.executable, str(script)]
    done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    said = [json.loads((tmp_path / f"rank{rank}").read_text()) for rank in range(2)]
    assert said[0] == said[1] and all(len(m) == 1000 for m in said[0])
