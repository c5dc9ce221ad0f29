"""Fixed cost of one BasicSimulator.execute call, on one CPU: the 11-qubit
teleportation chain of the race (10 mid-circuit measurements, 10 conditioned
corrections) run again and again from one graph, and for scale a call on a
20-qubit random circuit.

    PYTHONPATH=build/dev/python taskset -c 0 python bench/per_call/per_call.py

Prints the median time per call over several batches; the graph is built
once, before the clock starts.
"""
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "peers"), os.path.join(HERE, "..", "..", "python")]

import kovra_backends  # noqa: E402
from circuits import random_layered, teleport_chain  # noqa: E402
from run_kovra import build  # noqa: E402


def per_call(capsule, config, calls, batches=7):
    simulator = kovra_backends.BasicSimulator()
    simulator.execute(capsule, config)  # warm up
    medians = []
    for _ in range(batches):
        start = time.perf_counter()
        for _ in range(calls):
            simulator.execute(capsule, config)
        medians.append((time.perf_counter() - start) / calls)
    return statistics.median(medians)


def main():
    teleport = build(teleport_chain(11, 5)).capsule()
    for config in ({}, {"mqubits": [0]}):
        seconds = per_call(teleport, config, 2000)
        print(f"teleport-n11-k10 {config}: {seconds * 1e3:.4f} ms per call")
    # The whole call on 20 qubits; bench/translate_bench.cpp splits it into
    # reading, placing, fusing and running.
    wide = build(random_layered(20, 20, seed=3)).capsule()
    seconds = per_call(wide, {"mqubits": [0]}, 5, batches=5)
    print(f"random-n20-d20 {{'mqubits': [0]}}: {seconds * 1e3:.2f} ms per call")


if __name__ == "__main__":
    main()
