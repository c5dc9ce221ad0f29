"""Small programs of the kinds benchmark suites of devices hold (QASMBench's
small and medium sets): built here from qiskit.circuit.library and our own
generators, so the benchmark needs no network. Each is a function of no
arguments returning a QuantumCircuit of 4 to 12 qubits that measures every
qubit at the end; PROGRAMS maps a name to it.
"""

import math
import random

import numpy as np
from qiskit import QuantumCircuit
from qiskit.circuit.library import (QFT, CDKMRippleCarryAdder, DraperQFTAdder, PauliEvolutionGate, PhaseGate,
                                    RGQFTMultiplier, VBERippleCarryAdder, efficient_su2, grover_operator,
                                    phase_estimation, qaoa_ansatz, quantum_volume, real_amplitudes)
from qiskit.quantum_info import SparsePauliOp
from qiskit.synthesis import LieTrotter

# Parameters of the variational ansätze: fixed draws, so every run is the same.
ANGLE_SEED = 11


def measured(qc):
    qc = qc.copy()
    qc.measure_all()
    return qc


def ghz(n):
    qc = QuantumCircuit(n)
    qc.h(0)
    for q in range(n - 1):
        qc.cx(q, q + 1)
    return measured(qc)


def qft(n):
    qc = QuantumCircuit(n)
    for q in range(0, n, 2):
        qc.x(q)
    qc.compose(QFT(n), inplace=True)
    return measured(qc.decompose())


def bernstein_vazirani(n):
    secret = [(k * 5 + 1) % 3 == 0 for k in range(n - 1)]
    qc = QuantumCircuit(n)
    qc.x(n - 1)
    qc.h(range(n))
    for k, bit in enumerate(secret):
        if bit:
            qc.cx(k, n - 1)
    qc.h(range(n - 1))
    return measured(qc)


def deutsch_jozsa(n):
    qc = QuantumCircuit(n)
    qc.x(n - 1)
    qc.h(range(n))
    for k in range(0, n - 1, 2):  # balanced: the parity of the even inputs
        qc.cx(k, n - 1)
    qc.h(range(n - 1))
    return measured(qc)


def qpe(n):
    """n - 1 counting qubits estimating a phase of a one-qubit phase gate."""
    unitary = QuantumCircuit(1)
    unitary.append(PhaseGate(2 * math.pi * 0.3125 + 0.1), [0])
    qc = QuantumCircuit(n)
    qc.x(n - 1)
    qc.compose(phase_estimation(n - 1, unitary), inplace=True)
    return measured(qc.decompose(reps=2))


def adder(kind, bits):
    gate = {"draper": lambda: DraperQFTAdder(bits, kind="half"),
            "cdkm": lambda: CDKMRippleCarryAdder(bits, kind="half"),
            "vbe": lambda: VBERippleCarryAdder(bits, kind="half")}[kind]()
    qc = QuantumCircuit(gate.num_qubits)
    for q in (0, 2, bits, bits + 1):  # two operands with a few bits set
        if q < 2 * bits:
            qc.x(q)
    qc.compose(gate, inplace=True)
    return measured(qc.decompose(reps=3))


def multiplier(bits):
    gate = RGQFTMultiplier(bits)
    qc = QuantumCircuit(gate.num_qubits)
    qc.x([0, bits])
    qc.h(1)
    qc.compose(gate, inplace=True)
    return measured(qc.decompose(reps=3))


def ising(n, steps, field=0.8):
    """Transverse-field Ising chain, first-order Trotter steps from |+...+>."""
    terms = [("ZZ", [q, q + 1], 1.0) for q in range(n - 1)] + [("X", [q], field) for q in range(n)]
    hamiltonian = SparsePauliOp.from_sparse_list(terms, num_qubits=n)
    qc = QuantumCircuit(n)
    qc.h(range(n))
    qc.append(PauliEvolutionGate(hamiltonian, time=1.0, synthesis=LieTrotter(reps=steps)), range(n))
    return measured(qc.decompose(reps=3))


def heisenberg(n, steps):
    terms = [(p + p, [q, q + 1], 1.0) for q in range(n - 1) for p in "XYZ"]
    hamiltonian = SparsePauliOp.from_sparse_list(terms, num_qubits=n)
    qc = QuantumCircuit(n)
    qc.x(range(0, n, 2))
    qc.append(PauliEvolutionGate(hamiltonian, time=0.5, synthesis=LieTrotter(reps=steps)), range(n))
    return measured(qc.decompose(reps=3))


def bound(ansatz):
    rng = np.random.default_rng(ANGLE_SEED)
    return measured(ansatz.assign_parameters(rng.uniform(-math.pi, math.pi, ansatz.num_parameters)).decompose())


def qaoa_ring(n, layers):
    edges = [(q, (q + 1) % n) for q in range(n)] + [(0, n // 2)]
    cost = SparsePauliOp.from_sparse_list([("ZZ", list(e), 1.0) for e in edges], num_qubits=n)
    return bound(qaoa_ansatz(cost, reps=layers).decompose(reps=2))


def grover(n, marked):
    oracle = QuantumCircuit(n)
    zeros = [q for q in range(n) if not marked >> q & 1]
    if zeros:
        oracle.x(zeros)
    oracle.h(n - 1)
    oracle.mcx(list(range(n - 1)), n - 1)
    oracle.h(n - 1)
    if zeros:
        oracle.x(zeros)
    step = grover_operator(oracle)
    qc = QuantumCircuit(n)
    qc.h(range(n))
    for _ in range(max(1, int(math.pi / 4 * math.sqrt(2 ** n)))):
        qc.compose(step, inplace=True)
    return measured(qc.decompose(reps=3))


def sat(variables, clauses, seed):
    """One Grover step for a random 3-SAT formula: an ancilla per clause
    computes the clause, one more the conjunction, then all is undone."""
    rng = random.Random(seed)
    formula = [[(v, rng.random() < 0.5) for v in rng.sample(range(variables), 3)] for _ in range(clauses)]
    n = variables + clauses + 1
    out = n - 1
    qc = QuantumCircuit(n)
    qc.h(range(variables))
    qc.x(out)
    qc.h(out)
    compute = QuantumCircuit(n)
    for c, clause in enumerate(formula):
        anc = variables + c
        for v, positive in clause:  # OR = NOT(AND of the negated literals)
            if positive:
                compute.x(v)
        compute.mcx([v for v, _ in clause], anc)
        compute.x(anc)
        for v, positive in clause:
            if positive:
                compute.x(v)
    qc.compose(compute, inplace=True)
    qc.mcx(list(range(variables, variables + clauses)), out)
    qc.compose(compute.inverse(), inplace=True)
    qc.h(range(variables))
    qc.x(range(variables))
    qc.h(variables - 1)
    qc.mcx(list(range(variables - 1)), variables - 1)
    qc.h(variables - 1)
    qc.x(range(variables))
    qc.h(range(variables))
    return measured(qc.decompose(reps=3))


def w_state(n):
    qc = QuantumCircuit(n)
    qc.x(0)
    for q in range(n - 1):
        theta = 2 * math.acos(math.sqrt(1 / (n - q)))
        qc.cry(theta, q, q + 1)
        qc.cx(q + 1, q)
    return measured(qc)


def swap_test(k):
    """Two k-qubit states compared through one ancilla."""
    n = 2 * k + 1
    qc = QuantumCircuit(n)
    for q in range(k):
        qc.ry(0.3 + 0.2 * q, 1 + q)
        qc.ry(0.5 - 0.1 * q, 1 + k + q)
    qc.h(0)
    for q in range(k):
        qc.cswap(0, 1 + q, 1 + k + q)
    qc.h(0)
    return measured(qc)


def hidden_shift(n):
    shift = [(k % 3) == 1 for k in range(n)]
    qc = QuantumCircuit(n)
    qc.h(range(n))
    qc.x([q for q, s in enumerate(shift) if s])
    for q in range(0, n - 1, 2):
        qc.cz(q, q + 1)
    qc.x([q for q, s in enumerate(shift) if s])
    qc.h(range(n))
    for q in range(0, n - 1, 2):
        qc.cz(q, q + 1)
    qc.h(range(n))
    return measured(qc)


def simon(k):
    n = 2 * k
    qc = QuantumCircuit(n)
    qc.h(range(k))
    for q in range(k):
        qc.cx(q, k + q)
    for q in range(k):  # s = 1...1 folded in through qubit 0
        qc.cx(0, k + q)
    qc.h(range(k))
    return measured(qc)


PROGRAMS = {
    "ghz_n5": lambda: ghz(5),
    "ghz_n8": lambda: ghz(8),
    "ghz_n12": lambda: ghz(12),
    "qft_n5": lambda: qft(5),
    "qft_n8": lambda: qft(8),
    "qft_n10": lambda: qft(10),
    "bv_n6": lambda: bernstein_vazirani(6),
    "bv_n9": lambda: bernstein_vazirani(9),
    "bv_n12": lambda: bernstein_vazirani(12),
    "dj_n7": lambda: deutsch_jozsa(7),
    "qpe_n5": lambda: qpe(5),
    "qpe_n8": lambda: qpe(8),
    "qpe_n10": lambda: qpe(10),
    "adder_draper_n7": lambda: adder("draper", 3),
    "adder_cdkm_n8": lambda: adder("cdkm", 3),
    "adder_vbe_n6": lambda: adder("vbe", 2),
    "multiplier_n8": lambda: multiplier(2),
    "ising_n6": lambda: ising(6, 3),
    "ising_n10": lambda: ising(10, 3),
    "heisenberg_n6": lambda: heisenberg(6, 2),
    "vqe_real_n6": lambda: bound(real_amplitudes(6, reps=2)),
    "vqe_su2_n8": lambda: bound(efficient_su2(8, reps=2)),
    "qaoa_n6": lambda: qaoa_ring(6, 2),
    "qaoa_n10": lambda: qaoa_ring(10, 1),
    "grover_n4": lambda: grover(4, 0b1011),
    "grover_n5": lambda: grover(5, 0b10110),
    "sat_n9": lambda: sat(4, 4, seed=3),
    "wstate_n6": lambda: w_state(6),
    "swap_test_n7": lambda: swap_test(3),
    "hidden_shift_n6": lambda: hidden_shift(6),
    "simon_n6": lambda: simon(3),
    "qv_n5": lambda: measured(quantum_volume(5, seed=4).decompose()),
    "qv_n8": lambda: measured(quantum_volume(8, seed=4).decompose()),
}
