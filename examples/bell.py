"""A Bell pair: H on qubit 0, then CNOT from 0 to 1."""
import _common  # noqa: F401
import kovra_backends
from kovra.builder import CircuitBuilder

circuit = CircuitBuilder()
circuit.qreg(2)
circuit.gate("H", [0])
circuit.gate("CNOT", [0, 1])

result = kovra_backends.BasicSimulator().execute(circuit.capsule(), {"shots": 1000})
_common.show("Bell pair", result)
