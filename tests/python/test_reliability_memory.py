"""Registers and branch counts that cannot fit raise MemoryError before
anything is allocated, instead of waking the out-of-memory killer.

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

    sanitized = "libasan" in os.environ.get("LD_PRELOAD", "")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
                          preexec_fn=None if sanitized else cap)
    return done


def measured_circuit(n, measured):
    return f"""
        b = CircuitBuilder()
        b.qreg({n})
        b.creg({measured})
        for q in range({n}):
            b.gate("H", [q])
        for q in range({measured}):
            b.measure([q], [q])
        kb.BasicSimulator().execute(b.capsule(), {{}})
    """


@pytest.mark.parametrize("n, measured", [
    (20, 20),   # 2^20 branches of 16 MiB: 16 TiB
    (24, 12),   # 4096 branches of 256 MiB
    (34, 34),   # 2^34 branches of 256 GiB
    (40, 1),    # the register alone
])
def test_branches_that_cannot_fit_raise_memory_error_first(n, measured):
    done = run_capped(measured_circuit(n, measured))
    assert done.returncode == 0, done.stderr[-2000:]
    line = done.stdout.strip().splitlines()[-1]
    assert line.startswith("MemoryError"), line
    elapsed = float(line.split()[1])
    assert elapsed < 5, line  # refused up front, not after filling memory
    assert f"{n} qubits" in line


def test_classical_bits_count_in_every_branch():
    # Three qubits, but "cnum" claims 2^31 - 1 classical bits, 8 GiB in each
    # of the two branches a measurement makes.
    done = run_capped("""
        b = CircuitBuilder()
        b.qreg(3)
        b.creg(1)
        b.gate("H", [0])
        b.measure([0], [0])
        g = b.graph()
        g["cnum"] = 2 ** 31 - 1
        kb.BasicSimulator().execute(b.capsule(), {})
    """)
    assert done.returncode == 0, done.stderr[-2000:]
    line = done.stdout.strip().splitlines()[-1]
    assert line.startswith("MemoryError") and "2147483647 classical bits" in line, line


def test_many_measurements_that_fit_still_run():
    # 10 measured qubits: 1024 branches of 16 KiB each.
    b_code = """
        b = CircuitBuilder()
        b.qreg(10)
        b.creg(10)
        for q in range(10):
            b.gate("H", [q])
        for q in range(10):
            b.measure([q], [q])
        r = kb.BasicSimulator().execute(b.capsule(), {})
        assert len(r.probabilities) == 1024, len(r.probabilities)
        assert abs(sum(r.probabilities.values()) - 1) < 1e-9
    """
    done = run_capped(b_code)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip().splitlines()[-1] == "no error"
