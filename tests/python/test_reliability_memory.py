"""Registers that cannot fit raise MemoryError before anything is allocated,
instead of waking the out-of-memory killer; measurements cost no memory.

The checks run in a child interpreter whose address space is capped, so that
a missing guard shows up as a failed allocation in that child (or its death),
never as memory taken from the machine."""

import os
import resource
import subprocess
import sys
import textwrap

import pytest

CAP = 3 << 30  # bytes of address space for the child
# AddressSanitizer reserves far more address space than the cap allows, so
# sanitized children run uncapped: what only the cap can refuse is not
# checked there.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
needs_cap = pytest.mark.skipif(SANITIZED, reason="the address-space cap cannot apply under AddressSanitizer")


def run_capped(body):
    code = textwrap.dedent("""
        import time
        import kovra_backends as kb
        from kovra.builder import CircuitBuilder
        start = time.monotonic()
        try:
    """) + textwrap.indent(textwrap.dedent(body), "    ") + textwrap.dedent("""
        except MemoryError as error:
            print("MemoryError", time.monotonic() - start, error)
        else:
            print("no error")
    """)

    def cap():
        resource.setrlimit(resource.RLIMIT_AS, (CAP, CAP))

    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
                          preexec_fn=None if SANITIZED else cap)
    return done


def measured_circuit(n, measured, mqubits=None):
    config = {} if mqubits is None else {"mqubits": list(range(mqubits))}
    return f"""
        b = CircuitBuilder()
        b.qreg({n})
        b.creg({measured})
        for q in range({n}):
            b.gate("H", [q])
        for q in range({measured}):
            b.measure([q], [q])
        r = kb.BasicSimulator().execute(b.capsule(), {config!r})
        assert abs(sum(r.probabilities.values()) - 1) < 1e-9
    """


@pytest.mark.parametrize("n, measured", [
    (34, 34),   # 256 GiB for the register alone
    (40, 1),
])
def test_registers_that_cannot_fit_raise_memory_error_first(n, measured):
    done = run_capped(measured_circuit(n, measured))
    assert done.returncode == 0, done.stderr[-2000:]
    line = done.stdout.strip().splitlines()[-1]
    assert line.startswith("MemoryError"), line
    elapsed = float(line.split()[1])
    assert elapsed < 5, line  # refused up front, not after filling memory
    assert f"{n} qubits" in line


@pytest.mark.parametrize("n, measured", [
    (10, 10),   # 1024 branches
    (20, 20),   # 2^20 branches, as many as amplitudes
    (24, 12),   # 4096 branches of a 256 MiB register
])
def test_every_branch_lives_in_the_one_register(n, measured):
    # Under the 3 GiB cap: as branch copies these would need up to 16 TiB.
    done = run_capped(measured_circuit(n, measured, mqubits=min(n, 10)))
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip().splitlines()[-1] == "no error"


def test_declared_classical_bits_cost_nothing_until_written():
    # "cnum" claims 2^31 - 1 classical bits; only the one written is kept.
    done = run_capped("""
        b = CircuitBuilder()
        b.qreg(3)
        b.creg(1)
        b.gate("H", [0])
        b.measure([0], [0])
        g = b.graph()
        g["cnum"] = 2 ** 31 - 1
        r = kb.BasicSimulator().execute(b.capsule(), {})
        assert r.probabilities == {"000": 0.4999999999809753, "100": 0.4999999999809753}, r.probabilities
    """)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip().splitlines()[-1] == "no error"


@needs_cap
def test_the_probability_dict_is_reserved_before_it_is_built():
    # 2^25 outcomes: the vectors take 768 MiB, the dict of keys about 4.5 GiB.
    # The run, its arrays and its counts need no dict; reading it is refused.
    done = run_capped("""
        b = CircuitBuilder()
        b.qreg(25)
        for q in range(25):
            b.gate("H", [q])
        r = kb.BasicSimulator().execute(b.capsule(), {"shots": 100})
        assert sum(r.counts.values()) == 100 and r.probability_array().size == 2**25
        r.probabilities
    """)
    assert done.returncode == 0, done.stderr[-2000:]
    line = done.stdout.strip().splitlines()[-1]
    assert line.startswith("MemoryError"), line
    assert "Result.probabilities as a dict of 33554432 keys need" in line, line


@needs_cap
def test_the_state_list_is_reserved_before_it_is_built():
    # One outcome, but 2^26 amplitudes: 1 GiB as a vector, 2.5 GiB as a list.
    done = run_capped("""
        b = CircuitBuilder()
        b.qreg(26)
        b.gate("X", [0])
        r = kb.BasicSimulator().execute(b.capsule(), {})
        assert r.probabilities == {"1" + "0" * 25: 1.0}
        r.states
    """)
    assert done.returncode == 0, done.stderr[-2000:]
    line = done.stdout.strip().splitlines()[-1]
    assert line.startswith("MemoryError"), line
    assert "Result.states as a list of 67108864 complex numbers need" in line, line


@needs_cap
def test_parallel_sub_circuits_are_counted_together():
    # Three 26-qubit sub-circuits need 4.5 GiB between them.
    done = run_capped("""
        b = CircuitBuilder()
        for _ in range(3):
            b.gate("X", [b.qreg(26)[0]])
        kb.BasicSimulator().execute(b.capsule(), {"parallel": True})
    """)
    assert done.returncode == 0, done.stderr[-2000:]
    line = done.stdout.strip().splitlines()[-1]
    assert line.startswith("MemoryError"), line
    assert "26 qubits beside the sub-circuits before them" in line and "MiB needed, only" in line, line


@needs_cap
def test_a_deep_circuit_costs_its_ops_not_its_layers_times_its_qubits():
    # 2^20 X gates one after another on a 24-qubit register: as layers padded
    # on every qubit that is 25M records (about 3 GiB); as a flat op list it
    # fits the cap beside the 256 MiB state vector, and X^(2^20) is I.
    done = run_capped("""
        b = CircuitBuilder()
        b.qreg(24)
        b.define("d0").gate("X", [0])
        for level in range(1, 21):
            d = b.define(f"d{level}")
            d.call(f"d{level - 1}", [0])
            d.call(f"d{level - 1}", [0])
        b.call("d20", [0])
        r = kb.BasicSimulator().execute(b.capsule(), {"mqubits": [0]})
        print(r.probabilities)
    """)
    assert done.returncode == 0, done.stderr[-2000:]
    lines = done.stdout.strip().splitlines()
    assert lines[-1] == "no error", lines
    assert lines[-2] == "{'0': 1.0}", lines


@pytest.mark.parametrize("reuse, expected", [
    ("records", "22 qubits with 11 reuses"),
    # Each reset of half a Bell pair splits every branch in two: refused
    # once the branches pass the cap (without it, the machine's memory).
    pytest.param("auto", "live branches of 22 qubits (a measured or reset qubit whose outcome is uncertain splits",
                 marks=needs_cap),
])
def test_record_qubits_and_branches_of_resets_count_in_the_guard(reuse, expected):
    # 22 qubits fit; resetting one qubit of each of 11 Bell pairs makes 33
    # qubits, 128 GiB, or 2048 branches of 22 qubits.
    done = run_capped(f"""
        b = CircuitBuilder()
        b.qreg(22)
        for q in range(11):
            b.gate("H", [q])
            b.gate("CNOT", [q, q + 11])
        for q in range(11):
            b.reset([q])
        kb.BasicSimulator().execute(b.capsule(), {{"measure_reuse": "{reuse}"}})
    """)
    assert done.returncode == 0, done.stderr[-2000:]
    line = done.stdout.strip().splitlines()[-1]
    assert line.startswith("MemoryError") and expected in line, line


@needs_cap
@pytest.mark.parametrize("config, expected", [({"mqubits": [0]}, "{'1': 1.0}"), ({}, "MemoryError")])
def test_a_result_over_a_few_qubits_needs_no_probability_vector(config, expected):
    # 27 qubits: the state is 2 GiB under the 3 GiB cap; the probability of
    # every basis state would add 1 GiB, the marginal of qubit 0 16 bytes.
    done = run_capped(f"""
        b = CircuitBuilder()
        b.qreg(27)
        b.gate("X", [0])
        print(kb.BasicSimulator().execute(b.capsule(), {config!r}).probabilities)
    """)
    assert done.returncode == 0, done.stderr[-2000:]
    lines = done.stdout.strip().splitlines()
    assert lines[-1].startswith(expected) or lines[-2] == expected, lines


@needs_cap
@pytest.mark.parametrize("precision, n", [("double", 27), ("single", 28)])
def test_a_result_keyed_by_a_few_classical_bits_forms_no_probability_vector(precision, n):
    # A 2 GiB register under the 3 GiB cap: keyed by four measured bits the
    # run sums straight from the amplitudes, where a vector of every basis
    # state's probability would take another 1 or 2 GiB.
    done = run_capped(f"""
        b = CircuitBuilder()
        b.qreg({n})
        b.creg(4)
        for q in range(4):
            b.gate("H", [q])
        b.gate("CNOT", [0, {n} - 1])
        for q in range(4):
            b.measure([q], [q])
        r = kb.BasicSimulator().execute(b.capsule(), {{"mcbits": [0, 1, 2, 3], "precision": {precision!r}}})
        assert len(r.probabilities) == 16 and abs(sum(r.probabilities.values()) - 1) < 1e-6, r.probabilities
    """)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip().splitlines()[-1] == "no error"


@needs_cap
@pytest.mark.parametrize("drawn, expected", [(True, "{'1" + "0" * 26 + "': 5}"), (False, "MemoryError")])
def test_shots_drawn_from_the_amplitudes_need_no_probability_vector(drawn, expected):
    # 27 qubits measured into 27 bits: the state is 2 GiB under the 3 GiB
    # cap; the distribution of the bits would add 1 GiB, the draws bytes.
    config = {"mcbits": list(range(27)), "shots": 5} | ({"probabilities": False} if drawn else {})
    done = run_capped(f"""
        b = CircuitBuilder()
        b.qreg(27)
        b.creg(27)
        b.gate("X", [0])
        for q in range(27):
            b.measure([q], [q])
        print(kb.BasicSimulator().execute(b.capsule(), {config!r}).counts)
    """)
    assert done.returncode == 0, done.stderr[-2000:]
    lines = done.stdout.strip().splitlines()
    assert lines[-1].startswith(expected) or lines[-2] == expected, lines
