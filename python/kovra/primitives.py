"""Qiskit's primitives on kovra: ``Estimator`` (BaseEstimatorV2) and
``Sampler`` (BaseSamplerV2).

Each PUB's circuit is transpiled and lowered once, with its parameters left
free, and compiled once (``kovra_backends.compile``); every set of parameter
values then only binds angles and runs in C++. Expectation values are exact
(``precision`` 0), or carry Gaussian noise of that standard deviation;
dynamic circuits (mid-circuit measurements, resets, ``if_test``) are taken as
``KovraBackend`` takes them, and their expectation values average exactly
over every branch. With ``noise_model`` (a ``qiskit_aer.noise.NoiseModel``)
both run the circuits as density matrices, as ``KovraBackend`` does.
"""

import math

import numpy as np
from qiskit.primitives import BaseEstimatorV2, BaseSamplerV2, PrimitiveJob, PrimitiveResult
from qiskit.primitives.containers import BitArray, DataBin, PubResult, SamplerPubResult
from qiskit.primitives.containers.estimator_pub import EstimatorPub
from qiskit.primitives.containers.sampler_pub import SamplerPub

import kovra_backends

from .qiskit_lowering import compile_measured, lower_circuit, noise_lookup


def _compiled(circuit, config, noise):
    """The circuit lowered with free parameters (and `noise`, a
    ``noise.NoiseLookup`` or None) and compiled, and the lowering."""
    builder, lowered = lower_circuit(circuit, noise=noise)
    return kovra_backends.compile(builder.graph(), config), lowered


def _noise(model, seed):
    """The lowering's view of a noise model, and the configuration that
    seeds the draws of a noisy register run as trajectories."""
    return noise_lookup(model), ({} if seed is None or model is None else {"seed": int(seed)})


def _values(pub, circuit, program):
    """The PUB's parameter values as rows in the program's column order."""
    names = [p.name for p in circuit.parameters]
    sets = math.prod(pub.parameter_values.shape)
    table = pub.parameter_values.as_array(circuit.parameters).reshape(sets, len(names))
    columns = [names.index(name) for name in program.parameters]
    return np.ascontiguousarray(table[:, columns], dtype=np.float64)


def _job(run_pub, pubs):
    """A job that runs each PUB with `run_pub`, as Qiskit's primitives do."""
    job = PrimitiveJob(lambda: PrimitiveResult([run_pub(pub) for pub in pubs], metadata={"version": 2}))
    job._submit()
    return job


def _terms(observable):
    """Qiskit's {label: coefficient} as kovra's (Paulis, coefficient) pairs:
    Qiskit writes qubit 0 last, kovra first."""
    terms = []
    for label, coefficient in observable.items():
        coefficient = complex(coefficient)
        if coefficient.imag != 0:
            raise ValueError(f"observable term {label} has the coefficient {coefficient}: not Hermitian")
        terms.append((label[::-1], coefficient.real))
    return terms


class Estimator(BaseEstimatorV2):
    """Exact expectation values of Pauli sums, per PUB one compiled program."""

    def __init__(self, *, default_precision=0.0, seed=None, noise_model=None):
        self._default_precision = default_precision
        self._seed = seed
        self._noise, self._config = _noise(noise_model, seed)

    @property
    def default_precision(self):
        return self._default_precision

    def run(self, pubs, *, precision=None):
        precision = self._default_precision if precision is None else precision
        return _job(self._run_pub, [EstimatorPub.coerce(pub, precision) for pub in pubs])

    def _run_pub(self, pub):
        rng = np.random.default_rng(self._seed)
        observables = np.asarray(pub.observables, dtype=object)
        # Each distinct observable is computed once per set of values.
        distinct, which = {}, np.empty(observables.shape, dtype=np.int64)
        for index in np.ndindex(observables.shape):
            key = tuple(sorted(observables[index].items()))
            which[index] = distinct.setdefault(key, len(distinct))
        config = dict(self._config, observables=[_terms(dict(key)) for key in distinct])
        program, _ = _compiled(pub.circuit, config, self._noise)
        values = program.expectation_values(_values(pub, pub.circuit, program))
        sets = np.arange(values.shape[0]).reshape(pub.parameter_values.shape)
        sets, which = np.broadcast_arrays(sets, which)
        evs = values[sets, which] if values.size else np.zeros(sets.shape)
        stds = np.zeros(evs.shape)
        if pub.precision > 0:
            evs = rng.normal(evs, pub.precision)
            stds = np.full(evs.shape, pub.precision)
        data = DataBin(evs=evs, stds=stds, shape=evs.shape)
        return PubResult(data, metadata={"target_precision": pub.precision, "circuit_metadata": pub.circuit.metadata})


class Sampler(BaseSamplerV2):
    """Shots drawn from the exact distribution of the measured bits."""

    def __init__(self, *, default_shots=1024, seed=None, noise_model=None):
        self._default_shots = default_shots
        self._seed = seed
        self._noise, self._config = _noise(noise_model, seed)

    @property
    def default_shots(self):
        return self._default_shots

    def run(self, pubs, *, shots=None):
        shots = self._default_shots if shots is None else shots
        return _job(self._run_pub, [SamplerPub.coerce(pub, shots) for pub in pubs])

    def _run_pub(self, pub):
        rng = np.random.default_rng(self._seed)
        circuit = pub.circuit
        program, bits = compile_measured(circuit, noise=self._noise, config=self._config)
        shape, shots = pub.parameter_values.shape, pub.shots
        drawn = np.zeros((math.prod(shape), shots, circuit.num_clbits), dtype=bool)
        if program is not None:
            for k, result in enumerate(program.run(_values(pub, circuit, program))):
                p = result.probability_array()
                outcomes = rng.choice(len(p), size=shots, p=p / p.sum())
                for j, clbit in enumerate(bits):
                    drawn[k, :, clbit] = (outcomes >> (len(bits) - 1 - j)) & 1
        data = {}
        for register in circuit.cregs:
            columns = [circuit.find_bit(bit).index for bit in register]
            array = drawn[:, :, columns].reshape(shape + (shots, len(columns)))
            data[register.name] = BitArray.from_bool_array(array, order="little")
        return SamplerPubResult(DataBin(**data, shape=shape),
                                metadata={"shots": shots, "circuit_metadata": circuit.metadata})
