"""Runs one job on a peer simulator (Qiskit Aer, Qulacs or qsim) in the peers
venv: `python run_peer.py JOB.json`. See common.py for the job and output.

Every peer gets the circuit gate for gate in its own native gates, built
before the clock starts. What is timed is the call that turns the circuit into
a final state, the way a user would make it: Aer's run and result with the
state vector saved, Qulacs' state allocation, optional optimisation and
update, qsim's simulate (which includes its own translation from Cirq).

Qubit order: kovra's qubit q is the most significant bit q of the state index;
Aer and Qulacs count qubit 0 as the least significant bit, so q becomes
n - 1 - q there; Cirq orders the qubits given most significant first.
"""

import math
import os

from common import finish, pin, read_job, rss_mib, timed, write_probabilities

# Kovra's Y90 is e^{i pi/4} Ry(pi/2) and YCON a controlled Ry(pi); a global
# phase does not change any probability, and YCON's controlled form has no
# relative phase to lose: [[0, -1], [1, 0]] is exactly Ry(pi).
Y90_MATRIX = [[0.5 + 0.5j, -0.5 - 0.5j], [0.5 + 0.5j, 0.5 + 0.5j]]


def deferred_if_needed(job):
    from circuits import deferred

    circuit = job["circuit"]
    if job.get("mode") == "shots":
        return circuit
    return deferred(circuit) if any(op["g"] == "MEASURE" for op in circuit["ops"]) else circuit


# -- Qiskit Aer ---------------------------------------------------------------
def build_aer(circuit, with_measurements):
    from qiskit import QuantumCircuit

    n = circuit["n"]
    qc = QuantumCircuit(n, circuit["clbits"]) if with_measurements else QuantumCircuit(n)

    def a(q):
        return n - 1 - q

    simple = {"H": qc.h, "X": qc.x, "Y": qc.y, "Z": qc.z, "S": qc.s, "Sd": qc.sdg, "T": qc.t,
              "Td": qc.tdg, "X90": qc.sx}
    angled = {"Rx": qc.rx, "Ry": qc.ry, "Rz": qc.rz, "P": qc.p}

    def apply(op):
        g, qs = op["g"], [a(q) for q in op["q"]]
        if g in simple:
            simple[g](qs[0])
        elif g in angled:
            angled[g](op["p"][0], qs[0])
        elif g == "Y90":
            qc.ry(math.pi / 2, qs[0])
        elif g == "CNOT":
            qc.cx(qs[0], qs[1])
        elif g == "ZCON":
            qc.cz(qs[0], qs[1])
        elif g == "YCON":
            qc.cry(math.pi, qs[0], qs[1])
        elif g == "CCX":
            qc.ccx(qs[0], qs[1], qs[2])
        else:
            raise ValueError("no Aer form for %r" % (op,))

    for op in circuit["ops"]:
        if op["g"] == "MEASURE":
            qc.measure(a(op["q"][0]), op["c"][0])
        elif "if" in op:
            bit, value = op["if"]
            with qc.if_test((qc.clbits[bit], value)):
                apply(op)
        else:
            apply(op)
    if not with_measurements:
        qc.save_statevector()
    return qc


def run_aer(job):
    from qiskit_aer import AerSimulator
    import numpy as np

    shots_mode = job.get("mode") == "shots"
    circuit = deferred_if_needed(job)
    qc = build_aer(circuit, shots_mode)
    sim = AerSimulator(method="statevector", precision="double",
                       max_parallel_threads=job["threads"], fusion_enable=job["fusion"])
    baseline = rss_mib()
    if shots_mode:
        times, result = timed(lambda: sim.run(qc, shots=job["shots"]).result(), job["reps"])
        return times, baseline, None
    times, result = timed(lambda: sim.run(qc).result(), job["reps"])
    state = np.asarray(result.get_statevector())
    return times, baseline, np.abs(state) ** 2


# -- Qulacs -------------------------------------------------------------------
def build_qulacs(circuit):
    from qulacs import QuantumCircuit, gate

    n = circuit["n"]
    qc = QuantumCircuit(n)

    def a(q):
        return n - 1 - q

    simple = {"H": qc.add_H_gate, "X": qc.add_X_gate, "Y": qc.add_Y_gate, "Z": qc.add_Z_gate,
              "S": qc.add_S_gate, "Sd": qc.add_Sdag_gate, "T": qc.add_T_gate, "Td": qc.add_Tdag_gate,
              "X90": qc.add_sqrtX_gate}
    # RotX/RotY/RotZ are exp(-i angle P / 2); Qulacs' RX/RY/RZ turn the other way.
    angled = {"Rx": qc.add_RotX_gate, "Ry": qc.add_RotY_gate, "Rz": qc.add_RotZ_gate, "P": qc.add_U1_gate}
    for op in circuit["ops"]:
        g, qs = op["g"], [a(q) for q in op["q"]]
        if g in simple:
            simple[g](qs[0])
        elif g in angled:
            angled[g](qs[0], op["p"][0])
        elif g == "Y90":
            qc.add_dense_matrix_gate(qs[0], Y90_MATRIX)
        elif g == "CNOT":
            qc.add_CNOT_gate(qs[0], qs[1])
        elif g == "ZCON":
            qc.add_CZ_gate(qs[0], qs[1])
        elif g == "YCON":
            ycon = gate.DenseMatrix(qs[1], [[0, -1], [1, 0]])
            ycon.add_control_qubit(qs[0], 1)
            qc.add_gate(ycon)
        elif g == "CCX":
            qc.add_gate(gate.TOFFOLI(qs[0], qs[1], qs[2]))
        else:
            raise ValueError("no Qulacs form for %r" % (op,))
    return qc


def run_qulacs(job):
    from qulacs import QuantumState
    from qulacs.circuit import QuantumCircuitOptimizer
    import numpy as np

    circuit = deferred_if_needed(job)
    n = circuit["n"]
    qc = build_qulacs(circuit)
    optimizer = QuantumCircuitOptimizer()

    def run():
        c = qc.copy()
        if job["fusion"]:
            optimizer.optimize(c, 2)  # merge neighbouring gates into dense gates of up to 2 qubits
        state = QuantumState(n)
        c.update_quantum_state(state)
        return state

    baseline = rss_mib()
    times, state = timed(run, job["reps"])
    return times, baseline, np.abs(state.get_vector()) ** 2


# -- qsim ---------------------------------------------------------------------
def build_cirq(circuit):
    import cirq

    qubits = cirq.LineQubit.range(circuit["n"])
    simple = {"H": cirq.H, "X": cirq.X, "Y": cirq.Y, "Z": cirq.Z, "S": cirq.S, "Sd": cirq.S ** -1,
              "T": cirq.T, "Td": cirq.T ** -1, "X90": cirq.X ** 0.5, "Y90": cirq.ry(math.pi / 2),
              "CNOT": cirq.CNOT, "ZCON": cirq.CZ, "YCON": cirq.ry(math.pi).controlled(1), "CCX": cirq.CCX}
    angled = {"Rx": cirq.rx, "Ry": cirq.ry, "Rz": cirq.rz,
              "P": lambda angle: cirq.ZPowGate(exponent=angle / math.pi)}
    ops = []
    for op in circuit["ops"]:
        g, qs = op["g"], [qubits[q] for q in op["q"]]
        if g in simple:
            ops.append(simple[g].on(*qs))
        elif g in angled:
            ops.append(angled[g](op["p"][0]).on(*qs))
        else:
            raise ValueError("no Cirq form for %r" % (op,))
    return cirq.Circuit(ops), qubits


def run_qsim(job):
    import numpy as np
    import qsimcirq

    circuit = deferred_if_needed(job)
    cc, qubits = build_cirq(circuit)
    # qsim always fuses; 1 lets it merge only gates on a single qubit, the
    # nearest it has to "off". "On" takes the job's size (the race tries 2, 3
    # and 4 and counts the fastest), else 2 (3 from 22 qubits, as its own
    # documentation recommends).
    fused = (job.get("fused_size") or (3 if circuit["n"] >= 22 else 2)) if job["fusion"] else 1
    sim = qsimcirq.QSimSimulator(qsimcirq.QSimOptions(cpu_threads=job["threads"], max_fused_gate_size=fused))
    baseline = rss_mib()
    times, result = timed(lambda: sim.simulate(cc, qubit_order=qubits), job["reps"])
    state = result.final_state_vector
    return times, baseline, np.abs(state.astype(np.complex128)) ** 2


def main():
    job = read_job()
    # Pinned like kovra's runs, so that one-thread figures share one core.
    pin(job["threads"])
    runner = {"aer": run_aer, "qulacs": run_qulacs, "qsim": run_qsim}[job["engine"]]
    times, baseline, probabilities = runner(job)
    if job.get("probs_out") and probabilities is not None:
        write_probabilities(job["probs_out"], probabilities)
    finish(job, times, baseline, omp_threads=os.environ.get("OMP_NUM_THREADS"))


if __name__ == "__main__":
    main()
