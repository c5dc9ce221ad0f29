"""Runs seeded Qiskit circuits through the Qiskit front end and prints what
each returns, every float with every bit (repr): random circuits (every
third with classical conditions) as exact probabilities and seeded counts,
noisy ones as a density matrix and as trajectories, the Estimator and the
Sampler over parameter sets, and a dynamic circuit that measures, conditions
and resets. Two builds (each with its own python/ tree) agree when their
dumps are identical:

    PYTHONPATH=A/python:A_SRC/python python bench/compare/dump_qiskit.py > a.txt
    PYTHONPATH=B/python:B_SRC/python python bench/compare/dump_qiskit.py > b.txt
    cmp a.txt b.txt
"""
from qiskit import QuantumCircuit
from qiskit.circuit import Parameter
from qiskit.circuit.random import random_circuit
from qiskit.quantum_info import SparsePauliOp
from qiskit_aer.noise import NoiseModel, ReadoutError, depolarizing_error

from kovra.qiskit import Estimator, KovraBackend, Sampler


def out(*values):
    print(*[repr(v) for v in values])


b = KovraBackend()
for seed in range(60):
    c = random_circuit(5, 5, measure=True, seed=seed, conditional=(seed % 3 == 0))
    try:
        out(seed, sorted(b.probabilities(c).items()))
        out(seed, sorted(b.run(c, shots=300, seed_simulator=seed).result().get_counts().items()))
    except Exception as e:
        out(seed, type(e).__name__, str(e))
noise = NoiseModel()
noise.add_all_qubit_quantum_error(depolarizing_error(0.02, 1), ["h", "rx", "sx", "x"])
noise.add_all_qubit_quantum_error(depolarizing_error(0.05, 2), ["cx"])
noise.add_all_qubit_readout_error(ReadoutError([[0.97, 0.03], [0.05, 0.95]]))
for seed in range(10):
    c = random_circuit(4, 4, measure=True, seed=100 + seed)
    try:
        exact = b.run(c, shots=500, seed_simulator=seed, noise_model=noise)
        out("noisy", seed, sorted(exact.result().get_counts().items()))
        drawn = b.run(c, shots=200, seed_simulator=seed, noise_model=noise, method="trajectories", trajectories=50)
        out("noisy-traj", seed, sorted(drawn.result().get_counts().items()))
    except Exception as e:
        out("noisy", seed, type(e).__name__, str(e))
t = Parameter("t")
qc = QuantumCircuit(3)
qc.h(0)
qc.rx(t, 1)
qc.cx(0, 2)
qc.ry(2 * t, 2)
est = Estimator()
res = est.run([(qc, [[SparsePauliOp("ZZI")], [SparsePauliOp("XIX")]], [[0.1], [0.7], [1.3]])]).result()
out("est", res[0].data.evs.tolist())
qm = qc.copy()
qm.measure_all()
sres = Sampler(seed=5).run([(qm, [[0.3], [0.9]])], shots=400).result()
out("sampler", [sorted(sres[0].data.meas[i].get_counts().items()) for i in range(2)])
# A dynamic circuit: measure, condition, reuse.
d = QuantumCircuit(3, 3)
d.h(0)
d.measure(0, 0)
with d.if_test((d.clbits[0], 1)):
    d.x(1)
d.reset(0)
d.h(0)
d.cx(0, 2)
d.measure([0, 1, 2], [0, 1, 2])
out("dyn", sorted(b.probabilities(d).items()),
    sorted(b.run(d, shots=256, seed_simulator=3).result().get_counts().items()))
