"""Runs one engine on one case of problem.py, pinned to `threads` CPUs, and
prints {"seconds": ..., "values": first expectation values} as JSON:

    python run_engine.py ENGINE CASE THREADS

ENGINE is kovra or aer (the project venv), qsim, qulacs or lightning (the
peers' venv; lightning.qubit driven through its own state-vector class, as a
PennyLane device drives it, without PennyLane's tape around it).
Only the sweep is timed: building circuits and observables comes before.
"""
import json
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "..", "python")]
ENGINE, CASE, THREADS = sys.argv[1], sys.argv[2], int(sys.argv[3])
os.sched_setaffinity(0, set(sorted(os.sched_getaffinity(0))[:THREADS]))
os.environ["OMP_NUM_THREADS"] = str(THREADS)

from problem import CASES, ansatz, parameter_sets, terms  # noqa: E402

N, REPS, SETS, TERMS = CASES[CASE]
GATES, PARAMETERS = ansatz(N, REPS)
OBSERVABLE = terms(N, TERMS, seed=N)
VALUES = parameter_sets(SETS, PARAMETERS, seed=N)


def kovra():
    import kovra_backends
    from kovra.builder import CircuitBuilder

    b = CircuitBuilder()
    b.qreg(N)
    names = {"ry": "Ry", "rz": "Rz", "cx": "CNOT"}
    for gate, qubits, k in GATES:
        b.gate(names[gate], list(qubits), params=None if k is None else [f"t{k}"])
    program = kovra_backends.compile(b.capsule(), {"observables": [OBSERVABLE]})
    columns = [int(name[1:]) for name in program.parameters]
    values = VALUES[:, columns].copy()
    start = time.perf_counter()
    out = program.expectation_values(values)[:, 0]
    return time.perf_counter() - start, out


def aer():
    from qiskit import QuantumCircuit
    from qiskit.circuit import ParameterVector
    from qiskit.quantum_info import SparsePauliOp
    from qiskit_aer.primitives import EstimatorV2

    theta = ParameterVector("t", PARAMETERS)
    qc = QuantumCircuit(N)
    for gate, qubits, k in GATES:
        getattr(qc, gate)(*([theta[k]] if k is not None else []), *qubits)
    observable = SparsePauliOp([p[::-1] for p, _ in OBSERVABLE], [c for _, c in OBSERVABLE])
    estimator = EstimatorV2(options={"backend_options": {"max_parallel_threads": THREADS}})
    start = time.perf_counter()
    out = estimator.run([(qc, observable, VALUES)]).result()[0].data.evs
    return time.perf_counter() - start, out


def qsim():
    import cirq
    import qsimcirq
    import sympy

    qubits = cirq.LineQubit.range(N)
    symbols = sympy.symbols(f"t0:{PARAMETERS}")
    ops = []
    for gate, qs, k in GATES:
        if gate == "cx":
            ops.append(cirq.CNOT(qubits[qs[0]], qubits[qs[1]]))
        else:
            ops.append((cirq.ry if gate == "ry" else cirq.rz)(symbols[k]).on(qubits[qs[0]]))
    circuit = cirq.Circuit(ops)
    observable = sum(c * cirq.DensePauliString(p).on(*qubits) for p, c in OBSERVABLE)
    sweep = cirq.ListSweep([dict(zip(map(str, symbols), row)) for row in VALUES])
    simulator = qsimcirq.QSimSimulator(qsimcirq.QSimOptions(cpu_threads=THREADS))
    start = time.perf_counter()
    out = simulator.simulate_expectation_values_sweep(circuit, [observable], sweep)
    return time.perf_counter() - start, [o[0].real for o in out]


def qulacs():
    import qulacs as q

    circuit = q.ParametricQuantumCircuit(N)
    slots = {}
    for gate, qs, k in GATES:
        if gate == "cx":
            circuit.add_CNOT_gate(qs[0], qs[1])
        else:
            # Qulacs rotates by exp(+i θ/2 P): the angle is negated.
            slots[k] = circuit.get_parameter_count()
            (circuit.add_parametric_RY_gate if gate == "ry" else circuit.add_parametric_RZ_gate)(qs[0], 0.0)
    observable = q.Observable(N)
    for paulis, c in OBSERVABLE:
        text = " ".join(f"{p} {i}" for i, p in enumerate(paulis) if p != "I")
        observable.add_operator(c, text)
    state = q.QuantumState(N)
    out = []
    start = time.perf_counter()
    for row in VALUES:
        for k, slot in slots.items():
            circuit.set_parameter(slot, -row[k])
        state.set_zero_state()
        circuit.update_quantum_state(state)
        out.append(observable.get_expectation_value(state).real)
    return time.perf_counter() - start, out


def lightning():
    import numpy as np
    from pennylane_lightning.lightning_qubit_ops import MeasurementsC128, StateVectorC128
    from pennylane_lightning.lightning_qubit_ops.observables import (HamiltonianC128, NamedObsC128,
                                                                     TensorProdObsC128)

    names = {"I": "Identity", "X": "PauliX", "Y": "PauliY", "Z": "PauliZ"}

    def term(paulis):
        factors = [NamedObsC128(names[p], [q]) for q, p in enumerate(paulis) if p != "I"]
        return TensorProdObsC128(factors or [NamedObsC128("Identity", [0])])

    hamiltonian = HamiltonianC128(np.array([c for _, c in OBSERVABLE]), [term(p) for p, _ in OBSERVABLE])
    state = StateVectorC128(N)
    apply = {"ry": state.RY, "rz": state.RZ}
    out = []
    start = time.perf_counter()
    for row in VALUES:
        state.resetStateVector()
        for gate, qubits, k in GATES:
            if gate == "cx":
                state.CNOT(list(qubits), False, [])
            else:
                apply[gate](list(qubits), False, [row[k]])
        out.append(MeasurementsC128(state).expval(hamiltonian))
    return time.perf_counter() - start, out


seconds, values = globals()[ENGINE]()
print(json.dumps({"engine": ENGINE, "case": CASE, "threads": THREADS, "seconds": seconds,
                  "values": [float(v) for v in list(values)[:5]]}))
