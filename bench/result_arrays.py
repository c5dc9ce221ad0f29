"""Times the numpy views and the sampling of a result against the run that
made it (issue figures: views under 1% of the run, 10^6 samples of 24
qubits under 0.5 s).

    PYTHONPATH=build/dev/python .venv/bin/python bench/result_arrays.py [--qubits 24] [--shots 1000000]

Runs once per figure on the calling machine; a benchmark, not a test.
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "python"))

import kovra_backends  # noqa: E402
from kovra.builder import CircuitBuilder  # noqa: E402


def layered_circuit(n, layers=3):
    circuit = CircuitBuilder()
    circuit.qreg(n)
    for layer in range(layers):
        for q in range(n):
            circuit.gate("Ry", [q], params=[0.3 + 0.1 * ((q + layer) % 7)])
        for q in range(layer % 2, n - 1, 2):
            circuit.gate("CNOT", [q, q + 1])
    return circuit


def timed(call):
    start = time.perf_counter()
    value = call()
    return value, time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qubits", type=int, default=24)
    parser.add_argument("--shots", type=int, default=10**6)
    args = parser.parse_args()
    graph = layered_circuit(args.qubits).graph()
    result, run = timed(lambda: kovra_backends.BasicSimulator().execute(graph, {}))
    _, probabilities = timed(result.probability_array)
    _, states = timed(result.state_array)
    _, counts = timed(lambda: result.sample_counts(args.shots, seed=1))
    _, memory = timed(lambda: result.sample_memory(args.shots, seed=1))
    print(f"{args.qubits} qubits: execute {run:.3f} s")
    print(f"probability_array {probabilities * 1e6:.1f} us ({100 * probabilities / run:.4f}% of execute)")
    print(f"state_array {states * 1e6:.1f} us ({100 * states / run:.4f}% of execute)")
    print(f"sample_counts({args.shots}) {counts:.3f} s; sample_memory({args.shots}) {memory:.3f} s")


if __name__ == "__main__":
    main()
