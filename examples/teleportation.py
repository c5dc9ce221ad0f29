"""Quantum teleportation on the BasicSimulator.

Qubit 0 is prepared in Ry(theta)|0>, qubits 1 and 2 share a Bell pair; after
the Bell measurement of qubits 0 and 1 into classical bits 0 and 1, X and Z
corrections conditioned on those bits leave qubit 2 in the state qubit 0
started in. The simulator follows both outcomes of every measurement, so the
probabilities are exact: each of the four measurement outcomes has
probability 1/4, and qubit 2 reads 1 with probability sin^2(theta/2).
"""
import math

import _common  # noqa: F401
import kovra_backends
from kovra.builder import EQUAL, CircuitBuilder


def teleportation(theta, deferred=False):
    """The teleportation circuit. With `deferred` the Bell measurement is
    left out and the X and Z corrections become CNOT and ZCON controlled by
    qubits 1 and 0 (for back ends without classically conditioned gates)."""
    b = CircuitBuilder()
    q = b.qreg(3)
    if not deferred:
        c = b.creg(2)
    b.gate("Ry", [q[0]], params=[theta])  # the state to send
    b.gate("H", [q[1]])
    b.gate("CNOT", [q[1], q[2]])  # Bell pair between qubits 1 and 2
    b.gate("CNOT", [q[0], q[1]])
    b.gate("H", [q[0]])
    if deferred:
        b.gate("CNOT", [q[1], q[2]])  # the X correction, controlled by qubit 1
        b.gate("ZCON", [q[0], q[2]])  # the Z correction, controlled by qubit 0
    else:
        b.measure([q[0], q[1]], [c[0], c[1]])
        b.gate("X", [q[2]], condition=([c[1]], EQUAL, 1))
        b.gate("Z", [q[2]], condition=([c[0]], EQUAL, 1))
    return b


def main(theta=1.2, shots=1000):
    builder = teleportation(theta)
    simulator = kovra_backends.BasicSimulator()
    full = simulator.execute(builder.capsule(), {"shots": shots})
    received = simulator.execute(builder.capsule(), {"shots": shots, "mqubits": [2]})

    print(f"Teleporting Ry({theta})|0>: qubit 2 should read 1 with probability "
          f"sin^2(theta/2) = {math.sin(theta / 2) ** 2:.6f}")
    print("probabilities over (q0, q1, q2):")
    for key, p in full.probabilities.items():
        print(f"  {key}: {p:.6f}")
    print(f"counts for {shots} shots:", full.counts)
    print("qubit 2 alone:", {k: round(v, 6) for k, v in received.probabilities.items()})
    print(f"qubit 2 counts for {shots} shots:", received.counts)
    print("one random reading:", full.get_random_reading())


if __name__ == "__main__":
    main()
