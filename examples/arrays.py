"""A result as numpy arrays, and shots: the exact distribution and state as
arrays without a copy, seeded samples of it, and shots drawn straight from
the amplitudes with every shot's outcome kept ("memory")."""
import numpy as np

import _common  # noqa: F401
import kovra_backends
from kovra.builder import CircuitBuilder

circuit = CircuitBuilder()
circuit.qreg(3)
circuit.gate("H", [0])
circuit.gate("CNOT", [0, 1])
circuit.gate("Ry", [2], params=[1.0])

result = kovra_backends.BasicSimulator().execute(circuit.capsule(), {})
p = result.probability_array()      # p[k]: the outcome whose key is k in binary ("110" is 6)
psi = result.state_array()          # complex128, the same order
print("P(k):", np.round(p, 6))
print("|psi|^2 matches:", np.allclose(np.abs(psi) ** 2, p, atol=1e-9))
print("1000 samples:", result.sample_counts(1000, seed=7))
print("first 5 shots in order:", result.sample_memory(5, seed=7))

# Measured on every qubit, the shots can come straight from the amplitudes:
# no distribution over 2^n outcomes is formed.
drawn = kovra_backends.BasicSimulator().execute(
    circuit.capsule(), {"probabilities": False, "shots": 8, "seed": 7, "memory": True})
print("drawn counts:", drawn.counts)
print("every drawn shot:", drawn.memory)
