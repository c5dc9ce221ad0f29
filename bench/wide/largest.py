"""The largest registers on one machine: a program of bench/wide at n qubits,
the result keyed by its first k qubits ("mqubits"), with the run's time and
the process's peak memory beside the state vector's size.

    python largest.py qft 30 20      QFT of 30 qubits, keyed by qubits 0..19
    python largest.py random 30 1    bench/peers' random layered circuit, depth 16
    python largest.py peers-qft 31 20 single   bench/peers' QFT in single precision ("precision"),
                                                built without the OpenQASM loader (whose size
                                                check counts double amplitudes)
    python largest.py random 30 20 double measured   qubits 0..19 measured at the end and the
                                                result keyed by those classical bits ("mcbits"),
                                                as Qiskit circuits run

Prints one line: program, qubits, reported qubits, seconds, peak GiB, peak
over the vector.
"""

import os
import resource
import sys
import time

import kovra_backends
import programs
from kovra.qasm import loads

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "peers"))
import circuits  # noqa: E402
from run_kovra import build  # noqa: E402


def measured(circuit, k):
    """The circuit with qubits 0..k-1 measured into classical bits 0..k-1 at the end."""
    ops = circuit["ops"] + [{"g": "MEASURE", "q": [q], "c": [q]} for q in range(k)]
    return circuit | {"clbits": k, "ops": ops}


def capsule_of(name, n, k, measure):
    make = {"random": lambda: circuits.random_layered(n, depth=16), "peers-qft": lambda: circuits.qft(n)}
    if name in make:
        circuit = make[name]()
        return build(measured(circuit, k) if measure else circuit).capsule()
    if measure:
        raise SystemExit("measured runs take random or peers-qft")
    return loads(getattr(programs, name)(n)).capsule()


def main():
    name, n, k = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    precision = sys.argv[4] if len(sys.argv) > 4 else "double"
    measure = len(sys.argv) > 5 and sys.argv[5] == "measured"
    capsule = capsule_of(name, n, k, measure)
    keys = {"mcbits": list(range(k))} if measure else {"mqubits": list(range(k))}
    start = time.perf_counter()
    result = kovra_backends.BasicSimulator().execute(capsule, keys | {"precision": precision})
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # kB on Linux
    vector = (8 if precision == "single" else 16) * 2**n
    # Keyed by classical bits, the array is read off the keys, which leave
    # out probabilities at or below 1e-10: up to that much per key is missing.
    assert abs(sum(result.probability_array()) - 1) < 1e-6 + (2**k * 1e-10 if measure else 0)
    print(f"{name} n={n} {'mcbits' if measure else 'mqubits'}={k} {precision} {seconds:.1f} s peak {peak / 2**30:.2f} GiB = {peak / vector:.3f} x the vector "
          f"(kernels: {kovra_backends.kernel_path()})")


if __name__ == "__main__":
    main()
