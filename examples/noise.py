"""Noise two ways: the simulator's own "noise" rules on a graph, and a
Qiskit Aer NoiseModel on KovraBackend. Both run exactly on a density matrix
at this size. The Aer part needs qiskit-aer."""
import _common  # noqa: F401
import kovra_backends
from kovra.builder import CircuitBuilder

circuit = CircuitBuilder()
circuit.qreg(2)
circuit.creg(2)
circuit.gate("H", [0])
circuit.gate("CNOT", [0, 1])
circuit.measure([0, 1], [0, 1])

rules = [
    {"channel": "depolarizing", "p": 0.05, "gates": ["CNOT"]},         # after every CNOT
    {"channel": "amplitude_damping", "gamma": 0.02, "gates": ["H"]},
    {"channel": "readout", "probabilities": [[0.97, 0.03], [0.05, 0.95]], "gates": ["MEASURE"]},
]
noisy = kovra_backends.BasicSimulator().execute(circuit.capsule(), {"noise": rules, "mcbits": [0, 1]})
print("noise rules, probabilities of (c0, c1):", noisy.probabilities)

try:
    from qiskit import QuantumCircuit
    from qiskit_aer.noise import NoiseModel, ReadoutError, depolarizing_error
except ImportError:
    print("qiskit-aer is not installed: the NoiseModel part is left out")
    raise SystemExit(0)
from kovra.qiskit import KovraBackend

model = NoiseModel()
model.add_all_qubit_quantum_error(depolarizing_error(0.05, 2), ["cx"])
model.add_all_qubit_readout_error(ReadoutError([[0.97, 0.03], [0.05, 0.95]]))
bell = QuantumCircuit(2)
bell.h(0)
bell.cx(0, 1)
bell.measure_all()
backend = KovraBackend(noise_model=model)
print("NoiseModel, exact distribution:", backend.probabilities(bell))
print("NoiseModel, counts:", backend.run(bell, shots=1000, seed_simulator=3).result().get_counts())
