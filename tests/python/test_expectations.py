"""Expectation values of Pauli sums ("observables"), exact from the run:
against Qiskit's Statevector on random circuits, and against branching
worked out by hand on dynamic circuits."""
import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

qiskit = pytest.importorskip("qiskit")
from qiskit import QuantumCircuit  # noqa: E402
from qiskit.circuit.random import random_circuit  # noqa: E402
from qiskit.quantum_info import SparsePauliOp, Statevector  # noqa: E402

import kovra_backends as kb  # noqa: E402
from kovra.builder import CircuitBuilder  # noqa: E402
from kovra.qiskit import lower_circuit  # noqa: E402


def random_sum(rng, n, terms):
    """Qiskit labels (qubit 0 last) and coefficients."""
    labels = ["".join(rng.choice(list("IXYZ"), n)) for _ in range(terms)]
    return labels, rng.normal(size=terms)


@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("fusion", [False, True])
def test_pauli_sums_match_the_statevector(seed, fusion):
    rng = np.random.default_rng(seed)
    n = 2 + seed % 5
    circuit = random_circuit(n, 6, max_operands=3, seed=seed)
    observables = [random_sum(rng, n, 1 + k * 3) for k in range(3)]
    builder, _ = lower_circuit(circuit)
    config = {"fusion": fusion, "observables": [[(label[::-1], c) for label, c in zip(*o)] for o in observables]}
    got = kb.BasicSimulator().execute(builder.graph(), config).expectation_values
    state = Statevector(circuit)
    expected = [state.expectation_value(SparsePauliOp(labels, coeffs)).real for labels, coeffs in observables]
    # The engine's calibrated pi and 1/sqrt(2) bound the agreement near 1e-9.
    assert got == pytest.approx(expected, abs=1e-8)


def dynamic(build):
    b = CircuitBuilder()
    q = b.qreg(2)
    c = b.creg(2)
    build(b, q, c)
    return b


CASES = [
    # H; measure q0; X q1 if c0: the branches |00> and |11>, half each.
    ("conditioned copy", lambda b, q, c: (b.gate("H", [q[0]]), b.measure([q[0]], [c[0]]),
                                          b.gate("X", [q[1]], condition=([c[0]], 0, 1))),
     {"ZZ": 1.0, "ZI": 0.0, "IZ": 0.0, "XI": 0.0, "XX": 0.0}),
    # X; measure; H on the measured qubit: |1> -> |->.
    ("reuse after measurement", lambda b, q, c: (b.gate("X", [q[0]]), b.measure([q[0]], [c[0]]), b.gate("H", [q[0]])),
     {"XI": -1.0, "ZI": 0.0}),
    # H; reset; H: |+> whatever was traced out.
    ("reset", lambda b, q, c: (b.gate("H", [q[0]]), b.reset([q[0]]), b.gate("H", [q[0]])), {"XI": 1.0, "ZI": 0.0}),
    # Ry(pi/3) then a measurement that stays: Z reads the outcome, X is gone.
    ("measured qubit at rest", lambda b, q, c: (b.gate("Ry", [q[0]], params=[np.pi / 3]),
                                                b.measure([q[0]], [c[0]])),
     {"ZI": 0.5, "XI": 0.0, "ZZ": 0.5}),
]


@pytest.mark.parametrize("name, build, expected", CASES, ids=[c[0] for c in CASES])
def test_dynamic_circuits_average_over_their_branches(name, build, expected):
    labels = list(expected)
    result = kb.BasicSimulator().execute(dynamic(build).graph(), {"observables": [[(k, 1.0)] for k in labels]})
    assert result.expectation_values == pytest.approx([expected[k] for k in labels], abs=1e-9)


@pytest.mark.parametrize("observables, message", [
    ([[("ZZZ", 1.0)]], "has 3 Paulis, but the register has 2 qubits"),
    ([[("ZQ", 1.0)]], "holds 'Q', not one of I, X, Y, Z"),
    ([[("ZZ", "one")]], "coefficient that is not a real number"),
    ([[("ZZ", np.complex64(1.0))]], "coefficient that is not a real number"),
    ([[("ZZ", 1.0), ("XX", float("nan"))]], '"observables" item 0, term 1 has the coefficient nan, not a finite'),
    ([[("ZZ", 1.0)], [("XX", -np.inf)]], '"observables" item 1, term 0 has the coefficient -inf, not a finite'),
    ([["ZZ"]], "is not a (Pauli string, coefficient) pair"),
    (3, '"observables" is not a list'),
])
def test_malformed_observables_are_refused_by_name(observables, message):
    circuit = QuantumCircuit(2)
    builder, _ = lower_circuit(circuit)
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        kb.BasicSimulator().execute(builder.graph(), {"observables": observables})


@pytest.mark.parametrize("run", [
    lambda graph, config: kb.BasicSimulator().execute(graph, config),
    lambda graph, config: kb.compile(graph, config).expectation_values(np.zeros((2, 0))),
], ids=["execute", "Program.expectation_values"])
def test_parallel_observables_need_a_sub_circuit_with_qubits(run):
    builder = CircuitBuilder()
    builder.creg(1)
    config = {"parallel": True, "observables": [[("", 1.0)], [("", 2.0)]]}
    with pytest.raises(ValueError, match='"observables" in "parallel" mode act on the first sub-circuit with qubits'):
        run(builder.graph(), config)


@pytest.mark.parametrize("config", [{}, {"measure_reuse": "branches"}], ids=["one vector", "branch states"])
def test_ctrl_c_stops_the_sums_of_many_terms(config):
    # Many minutes of sums over a vector that took no time to make: SIGINT
    # during the sums must end them with KeyboardInterrupt, not after them.
    code = textwrap.dedent(f"""
        import numpy as np
        import kovra_backends as kb
        from kovra.builder import CircuitBuilder
        n = 20
        b = CircuitBuilder()
        b.qreg(n)
        for q in range(n):
            b.gate("H", [q])
        paulis = np.array(list("IXYZ"))[np.random.default_rng(1).integers(0, 4, (300000, n))]
        terms = [("".join(row), 1.0) for row in paulis]
        print("running", flush=True)
        try:
            kb.BasicSimulator().execute(b.graph(), dict({config!r}, observables=[terms]))
        except KeyboardInterrupt:
            print("interrupted", flush=True)
    """)
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True,
                             env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    try:
        assert child.stdout.readline().strip() == "running"
        time.sleep(3.0)  # the sums have begun
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=60)
    finally:
        child.kill()
    assert child.returncode == 0 and out.strip() == "interrupted", out
