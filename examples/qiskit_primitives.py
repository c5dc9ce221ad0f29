"""Qiskit circuits on kovra: KovraBackend for counts, Estimator for exact
expectation values over a sweep of parameter values, Sampler for shots.
Needs the qiskit extra (pip install kovra_backends[qiskit])."""
import numpy as np

import _common  # noqa: F401
from qiskit import QuantumCircuit
from qiskit.circuit import Parameter
from qiskit.quantum_info import SparsePauliOp

from kovra.qiskit import Estimator, KovraBackend, Sampler

bell = QuantumCircuit(2)
bell.h(0)
bell.cx(0, 1)
bell.measure_all()
backend = KovraBackend()
print("counts:", backend.run(bell, shots=1000, seed_simulator=1).result().get_counts())
print("exact distribution:", backend.probabilities(bell))

# An ansatz with one free angle: Ry(theta) then CNOT gives <ZZ> = 1 and
# <XX> = sin(theta), so the energy is 1 + 0.5 sin(theta).
theta = Parameter("theta")
ansatz = QuantumCircuit(2)
ansatz.ry(theta, 0)
ansatz.cx(0, 1)
hamiltonian = SparsePauliOp.from_list([("ZZ", 1.0), ("XX", 0.5)])
values = np.linspace(0, np.pi, 5).reshape(-1, 1)   # one row per set of values
evs = Estimator().run([(ansatz, hamiltonian, values)]).result()[0].data.evs
for (angle,), energy in zip(values, evs):
    print(f"theta = {angle:.3f}: <ZZ + 0.5 XX> = {energy:+.6f}")

measured = ansatz.measure_all(inplace=False)
sampled = Sampler(seed=7).run([(measured, [[np.pi / 3]])], shots=500).result()[0]
print("Sampler counts at theta = pi/3:", sampled.data.meas.get_counts())
