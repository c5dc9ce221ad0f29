"""BasicSimulator with "precision": "single" against the double run of the
same circuits, on every kernel path the CPU runs (each path in a process of
its own, since the path is chosen once per process)."""
import json
import os
import re
import subprocess
import sys

import numpy as np
import pytest

import kovra_backends as kb
from kovra.builder import EQUAL, CircuitBuilder

FLOAT_EPSILON = float(np.finfo(np.float32).eps)
# A gate on a unit vector adds at most a few float roundings of the norm per
# amplitude; errors of different gates add at worst linearly.
ROUNDINGS_PER_GATE = 4

# Random circuits, single against double: the state's distance, the
# probabilities' total variation, the expectation values' largest
# difference, and the gates run.
RUN = """
import json, random, sys, numpy as np, kovra_backends as kb
from kovra.builder import CircuitBuilder
out = {"path": kb.kernel_path(), "runs": []}
for seed, n in enumerate([10, 13, 20]):
    rng = random.Random(seed)
    b = CircuitBuilder()
    b.qreg(n)
    gates = 0
    for _ in range(8 * n):
        q = rng.sample(range(n), 3)
        b.gate(rng.choice(["H", "T", "Y90", "X90", "S"]), [q[0]])
        b.gate(rng.choice(["Rx", "Ry", "Rz"]), [q[1]], params=[rng.uniform(-3, 3)])
        b.gate(rng.choice(["CNOT", "ZCON", "YCON"]), q[:2])
        b.gate("CCX", q)
        gates += 4
    terms = [("".join(rng.choice("IXYZ") for _ in range(n)), 1.0) for _ in range(4)]
    for fusion in (False, True):
        d, s = (kb.BasicSimulator().execute(b.capsule(), {"fusion": fusion, "precision": p,
                                                          "observables": [[t] for t in terms]})
                for p in ("double", "single"))
        assert s.state_array().dtype == np.complex64 and d.state_array().dtype == np.complex128
        assert s.states == list(s.state_array())
        out["runs"].append({"qubits": n, "fusion": fusion, "gates": gates,
                            "distance": float(np.linalg.norm(s.state_array() - d.state_array())),
                            "variation": float(np.abs(s.probability_array() - d.probability_array()).sum()),
                            "expectations": max(abs(x - y) for x, y in zip(s.expectation_values,
                                                                            d.expectation_values))})
print(json.dumps(out))
"""


def paths():
    """Every path this CPU runs, the widest last."""
    return {"avx512": ["plain", "avx2", "avx512"], "avx2": ["plain", "avx2"]}.get(kb.kernel_path(), ["plain"])


@pytest.mark.parametrize("path", paths())
def test_single_stays_within_float_rounding_of_double(path):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path), "KOVRA_KERNELS": path}
    done = subprocess.run([sys.executable, "-c", RUN], capture_output=True, text=True, env=env, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    out = json.loads(done.stdout.strip().splitlines()[-1])
    assert out["path"] == path
    for run in out["runs"]:
        bound = ROUNDINGS_PER_GATE * (run["gates"] + 1) * FLOAT_EPSILON
        assert run["distance"] <= bound, run
        # |p - q| <= |a - b| (|a| + |b|) per amplitude: twice the distance in
        # all; the same for <P> of a Pauli string P, of norm 1.
        assert run["variation"] <= 2 * bound, run
        assert run["expectations"] <= 2 * bound, run


def conditioned():
    b = CircuitBuilder()
    q = b.qreg(4)
    c = b.creg(2)
    b.gate("Ry", [q[0]], params=[0.7])
    b.gate("H", [q[1]])
    b.gate("CNOT", [q[1], q[2]])
    b.measure([q[0], q[1]], [c[0], c[1]])
    b.gate("X", [q[2]], condition=([c[1]], EQUAL, 1))
    b.gate("Rx", [q[3]], params=[1.1], condition=([c[0], c[1]], EQUAL, 2))
    return b


def reused():
    """A measured qubit reset and used again: a record qubit."""
    b = CircuitBuilder()
    q = b.qreg(3)
    c = b.creg(2)
    b.gate("H", [q[0]])
    b.gate("CNOT", [q[0], q[1]])
    b.measure([q[0]], [c[0]])
    b.reset([q[0]])
    b.gate("Ry", [q[0]], params=[0.4])
    b.gate("CNOT", [q[0], q[2]])
    b.measure([q[0]], [c[1]])
    b.gate("X", [q[1]], condition=([c[0], c[1]], EQUAL, 3))
    return b


def reused_often():
    """Enough reuses that "auto" takes branch states in double; single
    precision, which has none, keeps the record qubits."""
    b = CircuitBuilder()
    b.qreg(18)
    b.creg(3)
    for r in range(3):
        b.gate("H", [0])
        b.gate("CNOT", [0, 1 + r])
        b.measure([0], [r])
        b.reset([0])
    return b


@pytest.mark.parametrize("circuit", [conditioned, reused, reused_often])
def test_measured_and_conditioned_gates_run_as_matrices(circuit):
    d, s = (kb.BasicSimulator().execute(circuit().capsule(), {"precision": p}) for p in ("double", "single"))
    assert s.probabilities.keys() == d.probabilities.keys()
    assert np.allclose(s.probability_array(), d.probability_array(), atol=32 * FLOAT_EPSILON, rtol=0)


def bell():
    b = CircuitBuilder()
    b.qreg(2)
    b.gate("H", [0])
    b.gate("CNOT", [0, 1])
    return b


@pytest.mark.parametrize("value", ["half", "Single", "", 32, None])
def test_other_precisions_are_refused_by_name(value):
    with pytest.raises(ValueError, match=r'"precision" is .*"double" or "single"'):
        kb.BasicSimulator().execute(bell().capsule(), {"precision": value})


def test_branch_states_are_refused_by_name():
    with pytest.raises(ValueError, match=r'"precision": "single" .*branch states.*"precision": "double" runs it'):
        kb.BasicSimulator().execute(bell().capsule(), {"measure_reuse": "branches", "precision": "single"})


def test_single_precision_needs_half_the_bytes_per_amplitude():
    qubits = 40  # refused before anything is allocated

    def needed(precision):
        b = CircuitBuilder()
        b.qreg(qubits)
        b.gate("H", [0])
        with pytest.raises(MemoryError) as refused:
            kb.BasicSimulator().execute(b.capsule(), {"precision": precision})
        return float(re.search(r"([0-9.]+) MiB needed", str(refused.value)).group(1))

    assert needed("double") - needed("single") == pytest.approx(2**qubits * 8 / 2**20)


def test_the_qiskit_backend_takes_single_precision():
    qiskit = pytest.importorskip("qiskit")
    from qiskit.circuit import Parameter

    from kovra.qiskit import KovraBackend

    theta = Parameter("t")
    qc = qiskit.QuantumCircuit(3, 3)
    qc.h(0)
    qc.rx(theta, 1)
    qc.cx(0, 2)
    qc.cx(1, 2)
    qc.measure(range(3), range(3))
    bound = qc.assign_parameters({theta: 0.7})
    double = KovraBackend().probabilities(bound)
    single = KovraBackend(precision="single").probabilities(bound)
    assert single != double and single == pytest.approx(double, abs=1e-6)
    swept = KovraBackend(precision="single").run(qc, parameter_binds=[{theta: [0.7]}], shots=10).result()
    assert sum(swept.get_counts().values()) == 10
    with pytest.raises(ValueError, match='"precision" is "half"'):
        KovraBackend(precision="half").probabilities(bound)
