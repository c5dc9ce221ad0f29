"""A five-qubit GHZ state, and the marginal of two of its qubits."""
import _common  # noqa: F401
import kovra_backends
from kovra.builder import CircuitBuilder

n = 5
circuit = CircuitBuilder()
circuit.qreg(n)
circuit.gate("H", [0])
for q in range(n - 1):
    circuit.gate("CNOT", [q, q + 1])

simulator = kovra_backends.BasicSimulator()
_common.show("GHZ on 5 qubits", simulator.execute(circuit.capsule(), {"shots": 100}), False)
_common.show("qubits 1 and 3 only", simulator.execute(circuit.capsule(), {"mqubits": [3, 1]}), False)
