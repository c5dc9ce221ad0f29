"""Projected time of spread runs on a cluster, from runs measured here.

    python bench/distributed/projection.py MEASURED.json [--bandwidth 12.5] [--memory 100] [--depth 20]

MEASURED.json is what spread_bench.py --json writes. This is a projection,
not a measurement: it scales what the measured runs did per circuit layer
to larger registers and more ranks under stated assumptions:

- swaps per layer grow with the number of rank qubits k (a layer of a
  random layered circuit targets each qubit about once, and Belady's rule
  keeps the rest), taken from the measured run with the most ranks (its
  result is reduced to one qubit, so it has no final restore);
- compute passes per layer grow with the local qubits above the 10 that a
  cache segment holds (each stretch covers at most 6 of them);
- a pass reads and writes the slice once at memory bandwidth M; a swap sends
  and receives half the slice at network bandwidth B per direction and
  copies it twice through memory (packing and unpacking);
- the plain pairwise scheme sends the whole slice for each gate whose
  target is a rank qubit (counted per layer in the measured run).
"""

import argparse
import json
import math

GIB = 2 ** 30
SEGMENT_QUBITS = 10


def per_layer(runs, depth):
    spread = [r for r in runs if r["ranks"] > 1]
    best = max(spread, key=lambda r: (r["ranks"], r["qubits"]))
    k = int(math.log2(best["ranks"]))
    local = best["qubits"] - k
    slice_bytes = 16 * 2 ** local
    return {
        "basis": best,
        "swaps_per_rank_qubit": best["swaps"] / (k * depth),
        "pairwise_gates_per_rank_qubit": best["pairwise_bytes_per_rank"] / slice_bytes / (k * depth),
        "passes_per_high_qubit": best["passes"] / depth / (local - SEGMENT_QUBITS),
    }


def project(rates, qubits, nodes, depth, bandwidth, memory):
    k = int(math.log2(nodes))
    local = qubits - k
    slice_bytes = 16 * 2 ** local
    swaps = rates["swaps_per_rank_qubit"] * k * depth
    passes = rates["passes_per_high_qubit"] * (local - SEGMENT_QUBITS) * depth
    pairwise = rates["pairwise_gates_per_rank_qubit"] * k * depth
    compute = passes * 2 * slice_bytes / memory
    exchange = swaps * (slice_bytes / 2 / bandwidth + slice_bytes / memory)
    pairwise_exchange = pairwise * (slice_bytes / bandwidth + 2 * slice_bytes / memory)
    return {
        "qubits": qubits, "nodes": nodes, "slice_gib": slice_bytes / GIB, "swaps": swaps, "passes": passes,
        "compute_s": compute, "exchange_s": exchange, "total_s": compute + exchange,
        "sent_gib_per_node": swaps * slice_bytes / 2 / GIB,
        "pairwise_sent_gib_per_node": pairwise * slice_bytes / GIB, "pairwise_total_s": compute + pairwise_exchange,
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("measured")
    parser.add_argument("--bandwidth", type=float, default=12.5, help="GB/s per node and direction")
    parser.add_argument("--memory", type=float, default=100.0, help="GB/s memory bandwidth per node")
    parser.add_argument("--depth", type=int, default=20, help="layers of the projected circuit")
    parser.add_argument("--measured-depth", type=int, default=10)
    args = parser.parse_args()
    with open(args.measured) as f:
        runs = json.load(f)
    rates = per_layer(runs, args.measured_depth)
    b = rates["basis"]
    print(f"Basis: {b['qubits']} qubits over {b['ranks']} ranks, depth {args.measured_depth}: "
          f"{rates['swaps_per_rank_qubit']:.3f} swaps and {rates['pairwise_gates_per_rank_qubit']:.3f} rank-target "
          f"gates per rank qubit and layer, {rates['passes_per_high_qubit']:.3f} passes per layer and local "
          f"qubit above {SEGMENT_QUBITS}. B = {args.bandwidth} GB/s, M = {args.memory} GB/s, depth {args.depth}.\n")
    print("| qubits | nodes | slice GiB/node | swaps | passes | compute s | exchange s | total s | sent GiB/node | pairwise sent GiB/node | pairwise total s |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for qubits in (36, 40):
        for nodes in (64, 256):
            p = project(rates, qubits, nodes, args.depth, args.bandwidth * 1e9, args.memory * 1e9)
            print(f"| {qubits} | {nodes} | {p['slice_gib']:.0f} | {p['swaps']:.0f} | {p['passes']:.0f} | "
                  f"{p['compute_s']:.0f} | {p['exchange_s']:.0f} | {p['total_s']:.0f} | {p['sent_gib_per_node']:.0f} | "
                  f"{p['pairwise_sent_gib_per_node']:.0f} | {p['pairwise_total_s']:.0f} |")


if __name__ == "__main__":
    main()
