"""kovra.qiskit.Estimator and Sampler (Qiskit's V2 primitives) against
Qiskit's statevector primitives and Aer, on the circuit library's ansätze."""
import re

import numpy as np
import pytest

pytest.importorskip("qiskit")
from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister  # noqa: E402
from qiskit.circuit.library import efficient_su2, qaoa_ansatz, real_amplitudes  # noqa: E402
from qiskit.primitives import StatevectorEstimator  # noqa: E402
from qiskit.quantum_info import SparsePauliOp  # noqa: E402

from kovra.qiskit import Estimator, Sampler  # noqa: E402

ANSATZE = {
    "EfficientSU2": lambda n: efficient_su2(n, reps=2),
    "RealAmplitudes": lambda n: real_amplitudes(n, reps=3),
    "QAOAAnsatz": lambda n: qaoa_ansatz(SparsePauliOp(["ZZ" + "I" * (n - 2), "I" * (n - 2) + "ZZ", "X" * n],
                                                       [1.0, -0.5, 0.3]), reps=2).decompose(reps=3),
}


def random_observable(rng, n):
    return SparsePauliOp(["".join(rng.choice(list("IXYZ"), n)) for _ in range(5)], rng.normal(size=5))


def reference_estimators():
    yield "statevector", StatevectorEstimator()
    try:
        from qiskit_aer.primitives import EstimatorV2
    except ImportError:
        return
    yield "aer", EstimatorV2()


@pytest.mark.parametrize("name", ANSATZE)
@pytest.mark.parametrize("n", [3, 5])
def test_estimator_matches_the_references_with_broadcasting(name, n):
    rng = np.random.default_rng(n)
    ansatz = ANSATZE[name](n)
    # Observables (2, 1) against values (4,): results of shape (2, 4).
    observables = [[random_observable(rng, n)], [random_observable(rng, n)]]
    pub = (ansatz, observables, rng.uniform(-3, 3, (4, ansatz.num_parameters)))
    got = Estimator().run([pub]).result()[0].data
    assert got.evs.shape == (2, 4) and not got.stds.any()
    for _, reference in reference_estimators():
        expected = reference.run([pub]).result()[0].data.evs
        assert np.max(np.abs(got.evs - expected)) <= 1e-10


def test_precision_adds_seeded_noise_of_that_deviation():
    ansatz = real_amplitudes(3, reps=1)
    pub = (ansatz, SparsePauliOp("ZZZ"), np.zeros((2000, ansatz.num_parameters)))
    first = Estimator(seed=5).run([pub], precision=0.1).result()[0].data
    again = Estimator(seed=5).run([pub], precision=0.1).result()[0].data
    assert np.array_equal(first.evs, again.evs) and np.all(first.stds == 0.1)
    assert abs(first.evs.mean() - 1.0) < 0.02 and abs(first.evs.std() - 0.1) < 0.01


def test_estimator_averages_a_dynamic_circuit_over_its_branches():
    qc = QuantumCircuit(2, 1)
    qc.h(0)
    qc.measure(0, 0)
    with qc.if_test((qc.clbits[0], 1)):
        qc.x(1)
    evs = Estimator().run([(qc, [SparsePauliOp("ZZ"), SparsePauliOp("IZ"), SparsePauliOp("ZI")])]).result()[0].data.evs
    assert evs == pytest.approx([1.0, 0.0, 0.0], abs=1e-12)


def test_sampler_draws_each_register_from_the_exact_distribution():
    q, low, high = QuantumRegister(3), ClassicalRegister(2, "low"), ClassicalRegister(1, "high")
    qc = QuantumCircuit(q, low, high)
    theta = efficient_su2(3, reps=1)
    qc.compose(theta, inplace=True)
    qc.measure([0, 1], low)
    qc.measure(2, high)
    values = np.random.default_rng(2).uniform(-2, 2, (3, theta.num_parameters))
    shots = 40000
    data = Sampler(seed=3).run([(qc, values)], shots=shots).result()[0].data
    assert data.low.shape == (3,) and data.low.num_shots == shots and data.high.num_bits == 1
    for k, row in enumerate(values):
        exact = _probabilities(theta.assign_parameters(row))  # index bit k is qubit k
        counts = data.low.get_counts(k)
        for value in range(4):
            expected = exact[[value, value + 4]].sum()  # qubit 2 summed over
            assert counts.get(format(value, "02b"), 0) / shots == pytest.approx(expected, abs=0.01)


def _probabilities(circuit):
    from qiskit.quantum_info import Statevector

    return Statevector(circuit).probabilities()


def test_backend_parameter_binds_run_one_experiment_per_set():
    from qiskit.circuit import Parameter

    from kovra.qiskit import KovraBackend

    a, b = Parameter("a"), Parameter("b")
    qc = QuantumCircuit(2, 2)
    qc.ry(a, 0)
    qc.cx(0, 1)
    qc.rx(b, 1)
    qc.measure([0, 1], [0, 1])
    binds = {a: [0.3, 1.1, 2.0], b: [0.0, -0.7, 1.5]}
    backend = KovraBackend()
    result = backend.run(qc, shots=50000, seed_simulator=4, parameter_binds=[binds]).result()
    for k in range(3):
        exact = backend.probabilities(qc.assign_parameters({a: binds[a][k], b: binds[b][k]}))
        counts = result.get_counts(k)
        for key, p in exact.items():
            assert counts.get(key, 0) / 50000 == pytest.approx(p, abs=0.01)
    with pytest.raises(ValueError, match="must be equally long"):
        backend.run(qc, parameter_binds=[{a: [0.1, 0.2], b: [0.3]}])
    with pytest.raises(ValueError, match="gives no values for b"):
        backend.run(qc, parameter_binds=[{a: [0.1]}])


@pytest.mark.parametrize("names", [("",), ("", "%"), ("%", "%%", "a")])
def test_parameters_of_any_name_bind_as_qiskit_binds_them(names):
    from qiskit.circuit import Parameter

    from kovra.qiskit import KovraBackend

    # Each angle has a constant term, the key the graph keeps it under.
    parameters = [Parameter(name) for name in names]
    qc = QuantumCircuit(2)
    for k, p in enumerate(parameters):
        qc.ry(p + 0.3 * (k + 1), k % 2)
        qc.rz(2 * p - 0.1, (k + 1) % 2)
        qc.cx(k % 2, (k + 1) % 2)
    values = np.random.default_rng(len(names)).uniform(-3, 3, (4, len(names)))
    pub = (qc, SparsePauliOp(["ZI", "XX", "IY"], [1.0, 0.5, -0.7]), values)
    got = Estimator().run([pub]).result()[0].data.evs
    assert np.max(np.abs(got - StatevectorEstimator().run([pub]).result()[0].data.evs)) <= 1e-10
    measured = qc.measure_all(inplace=False)
    binds = {p: values[:, k] for k, p in enumerate(qc.parameters)}
    counts = KovraBackend().run(measured, shots=20000, seed_simulator=1, parameter_binds=[binds]).result()
    for k, row in enumerate(values):
        exact = _probabilities(qc.assign_parameters(row))
        for index, p in enumerate(exact):
            assert counts.get_counts(k).get(format(index, "02b"), 0) / 20000 == pytest.approx(p, abs=0.02)


@pytest.mark.parametrize("angle", [lambda t, f: t / f, lambda t, f: 1 / t + f, lambda t, f: t.log() + f],
                         ids=["theta/phi", "1/theta", "log"])
def test_angles_not_linear_in_their_parameters_are_refused_naming_the_gate(angle):
    from qiskit.circuit import Parameter

    from kovra.qiskit import KovraBackend, UnsupportedInstructionError

    theta, phi = Parameter("theta"), Parameter("phi")
    qc = QuantumCircuit(1, 1)
    qc.rx(angle(theta, phi), 0)
    qc.measure(0, 0)
    expression = str(qc.data[0].operation.params[0])
    message = f"instruction 'rx' has the angle {expression}, which is not linear in its parameters"
    with pytest.raises(UnsupportedInstructionError, match=re.escape(message)):
        Estimator().run([(qc.remove_final_measurements(inplace=False), SparsePauliOp("Z"), [[0.5, 1.5]])]).result()
    with pytest.raises(UnsupportedInstructionError, match="not linear in its parameters"):
        KovraBackend().run(qc, parameter_binds=[{theta: [0.5], phi: [1.5]}])


def test_precision_on_a_pub_of_shape_nothing_draws_one_value():
    qc = QuantumCircuit(1)
    qc.ry(0.7, 0)
    pub = (qc, SparsePauliOp("Z"))
    first = Estimator(seed=2).run([pub], precision=0.1).result()[0].data
    assert first.evs.shape == first.stds.shape == () and first.stds == 0.1
    assert first.evs == Estimator(seed=2).run([pub], precision=0.1).result()[0].data.evs
    assert first.evs != pytest.approx(np.cos(0.7), abs=1e-12) and abs(first.evs - np.cos(0.7)) < 1


@pytest.mark.parametrize("bad", [float("nan"), float("inf"), -0.1, "0.1"])
def test_a_precision_that_is_not_a_finite_number_from_zero_is_refused(bad):
    qc = QuantumCircuit(1)
    pub = (qc, SparsePauliOp("Z"))
    with pytest.raises(ValueError, match="precision must be a finite number >= 0"):
        Estimator(default_precision=bad)
    with pytest.raises(ValueError, match="precision must be a finite number >= 0"):
        Estimator().run([pub], precision=bad)
    if isinstance(bad, float) and bad >= 0:  # Qiskit refuses the rest itself
        with pytest.raises(ValueError, match="precision must be a finite number >= 0"):
            Estimator().run([(qc, SparsePauliOp("Z"), None, bad)])
