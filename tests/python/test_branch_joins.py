"""Dynamic circuits whose measurement histories multiply while their
distinct (record, state) pairs stay few: their branches must join, or the
run grows without bound. And while loops that nothing measured into must
still be checked for their end.

The joined runs go to a child interpreter with a capped address space, so
that branches that fail to join end in its MemoryError rather than in the
machine's memory."""

import json
import math
import os
import resource
import subprocess
import sys
import textwrap

import pytest

qiskit = pytest.importorskip("qiskit")

from qiskit import QuantumCircuit  # noqa: E402

from kovra.primitives import Sampler  # noqa: E402
from kovra.qiskit import KovraBackend  # noqa: E402
from test_qiskit_backend import _key, assert_same_distribution  # noqa: E402
from test_reliability_memory import SANITIZED  # noqa: E402

# The circuits bench/branches/loops.py times: the same ones, checked here.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench", "branches"))
from loops import accumulator, repeat_until_success  # noqa: E402,F401

CAP = 1 << 30  # bytes of address space for the child: a few hundred MiB beyond the interpreter's
TOLERANCE = 1e-8  # the engine's calibrated gates against exact sums
THETA, PHI, PSI = 0.3, 0.3, 0.2


def accumulator_exact(rounds):
    """{value of the bits: probability}: the last coin is c0, the rotations
    counted by the coins that read 1."""
    out = {}
    for last in (0, 1):
        for earlier in range(rounds):
            weight = math.comb(rounds - 1, earlier) / 2 ** rounds
            one = math.sin((earlier + last) * THETA / 2) ** 2
            out[last] = out.get(last, 0) + weight * (1 - one)
            out[last | 2] = out.get(last | 2, 0) + weight * one
    return out


def repeat_until_success_exact(attempts=80):
    """Bits go (0), m (1), flag (2), out (3 to 6: qubits 2 to 5)."""
    out = {}

    def add(value, p2, p3, weight):
        for bell in (0, 3):  # qubits 4 and 5 read 00 or 11
            for b2 in (0, 1):
                for b3 in (0, 1):
                    p = weight / 2 * (p2 if b2 else 1 - p2) * (p3 if b3 else 1 - p3)
                    key = value | b2 << 3 | b3 << 4 | bell << 5
                    out[key] = out.get(key, 0) + p

    add(0b100, 0, 0, 0.5)  # no loop: flag stays 1
    for k in range(1, attempts):  # k attempts, the last one ending it
        p3 = math.sin(k * PSI / 2) ** 2
        for last in (0, 1):
            for earlier in range(k):
                weight = 0.5 * 2.0 ** -k * math.comb(k - 1, earlier) / 2 ** (k - 1) / 2
                add(0b001 | last << 1, math.sin((earlier + last) * PHI / 2) ** 2, p3, weight)
    return out


CHILD = """
import json, sys
sys.path.insert(0, {tests!r})
import test_branch_joins as t
from kovra.qiskit import KovraBackend
circuit = getattr(t, {name!r})(*{args!r})
print(json.dumps(KovraBackend().probabilities(circuit)))
"""


@pytest.mark.skipif(SANITIZED, reason="the address-space cap cannot apply under AddressSanitizer")
@pytest.mark.parametrize("name, args, exact", [
    ("accumulator", (40,), accumulator_exact(40)),
    ("repeat_until_success", (), repeat_until_success_exact()),
])
def test_histories_that_meet_again_are_one_branch(name, args, exact):
    code = CHILD.format(tests=os.path.dirname(__file__), name=name, args=args)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
                          preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (CAP, CAP)))
    assert done.returncode == 0, done.stderr[-2000:]
    circuit = globals()[name](*args)
    expected = {_key(circuit, v): p for v, p in exact.items() if p > 1e-15}
    assert_same_distribution(json.loads(done.stdout), expected, TOLERANCE)


def endless():
    qc = QuantumCircuit(1, 1)
    with qc.while_loop((qc.clbits[0], 0)):  # c0 is never written: always true
        qc.x(0)
    return qc


def never_entered():
    qc = QuantumCircuit(1, 1)
    with qc.while_loop((qc.clbits[0], 1)):
        qc.x(0)
    qc.x(0)
    return qc


def unreached():
    qc = QuantumCircuit(1, 1)
    with qc.if_test((qc.clbits[0], 1)):
        with qc.while_loop((qc.clbits[0], 0)):
            qc.x(0)
    return qc


def backend_run(qc, **options):
    """A job's result: a circuit that measures nothing reports no counts."""
    assert KovraBackend().run(qc, shots=10, while_limit=5, **options).result().success


def sampled(qc):
    counts = Sampler().run([qc], shots=10).result()[0].data.c.get_counts()
    return {key: n / 10 for key, n in counts.items()}


# Each way a circuit runs: the distribution it reports, or None.
RUNS = {
    "run": backend_run,
    "parameter_binds": lambda qc: backend_run(qc, parameter_binds=[{}]),
    "probabilities": lambda qc: KovraBackend(while_limit=5).probabilities(qc),
    "sampler": sampled,
}


@pytest.mark.parametrize("how", sorted(RUNS))
def test_a_while_loop_is_checked_where_nothing_is_measured(how):
    with pytest.raises(RuntimeError, match=r"still loops with probability 1 after \d+ iterations"):
        RUNS[how](endless())
    for circuit in (never_entered(), unreached()):
        assert RUNS[how](circuit) in (None, {"0": 1.0})
