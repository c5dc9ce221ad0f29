"""The largest registers on one machine: a program of bench/wide at n qubits,
the result keyed by its first k qubits ("mqubits"), with the run's time and
the process's peak memory beside the state vector's size.

    python largest.py qft 30 20      QFT of 30 qubits, keyed by qubits 0..19

Prints one line: program, qubits, reported qubits, seconds, peak GiB, peak
over the vector.
"""

import resource
import sys
import time

import kovra_backends
import programs
from kovra.qasm import loads


def main():
    name, n, k = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    source = getattr(programs, name)(n)
    program = loads(source)
    start = time.perf_counter()
    result = kovra_backends.BasicSimulator().execute(program.capsule(), {"mqubits": list(range(k))})
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # kB on Linux
    vector = 16 * 2**n
    assert abs(sum(result.probability_array()) - 1) < 1e-6
    print(f"{name} n={n} mqubits={k} {seconds:.1f} s peak {peak / 2**30:.2f} GiB = {peak / vector:.3f} x the vector "
          f"(kernels: {kovra_backends.kernel_path()})")


if __name__ == "__main__":
    main()
