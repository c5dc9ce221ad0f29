"""Noise, exactly: density-matrix runs with channels and readout errors
against Qiskit Aer's density_matrix method.

Dynamic circuits (measurements, resets, conditions) are compared through
their deferred form (test_dynamic_branches.deferred), with each channel an
explicit instruction and each readout error a channel on the measurement's
classical copy; noise models on circuits measured at the end, through Aer's
exact probabilities with the readout errors folded in."""

import random

import numpy as np
import pytest

qiskit = pytest.importorskip("qiskit")
qiskit_aer = pytest.importorskip("qiskit_aer")

import kovra_backends  # noqa: E402
from qiskit import QuantumCircuit  # noqa: E402
from qiskit.quantum_info import Kraus  # noqa: E402
from qiskit_aer.noise import (NoiseModel, ReadoutError, amplitude_damping_error, depolarizing_error,  # noqa: E402
                              pauli_error, phase_damping_error, thermal_relaxation_error)

from kovra.qiskit import Estimator, KovraBackend, Sampler, UnsupportedNoiseError  # noqa: E402
from kovra.qiskit_lowering import lower_circuit  # noqa: E402
from test_dynamic_branches import QUBITS, Recorder, aer_distribution, both  # noqa: E402
from test_qiskit_backend import _key, assert_same_distribution  # noqa: E402

# The engine's calibrated pi and sqrt(2) differ from Aer's exact gates by
# about 1e-10 per gate (docs/performance.md).
TOLERANCE = 1e-9
NOISY_QUBIT = 0  # the qubit whose measurements carry a readout error
READOUT = np.array([[0.93, 0.07], [0.12, 0.88]])


def readout_channel(probabilities):
    """A readout error as a channel on a classical bit."""
    (p00, p01), (p10, p11) = probabilities
    return Kraus([np.diag([np.sqrt(p00), np.sqrt(p11)]), np.array([[0, np.sqrt(p10)], [np.sqrt(p01), 0]])])


class NoisyRecorder(Recorder):
    """Every unconditioned gate followed by a random channel on its qubits;
    measurements of NOISY_QUBIT unconditioned, with a readout error."""

    def random_gate(self, guard):
        super().random_gate(guard)
        if guard[0]:
            return
        qubits = self.flat[-1][2]
        if len(qubits) == 2:
            channel = Kraus(depolarizing_error(self.rng.uniform(0, 0.2), 2))
        else:
            channel = Kraus(self.rng.choice([
                amplitude_damping_error(self.rng.uniform(0, 0.4)),
                phase_damping_error(self.rng.uniform(0, 0.4)),
                thermal_relaxation_error(50, self.rng.uniform(10, 100), self.rng.uniform(1, 20)),
                pauli_error([("X", 0.1), ("Y", 0.05), ("I", 0.85)])]))
        self.qc.append(channel.to_instruction(), qubits)
        self.op("channel", channel.to_instruction(), qubits)

    def measure(self, q, bit, guard):
        if guard[0] and q == NOISY_QUBIT:
            q = NOISY_QUBIT + 1
        super().measure(q, bit, guard)
        if q == NOISY_QUBIT:
            self.flat[-1] = ("measure", readout_channel(READOUT).to_instruction()) + self.flat[-1][2:]


def noisy_program(seed):
    rng = random.Random(seed)
    r = NoisyRecorder(rng)
    top = ((), lambda v: True)
    for _ in range(10):
        kind = rng.random()
        if r.ancillas() >= 5:
            r.random_gate(top)
        elif kind < 0.25:
            r.measure(rng.randrange(QUBITS), rng.randrange(4), top)
        elif kind < 0.35:
            r.reset(rng.randrange(QUBITS), top)
        elif kind < 0.55:
            bit, value = rng.randrange(4), rng.randrange(2)
            with r.qc.if_test((r.c[bit], value)):
                r.body(both(top, [bit], lambda v, b=bit, x=value: v[b] == x), [b for b in range(4) if b != bit])
        else:
            r.random_gate(top)
    return r.qc, r.flat


@pytest.mark.parametrize("seed", range(16))
def test_random_noisy_dynamic_circuits_match_the_density_matrix(seed):
    circuit, flat = noisy_program(seed)
    model = NoiseModel()
    model.add_readout_error(ReadoutError(READOUT), [NOISY_QUBIT])
    expected = {_key(circuit, v): p for v, p in aer_distribution(flat).items()}
    got = KovraBackend(noise_model=model).probabilities(circuit)
    assert_same_distribution(got, expected, TOLERANCE)


def random_noise_model(rng, qubits):
    model = NoiseModel()
    model.add_all_qubit_quantum_error(depolarizing_error(rng.uniform(0, 0.1), 1), ["h", "sx", "rz", "u"])
    two = depolarizing_error(rng.uniform(0, 0.1), 2).compose(
        amplitude_damping_error(rng.uniform(0, 0.2)).tensor(phase_damping_error(rng.uniform(0, 0.2))))
    model.add_all_qubit_quantum_error(two, ["cx"])
    model.add_quantum_error(thermal_relaxation_error(40, 30, 5), ["sx"], [1])  # replaces the all-qubit one
    model.add_all_qubit_quantum_error(phase_damping_error(0.05), ["measure"])
    for q in range(qubits):
        p0, p1 = rng.uniform(0, 0.1), rng.uniform(0, 0.1)
        model.add_readout_error(ReadoutError([[1 - p0, p0], [p1, 1 - p1]]), [q])
    return model


def folded(probabilities, model, qubits):
    """Aer's exact probabilities (qubit 0 the lowest bit) with each qubit's
    readout error applied."""
    dense = np.zeros(2 ** qubits)
    for index, p in probabilities.items():
        dense[int(index, 16) if isinstance(index, str) else int(index)] = p
    tensor = dense.reshape([2] * qubits)  # axis k holds qubit qubits - 1 - k
    for q in range(qubits):
        confusion = np.asarray(model._local_readout_errors[(q,)].probabilities)
        tensor = np.moveaxis(np.tensordot(tensor, confusion, axes=([qubits - 1 - q], [0])), -1, qubits - 1 - q)
    return tensor.reshape(-1)


@pytest.mark.parametrize("seed", range(6))
def test_noise_models_match_aer(seed):
    rng = random.Random(seed)
    qubits = 5
    qc = QuantumCircuit(qubits, qubits)
    for _ in range(30):
        q = rng.randrange(qubits)
        choice = rng.random()
        if choice < 0.2:
            qc.h(q)
        elif choice < 0.4:
            qc.sx(q)
        elif choice < 0.55:
            qc.rz(rng.uniform(-3, 3), q)
        elif choice < 0.7:
            qc.u(*(rng.uniform(-3, 3) for _ in range(3)), q)
        else:
            qc.cx(q, (q + rng.randrange(1, qubits)) % qubits)
    model = random_noise_model(rng, qubits)
    reference = qc.copy()
    for q in range(qubits):  # a measurement's quantum error acts before it
        reference.append(Kraus(phase_damping_error(0.05)).to_instruction(), [q])
    reference.save_probabilities_dict()
    simulator = qiskit_aer.AerSimulator(method="density_matrix", noise_model=model)
    exact = simulator.run(reference, optimization_level=0).result().data()["probabilities"]
    qc.measure(range(qubits), range(qubits))
    expected = {format(k, f"0{qubits}b"): p for k, p in enumerate(folded(exact, model, qubits))}
    assert_same_distribution(KovraBackend(noise_model=model).probabilities(qc), expected, TOLERANCE)


def ghz_with_rotations():
    qc = QuantumCircuit(3, 3)
    qc.h(0)
    qc.cx(0, 1)
    qc.rx(0.8, 2)
    qc.cx(1, 2)
    qc.h(1)
    qc.ry(0.5, 0)
    qc.h(0)
    qc.rx(0.6, 2)
    qc.measure(range(3), range(3))
    return qc


# Each "noise" rule beside the Aer error it describes, on the same gates.
RULES = [
    ({"channel": "depolarizing", "p": 0.1, "gates": ["H"]}, lambda m: m.add_all_qubit_quantum_error(
        depolarizing_error(0.1, 1), ["h"])),
    ({"channel": "depolarizing", "p": 0.2, "gates": ["CNOT"]}, lambda m: m.add_all_qubit_quantum_error(
        depolarizing_error(0.2, 2), ["cx"])),
    ({"channel": "amplitude_damping", "gamma": 0.3, "gates": ["Rx"]}, lambda m: m.add_all_qubit_quantum_error(
        amplitude_damping_error(0.3), ["rx"])),
    ({"channel": "phase_damping", "lambda": 0.3, "gates": ["Rx"], "qubits": [2]}, lambda m: m.add_quantum_error(
        phase_damping_error(0.3), ["rx"], [2])),
    ({"channel": "thermal_relaxation", "t1": 50, "t2": 70, "time": 9, "gates": ["CNOT"]},
     lambda m: m.add_all_qubit_quantum_error(thermal_relaxation_error(50, 70, 9).tensor(
         thermal_relaxation_error(50, 70, 9)), ["cx"])),
    ({"channel": "pauli", "terms": [["XZ", 0.1], ["YY", 0.2]], "gates": ["CNOT"], "qubits": [0, 1]},
     lambda m: m.add_quantum_error(pauli_error([("ZX", 0.1), ("YY", 0.2), ("II", 0.7)]), ["cx"], [0, 1])),
    ({"channel": "kraus", "operators": [[[1, 0], [0, 0.6]], [[0, 0.8], [0, 0]]], "gates": ["H"]},
     lambda m: m.add_all_qubit_quantum_error(amplitude_damping_error(0.64), ["h"])),
    ({"channel": "depolarizing", "p": 0.1, "gates": ["MEASURE"]}, lambda m: m.add_all_qubit_quantum_error(
        depolarizing_error(0.1, 1), ["measure"])),
    ({"channel": "readout", "probabilities": [[0.9, 0.1], [0.25, 0.75]], "qubits": [2]},
     lambda m: m.add_readout_error(ReadoutError([[0.9, 0.1], [0.25, 0.75]]), [2])),
]


@pytest.mark.parametrize("rule, aer", RULES, ids=[r["channel"] for r, _ in RULES])
def test_noise_rules_describe_the_channels_aer_applies(rule, aer):
    from kovra.noise import NoiseLookup

    circuit = ghz_with_rotations()
    model = NoiseModel()
    aer(model)
    plain, lowered = lower_circuit(circuit)
    noisy, _ = lower_circuit(circuit, noise=NoiseLookup(model))
    bits = sorted(lowered.written)
    by_rule = kovra_backends.BasicSimulator().execute(plain.graph(), {"mcbits": bits, "noise": [rule]})
    by_model = kovra_backends.BasicSimulator().execute(noisy.graph(), {"mcbits": bits})
    ideal = kovra_backends.BasicSimulator().execute(plain.graph(), {"mcbits": bits})
    assert_same_distribution(by_rule.probabilities, by_model.probabilities, 1e-12)
    assert max(abs(by_rule.probabilities.get(k, 0) - p) for k, p in ideal.probabilities.items()) > 1e-3


@pytest.mark.parametrize("config, message", [
    ({"noise": [{"channel": "depolarizing", "p": 2}]}, r'"noise" item 0: the depolarizing parameter'),
    ({"noise": [{"channel": "bitflip"}]}, r'"noise" item 0 has "channel": "bitflip"'),
    ({"noise": [{}, {"channel": "kraus", "operators": [[[1, 0], [0, 0.5]]]}]}, r'"noise" item 0 needs "channel"'),
    ({"noise": [{"channel": "kraus", "operators": [[[1, 0], [0, 0.5]]]}]}, r"do not keep the trace"),
    ({"noise": [{"channel": "thermal_relaxation", "t1": 10, "t2": 30, "time": 1}]}, r"T2 must lie in"),
    ({"noise": [{"channel": "readout", "probabilities": [[0.9, 0.2], [0, 1]]}]}, r"outcome 0 add up to 1.1"),
    ({"noise": [{"channel": "amplitude_damping", "gamma": 0.1, "gates": ["CNOT"], "qubits": [0, 1]},
                {"channel": "pauli", "terms": [["XX", 0.1]], "gates": ["CCX"]}]}, r'"noise" item 1: .*3 qubits of CCX'),
    ({"noise": "depolarizing"}, r'"noise" is not a list'),
    ({"method": "statevector", "noise": [{"channel": "depolarizing", "p": 0.1}]}, r"does not run exactly"),
    ({"method": "density"}, r'"method" is "density"'),
])
def test_bad_noise_is_refused_by_name(config, message):
    builder, _ = lower_circuit(QuantumCircuit(3))
    builder.gate("CCX", [0, 1, 2])
    with pytest.raises(ValueError, match=message):
        kovra_backends.BasicSimulator().execute(builder.graph(), config)


@pytest.mark.parametrize("operators, message", [
    ([[[1, 0], [0, 0.5]]], "do not keep the trace"),
    ([np.eye(8)], "1 or 2 qubits"),
])
def test_bad_kraus_instructions_are_refused_by_name(operators, message):
    builder, _ = lower_circuit(QuantumCircuit(3))
    builder.kraus([0, 1, 2][:int(np.log2(len(operators[0])))], operators)
    with pytest.raises(ValueError, match=message):
        kovra_backends.BasicSimulator().execute(builder.graph(), {})


@pytest.mark.parametrize("add, message", [
    (lambda m: m.add_all_qubit_quantum_error(depolarizing_error(0.1, 3), ["ccx"]), "'ccx' acts on 3 qubits"),
    (lambda m: m.add_all_qubit_quantum_error(depolarizing_error(0.1, 2), ["ecr"]), "'ecr', which kovra's gate"),
    (lambda m: m.add_readout_error(ReadoutError([[0.9, 0.1, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]]),
                                   [0, 1]), "correlated"),
])
def test_unsupported_noise_models_are_refused_by_name(add, message):
    model = NoiseModel()
    add(model)
    with pytest.raises(UnsupportedNoiseError, match=message):
        KovraBackend(noise_model=model).probabilities(ghz_with_rotations())


@pytest.mark.parametrize("seed", range(4))
def test_density_matrices_of_pure_circuits_are_the_state_vectors(seed):
    from test_dynamic_branches import reused_measurements

    builder, lowered = lower_circuit(reused_measurements(seed))
    graph, bits = builder.graph(), sorted(lowered.written)
    config = {"mcbits": bits, "observables": [[("XZYZ", 0.5), ("ZZII", 1.0)]]}
    pure = kovra_backends.BasicSimulator().execute(graph, config)
    mixed = kovra_backends.BasicSimulator().execute(graph, dict(config, method="density_matrix"))
    assert_same_distribution(mixed.probabilities, pure.probabilities, 1e-12)
    assert mixed.expectation_values == pytest.approx(pure.expectation_values, abs=1e-12)


def layered_noisy_circuit(qubits, seed):
    rng = np.random.default_rng(seed)
    qc = QuantumCircuit(qubits, qubits)
    for layer in range(5):
        for q in range(qubits):
            qc.u(*rng.uniform(-3, 3, 3), q)
        for q in range(layer % 2, qubits - 1, 2):
            qc.cx(q, q + 1)
    qc.measure(3, 3)
    qc.reset(3)
    with qc.if_test((qc.clbits[3], 1)):
        qc.x(4)
    qc.measure(range(qubits), range(qubits))
    model = NoiseModel()
    model.add_all_qubit_quantum_error(depolarizing_error(0.03, 1), ["u"])
    model.add_all_qubit_quantum_error(depolarizing_error(0.05, 2).compose(
        amplitude_damping_error(0.05).tensor(phase_damping_error(0.1))), ["cx"])
    model.add_readout_error(ReadoutError([[0.9, 0.1], [0.2, 0.8]]), [5])
    return qc, model


@pytest.mark.parametrize("keyed_by", ["mcbits", "mqubits"])
def test_trajectories_agree_with_the_density_matrix_within_their_errors(keyed_by):
    from kovra.noise import NoiseLookup

    circuit, model = layered_noisy_circuit(10, seed=11)
    builder, lowered = lower_circuit(circuit, noise=NoiseLookup(model))
    keys = {"mcbits": sorted(lowered.written)} if keyed_by == "mcbits" else {"mqubits": [0, 2, 4, 6, 8]}
    exact = kovra_backends.BasicSimulator().execute(builder.graph(), keys)
    config = dict(keys, method="trajectories", trajectories=400, seed=3)
    estimate = kovra_backends.BasicSimulator().execute(builder.graph(), config)
    assert set(estimate.probability_errors) == set(estimate.probabilities)
    z = [(estimate.probabilities.get(k, 0.0) - p) / estimate.probability_errors[k]
         for k, p in exact.probabilities.items() if p > 1e-3]
    assert len(z) > 20
    assert np.mean(np.abs(z) < 2.5) > 0.9 and max(np.abs(z)) < 5
    again = kovra_backends.BasicSimulator().execute(builder.graph(), config)
    assert again.probabilities == estimate.probabilities  # the seed fixes every draw
    assert not exact.probability_errors


@pytest.mark.parametrize("error", [depolarizing_error(0.004, 1), amplitude_damping_error(0.006),
                                   pauli_error([("X", 0.003), ("I", 0.997)])])
def test_rare_jumps_keep_their_errors_truthful(error):
    """Few trajectories see a rare jump seldom or never: the outcomes only a
    jump reaches must still lie within a few reported errors of the truth."""
    from kovra.noise import NoiseLookup

    qc = QuantumCircuit(3, 3)
    qc.x(0)
    qc.rx(0.3, 1)
    qc.cx(1, 2)
    qc.measure(range(3), range(3))
    model = NoiseModel()
    model.add_all_qubit_quantum_error(error, ["x", "rx"])
    builder, lowered = lower_circuit(qc, noise=NoiseLookup(model))
    keys = {"mcbits": sorted(lowered.written)}
    exact = kovra_backends.BasicSimulator().execute(builder.graph(), keys).probabilities
    for seed in range(5):
        config = dict(keys, method="trajectories", trajectories=60, seed=seed)
        estimate = kovra_backends.BasicSimulator().execute(builder.graph(), config)
        for key, p in exact.items():
            error = estimate.probability_errors.get(key, 1 / 60)
            assert error > 0 and abs(estimate.probabilities.get(key, 0.0) - p) < 3 * error, (seed, key)


def test_wide_noisy_registers_run_as_trajectories_by_default():
    from kovra.noise import NoiseLookup

    circuit, model = layered_noisy_circuit(15, seed=2)
    builder, _ = lower_circuit(circuit, noise=NoiseLookup(model))
    result = kovra_backends.BasicSimulator().execute(builder.graph(), {"mqubits": [0], "trajectories": 8})
    assert set(result.probability_errors) == {"0", "1"}


def test_primitives_take_a_noise_model():
    from qiskit.circuit import Parameter
    from qiskit.quantum_info import SparsePauliOp

    from kovra.primitives import Estimator, Sampler

    theta, p = Parameter("t"), 0.2
    qc = QuantumCircuit(1)
    qc.rx(theta, 0)
    model = NoiseModel()
    model.add_all_qubit_quantum_error(depolarizing_error(p, 1), ["rx"])
    angles = [0.3, 1.2, 2.5]
    evs = Estimator(noise_model=model).run([(qc, SparsePauliOp("Z"), [[a] for a in angles])]).result()[0].data.evs
    assert evs == pytest.approx([(1 - p) * np.cos(a) for a in angles], abs=1e-9)
    measured = qc.copy()
    measured.measure_all()
    model.add_readout_error(ReadoutError([[0.5, 0.5], [0.5, 0.5]]), [0])  # every record a coin flip
    counts = Sampler(noise_model=model, seed=1).run([(measured, [0.0])], shots=4000).result()[0].data.meas
    assert abs(counts.get_counts().get("1", 0) / 4000 - 0.5) < 0.05


@pytest.mark.parametrize("config", [{"method": "density_matrix"}, {"noise": [{"channel": "depolarizing", "p": 0.1}]},
                                    {"method": "trajectories", "noise": [{"channel": "depolarizing", "p": 0.1}]}])
def test_noisy_runs_refuse_single_precision(config):
    builder, _ = lower_circuit(ghz_with_rotations())
    with pytest.raises(ValueError, match='"precision": "single" .* noisy'):
        kovra_backends.BasicSimulator().execute(builder.graph(), dict(config, precision="single"))


def rotated_under_depolarizing(qubits, p=0.2):
    """rx(t) on every qubit, each followed by depolarizing noise p: <Z_q> is
    exactly (1 - p)·cos t."""
    from qiskit.circuit import Parameter

    qc = QuantumCircuit(qubits)
    theta = Parameter("t")
    for q in range(qubits):
        qc.rx(theta, q)
    model = NoiseModel()
    model.add_all_qubit_quantum_error(depolarizing_error(p, 1), ["rx"])
    return qc, model


def test_a_noisy_circuit_too_wide_for_a_density_matrix_gives_estimates_that_say_so():
    import warnings

    from qiskit.quantum_info import SparsePauliOp

    from kovra.estimates import AUTO_DENSITY_QUBITS

    qubits, p, angles = AUTO_DENSITY_QUBITS + 1, 0.2, [0.4, 2.0]
    qc, model = rotated_under_depolarizing(qubits, p)
    pub = (qc, [SparsePauliOp("I" * (qubits - 1) + "Z"), SparsePauliOp("Z" + "I" * (qubits - 1))],
           [[a] for a in angles])
    # The count only shortens the run: the method is still left to the simulator.
    count = 100
    warned = f"'{qc.name}' has {qubits} qubits.*estimates.*{count} trajectories.*method='trajectories'"
    with pytest.warns(UserWarning, match=warned):
        result = Estimator(noise_model=model, seed=3, trajectories=count).run([pub]).result()[0]
    assert result.metadata["exact"] is False and result.metadata["trajectories"] == count
    exact = (1 - p) * np.cos(angles)
    assert np.all(result.data.stds > 0) and np.all(np.abs(result.data.evs - exact) < 5 * result.data.stds)
    measured = QuantumCircuit(qubits, 1)  # one bit: every trajectory's distribution is small
    measured.compose(qc.assign_parameters([angles[0]]), inplace=True)
    measured.measure(0, 0)
    backend = KovraBackend(noise_model=model, seed_simulator=3, trajectories=count)
    with pytest.warns(UserWarning, match=warned.replace(qc.name, measured.name)):
        assert backend.run(measured, shots=10).result().results[0].metadata["exact"] is False
    with pytest.warns(UserWarning, match="estimates"):
        assert min(backend.probability_errors(measured).values()) > 0
    with pytest.warns(UserWarning, match="estimates"):
        sampled = Sampler(noise_model=model, seed=1, trajectories=count).run([(measured,)], shots=10).result()[0]
    assert sampled.metadata["exact"] is False
    # Asked for by name, the estimate is not warned about.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        chosen = Estimator(noise_model=model, seed=3, method="trajectories", trajectories=20).run([pub]).result()[0]
        assert chosen.metadata["trajectories"] == 20 and np.all(chosen.data.stds > 0)
        KovraBackend(noise_model=model, method="trajectories", trajectories=20).run(measured, shots=10).result()


@pytest.mark.parametrize("method", [None, "density_matrix", "trajectories"])
def test_the_estimators_errors_measure_how_far_it_is_from_the_density_matrix(method):
    from qiskit.quantum_info import SparsePauliOp


    circuit, model = layered_noisy_circuit(10, seed=4)
    circuit = circuit.remove_final_measurements(inplace=False)
    observables = [SparsePauliOp("I" * (9 - q) + "Z" + "I" * q) for q in range(10)]
    observables += [SparsePauliOp("I" * (8 - q) + "XX" + "I" * q) for q in range(9)]
    exact = Estimator(noise_model=model, method="density_matrix").run([(circuit, observables)]).result()[0]
    estimator = Estimator(noise_model=model, seed=8, method=method, trajectories=300)
    got = estimator.run([(circuit, observables)]).result()[0]
    if method != "trajectories":
        assert got.metadata["exact"] is True and not got.data.stds.any()
        assert np.max(np.abs(got.data.evs - exact.data.evs)) < 1e-12
        return
    # An observable that every trajectory gives alike has no error to scale by.
    spread = got.data.stds > 0
    assert np.max(np.abs(got.data.evs - exact.data.evs)[~spread], initial=0) < 1e-12 and spread.sum() > 10
    z = (got.data.evs - exact.data.evs)[spread] / got.data.stds[spread]
    assert got.metadata["exact"] is False and np.mean(np.abs(z) < 2.5) > 0.8 and np.max(np.abs(z)) < 5


@pytest.mark.parametrize("model", [{}, dict, "depolarizing"])
@pytest.mark.parametrize("use", [
    lambda m: KovraBackend(noise_model=m),
    lambda m: KovraBackend().run(QuantumCircuit(1, 1), noise_model=m),
    lambda m: Estimator(noise_model=m),
    lambda m: Sampler(noise_model=m),
], ids=["backend", "run", "estimator", "sampler"])
def test_a_noise_model_of_another_type_is_refused_naming_the_option(model, use):
    wanted = f"noise_model must be a qiskit_aer.noise.NoiseModel .*not {type(model).__name__}"
    with pytest.raises(TypeError, match=wanted):
        use(model)


@pytest.mark.parametrize("option, value", [("method", "exact"), ("trajectories", 0), ("trajectories", 1.5)])
def test_a_method_or_trajectory_count_the_simulator_does_not_take_is_refused(option, value):
    with pytest.raises(ValueError, match=f"{option} must be"):
        KovraBackend(**{option: value})


def noisy_layers(seed):
    """A connected noisy circuit as KRAUS vertices and readout attributes."""
    from kovra.noise import NoiseLookup

    circuit, model = layered_noisy_circuit(6, seed)
    return lower_circuit(circuit, noise=NoiseLookup(model))


# Each run alone, and beside a second, ideal sub-circuit (its qubits after the
# first's): "parallel" runs each sub-circuit as the serial run does, noise
# included, and reports the first.
PARALLEL_CASES = {
    **{f"rule {r['channel']}": (lambda r=r: lower_circuit(ghz_with_rotations()), {"noise": [r]}) for r, _ in RULES},
    "vertices": (lambda: noisy_layers(4), {}),
    "vertices as trajectories": (lambda: noisy_layers(5), {"method": "trajectories", "trajectories": 50, "seed": 7}),
    "density matrix": (lambda: lower_circuit(ghz_with_rotations()), {"method": "density_matrix"}),
}


@pytest.mark.parametrize("name", PARALLEL_CASES)
def test_parallel_runs_keep_the_noise_of_the_serial_run(name):
    make, config = PARALLEL_CASES[name]
    builder, lowered = make()
    config = dict(config, mcbits=sorted(lowered.written), observables=[[("Z" * builder.qnum, 1.0)]])
    serial = kovra_backends.BasicSimulator().execute(builder.graph(), config)
    builder.qreg(2)  # an idle register: a sub-circuit of its own
    builder.gate("H", [builder.qnum - 2])
    parallel = kovra_backends.BasicSimulator().execute(builder.graph(), dict(config, parallel=True))
    assert parallel.probabilities == serial.probabilities
    assert parallel.expectation_values == serial.expectation_values


def test_an_empty_gate_list_names_no_gate():
    builder, lowered = lower_circuit(ghz_with_rotations())
    rule = {"channel": "depolarizing", "p": 0.3}
    run = lambda **extra: kovra_backends.BasicSimulator().execute(  # noqa: E731
        builder.graph(), {"mcbits": sorted(lowered.written), "noise": [dict(rule, **extra)]}).probabilities
    assert run(gates=[]) == kovra_backends.BasicSimulator().execute(
        builder.graph(), {"mcbits": sorted(lowered.written)}).probabilities
    assert run() != run(gates=[])


@pytest.mark.parametrize("probabilities, message", [
    ([[1.0], [0.0, 0.0, 1.0]], r'"noise" item 0 "probabilities" row 0 needs 2 probabilities, not 1'),
    ([[0.9, 0.1], [0.2, 0.8], [0.5, 0.5]], r'"noise" item 0 "probabilities" needs 2 rows, one per outcome, not 3'),
    ([[0.9 + 0.5j, 0.1], [0.2, 0.8]], r'"noise" item 0 "probabilities" row 0 holds \(0.9\+0.5j\), not a real'),
    ([[0.9, 0.1], [np.complex64(0.2), 0.8]], r"row 1 holds .*0\.2.*, not a real number"),
    ([[0.9, "0.1"], [0.2, 0.8]], r"row 0 holds '0.1', not a real number"),
])
def test_malformed_readout_rules_are_refused_by_name(probabilities, message):
    builder, _ = lower_circuit(ghz_with_rotations())
    with pytest.raises(ValueError, match=message):
        kovra_backends.BasicSimulator().execute(
            builder.graph(), {"noise": [{"channel": "readout", "probabilities": probabilities}]})


@pytest.mark.parametrize("seed", range(3))
def test_density_matrices_fuse_by_their_own_width(seed):
    """A density matrix of 8 qubits is a vector of 2^16 entries: it fuses its
    gates and channels by default, within rounding of the unfused run."""
    from kovra.noise import NoiseLookup

    circuit, model = layered_noisy_circuit(8, seed=seed)
    builder, lowered = lower_circuit(circuit, noise=NoiseLookup(model))
    keys = {"mcbits": sorted(lowered.written)}
    fused = kovra_backends.BasicSimulator().execute(builder.graph(), keys).probabilities
    exact = kovra_backends.BasicSimulator().execute(builder.graph(), dict(keys, fusion=False)).probabilities
    assert fused.keys() == exact.keys()
    assert max(abs(fused[k] - exact[k]) for k in exact) < 1e-12
    assert fused != exact  # the default did fuse: rounding differs somewhere


def random_noisy_builder(rng, qubits):
    """A random circuit of one- and two-qubit gates with a mid-circuit
    measurement that a later gate is conditioned on."""
    from kovra.builder import CircuitBuilder

    b = CircuitBuilder()
    b.qreg(qubits)
    b.creg(qubits)
    for layer in range(4):
        for q in range(qubits):
            name = str(rng.choice(["Rx", "Ry", "Rz"]))
            b.gate(name, [q], params=[float(rng.uniform(-3, 3))])
        for q in range(layer % 2, qubits - 1, 2):
            b.gate("CNOT", [q, q + 1])
        if layer == 1:
            b.measure([0], [0])
            b.gate("X", [qubits - 1], condition=([0], 0, 1))
    b.measure(list(range(qubits)), list(range(qubits)))
    return b


NOISE_KINDS = [
    [{"channel": "depolarizing", "p": 0.08, "gates": ["CNOT"]}, {"channel": "pauli", "terms": [["X", 0.05]],
                                                                  "gates": ["Rx", "Ry"]}],
    [{"channel": "amplitude_damping", "gamma": 0.1}, {"channel": "readout", "probabilities": [[0.95, 0.05],
                                                                                               [0.1, 0.9]]}],
    [{"channel": "thermal_relaxation", "t1": 50, "t2": 40, "time": 6}],
]


def test_trajectories_agree_with_density_matrices_on_a_hundred_circuits():
    """Each estimate within its errors of the exact value, over 100 random
    noisy circuits: Pauli channels drawn from fixed weights, damping drawn
    from the state, readout errors, a mid-circuit measurement read by a
    condition."""
    rng = np.random.default_rng(2026)
    z = []
    for k in range(100):
        qubits = int(rng.integers(3, 6))
        b = random_noisy_builder(rng, qubits)
        config = {"noise": NOISE_KINDS[k % len(NOISE_KINDS)], "mcbits": list(range(qubits))}
        exact = kovra_backends.BasicSimulator().execute(b.graph(), config).probabilities
        estimate = kovra_backends.BasicSimulator().execute(
            b.graph(), dict(config, method="trajectories", trajectories=300, seed=k))
        for key, p in exact.items():
            z.append((estimate.probabilities.get(key, 0.0) - p) / estimate.probability_errors.get(key, 1 / 300))
    z = np.abs(np.array(z))
    assert len(z) > 1000
    assert np.mean(z < 2) > 0.9 and np.mean(z < 3) > 0.98 and z.max() < 6
