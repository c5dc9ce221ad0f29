"""Shared by the examples: makes the in-tree helpers importable and prints results."""
import os
import sys

PYTHON_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python")
sys.path.insert(0, PYTHON_DIR)


def show(title, result, amplitudes=True):
    print(f"== {title}")
    print("  probabilities (keys list qubit 0 first):")
    for key, p in result.probabilities.items():
        print(f"    {key or '(none)'}: {p:.12f}")
    print("  counts:", dict(result.counts))
    if amplitudes and result.states:
        width = max(1, (len(result.states) - 1).bit_length())
        print("  state vector:")
        for i, a in enumerate(result.states):
            if abs(a) > 1e-12:
                print(f"    |{i:0{width}b}>: {a.real:+.12f}{a.imag:+.12f}j")
    elif amplitudes:
        print("  state vector: (none: the circuit measured, so the run holds several branches)")
