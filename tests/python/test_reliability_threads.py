"""Simulator calls from several Python threads at once: the interpreter lock
is released while state vectors are computed, so lowerings, igraph calls and
runs of different threads interleave. Every thread must get exactly the
result a lone call gives, and failing calls must not disturb the others."""

import threading

import pytest

import kovra_backends as kb
from kovra.builder import CircuitBuilder

from fuzz_support import watchdog


def ghz(n, angle):
    b = CircuitBuilder()
    b.qreg(n)
    b.creg(1)
    b.gate("Ry", [0], params=[angle])
    for q in range(n - 1):
        b.gate("CNOT", [q, q + 1])
    b.measure([n - 1], [0])
    b.gate("X", [0], condition=([0], 0, 1))
    return b


def broken():
    b = CircuitBuilder()
    b.qreg(2)
    b.gate("CNOT", [0, 0])
    b.define("sub").gate("Rx", [0], params=[lambda a: 1 / 0], pindex=[0])
    return b


@pytest.mark.parametrize("parallel", [False, True])
def test_threads_get_the_results_of_lone_calls(parallel):
    builders = [ghz(n, 0.1 * n) for n in range(2, 19, 2)]
    expected = [kb.BasicSimulator().execute(b.capsule(), {"parallel": parallel}).probabilities
                for b in builders]
    bad = broken()
    errors, mismatches = [], []

    def worker(offset):
        for k in range(12):
            i = (k + offset) % len(builders)
            got = kb.BasicSimulator().execute(builders[i].capsule(), {"parallel": parallel}).probabilities
            if got != expected[i]:
                mismatches.append((i, got))
            try:
                kb.BasicSimulator().execute(bad.capsule(), {"parallel": parallel})
            except RuntimeError as error:
                errors.append(str(error))

    with watchdog(120):
        threads = [threading.Thread(target=worker, args=(t,)) for t in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert mismatches == []
    assert len(errors) == 4 * 12
    assert all("more than once" in e for e in errors), set(errors)


def test_a_circuit_that_runs_itself_stops_at_the_nesting_limit():
    # Each parameter function runs the whole circuit again, in parallel mode:
    # the chain is cut at the documented depth, and the threads in use stay
    # within one per processor however deep it goes.
    import os

    from nmr_helpers import thread_count

    threads_seen = []

    def rerun(a):
        threads_seen.append(thread_count())
        kb.BasicSimulator().execute(g, {"parallel": True})
        return a

    b = CircuitBuilder()
    b.define("d").gate("Rx", [0], params=[rerun], pindex=[0])
    for _ in range(3):
        b.call("d", b.qreg(1), params=[0.1])
    g = b.graph()
    kb.BasicSimulator().execute(ghz(2, 0.1).graph(), {"parallel": True})  # the engine's own threads
    with watchdog(120):
        before = thread_count()
        with pytest.raises(RuntimeError, match="nested more than 16 deep"):
            kb.BasicSimulator().execute(g, {"parallel": True})
    assert max(threads_seen) <= before + os.cpu_count()
    # Once a run has failed its later sub-circuits are skipped: only chains
    # already under way on another thread go on to the limit.
    assert len(threads_seen) <= 16 * 3 * (os.cpu_count() + 1)
