"""Qiskit's primitives on kovra: ``Estimator`` (BaseEstimatorV2) and
``Sampler`` (BaseSamplerV2).

Each PUB's circuit is transpiled and lowered once, with its parameters left
free, and compiled once (``kovra_backends.compile``); every set of parameter
values then only binds angles and runs in C++. Expectation values are exact
(``precision`` 0), or carry Gaussian noise of that standard deviation;
dynamic circuits (mid-circuit measurements, resets, ``if_test``) are taken as
``KovraBackend`` takes them, and their expectation values average exactly
over every branch. A Sampler PUB measuring more than DENSE_SAMPLED_BITS bits
has the simulator draw its shots from the final amplitudes, as the backend
does, without a distribution of 2^bits entries. With ``noise_model`` (a
``qiskit_aer.noise.NoiseModel``) both run the circuits as density matrices, as ``KovraBackend`` does: exact
up to 14 qubits; a wider noisy circuit runs as trajectories (``method``,
``estimates``), and its results are estimates: the Estimator's ``stds``
hold their standard errors and the metadata says ``"exact": False``.
"""

import math

import numpy as np
from qiskit.primitives import BaseEstimatorV2, BaseSamplerV2, PrimitiveJob, PrimitiveResult
from qiskit.primitives.containers import BitArray, DataBin, PubResult, SamplerPubResult
from qiskit.primitives.containers.estimator_pub import EstimatorPub
from qiskit.primitives.containers.sampler_pub import SamplerPub

import kovra_backends

from . import estimates
from ..translate.angles import parameter_name
from .backend_lowering import compile_measured, lower_circuit, noise_lookup

# A Sampler PUB that measures more bits than this has the simulator draw
# its shots from the final amplitudes (kovra.qiskit.DRAWN_COUNT_BITS, where
# the backend changes too): its distribution would be 2^bits doubles beside
# the state, and a dict of keys as wide. Narrower ones sample the dense
# vector, as they always have.
DENSE_SAMPLED_BITS = 20
# Seeds of the PUBs whose shots the simulator draws: below 2^63.
_SEED_BOUND = 2**63
# A keyed outcome costs about this many dense entries (a Python str and
# float against 8 bytes): wider distributions with this many entries per
# key or fewer are still sampled from the dense vector, the same draws.
DENSE_ENTRIES_PER_KEY = 16
# The widest keys a dense vector's index holds (an int64).
DENSE_KEY_BITS = 62


def _compiled(circuit, config, noise):
    """The circuit lowered with free parameters (and `noise`, a
    ``noise.NoiseLookup`` or None) and compiled, and the lowering."""
    builder, lowered = lower_circuit(circuit, noise=noise)
    return kovra_backends.compile(builder.graph(), config), lowered


def _noise(model, seed, method, trajectories):
    """The lowering's view of a noise model, and the configuration that
    seeds the draws of a noisy register run as trajectories and carries the
    method chosen."""
    config = estimates.method_config(method, trajectories)
    if seed is not None and model is not None:
        config["seed"] = int(seed)
    return noise_lookup(model), config


def _values(pub, circuit, program):
    """The PUB's parameter values as rows in the program's column order."""
    names = [p.name for p in circuit.parameters]
    sets = math.prod(pub.parameter_values.shape)
    table = pub.parameter_values.as_array(circuit.parameters).reshape(sets, len(names))
    columns = [names.index(parameter_name(name)) for name in program.parameters]
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
    """Exact expectation values of Pauli sums, per PUB one compiled program.

    ``method`` and ``trajectories`` choose how a noisy circuit runs (the
    simulator's "method": None leaves it "automatic", which warns where it
    estimates)."""

    def __init__(self, *, default_precision=0.0, seed=None, noise_model=None, method=None, trajectories=None):
        self._default_precision = estimates.check_precision(default_precision)
        self._seed = seed
        self._method = method
        self._noise, self._config = _noise(noise_model, seed, method, trajectories)

    @property
    def default_precision(self):
        """The precision PUBs without their own get (0: exact values)."""
        return self._default_precision

    def run(self, pubs, *, precision=None):
        """Estimates each PUB, ``(circuit, observables[, parameter values[,
        precision]])``, and returns a finished job whose ``result()`` holds
        per PUB ``data.evs`` and ``data.stds`` in the PUB's broadcast shape.
        ``precision`` > 0 adds seeded Gaussian noise of that deviation."""
        precision = self._default_precision if precision is None else estimates.check_precision(precision)
        coerced = [EstimatorPub.coerce(pub, precision) for pub in pubs]
        for pub in coerced:
            estimates.check_precision(pub.precision)
        return _job(self._run_pub, coerced)

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
        values, errors, trajectories = program.expectation_values(_values(pub, pub.circuit, program), errors=True)
        estimated = int(trajectories.max(initial=0))
        estimates.warn_if_estimated(estimated, self._method, pub.circuit, stacklevel=4)
        sets = np.arange(values.shape[0]).reshape(pub.parameter_values.shape)
        sets, which = np.broadcast_arrays(sets, which)
        evs = values[sets, which] if values.size else np.zeros(sets.shape)
        # An estimate's own standard errors (0 where exact), and beside them
        # the noise that `precision` asks for.
        stds = errors[sets, which] if values.size else np.zeros(sets.shape)
        if pub.precision > 0:
            evs = np.reshape(rng.normal(evs, pub.precision), evs.shape)
            stds = np.hypot(stds, pub.precision)
        data = DataBin(evs=evs, stds=stds, shape=evs.shape)
        return PubResult(data, metadata={"target_precision": pub.precision, "circuit_metadata": pub.circuit.metadata,
                                         **estimates.metadata(estimated)})


class Sampler(BaseSamplerV2):
    """Shots drawn from the exact distribution of the measured bits (with
    ``method`` and ``trajectories`` as for the Estimator)."""

    def __init__(self, *, default_shots=1024, seed=None, noise_model=None, method=None, trajectories=None):
        self._default_shots = default_shots
        self._seed = seed
        self._method = method
        self._noise, self._config = _noise(noise_model, seed, method, trajectories)

    @property
    def default_shots(self):
        """The shots PUBs without their own get."""
        return self._default_shots

    def run(self, pubs, *, shots=None):
        """Samples each PUB, ``(circuit[, parameter values[, shots]])``, and
        returns a finished job whose ``result()`` holds per PUB a
        ``BitArray`` for each classical register (``data.<register>``)."""
        shots = self._default_shots if shots is None else shots
        return _job(self._run_pub, [SamplerPub.coerce(pub, shots) for pub in pubs])

    def _run_pub(self, pub):
        rng = np.random.default_rng(self._seed)
        circuit = pub.circuit
        shape, shots = pub.parameter_values.shape, pub.shots

        def draws(bits):
            # A wide PUB's shots come from the run itself, seeded by the
            # PUB's generator (each set of values mixes in its place).
            if len(bits) <= DENSE_SAMPLED_BITS:
                return {}
            return {"probabilities": False, "shots": shots, "memory": True, "seed": int(rng.integers(_SEED_BOUND))}

        program, bits = compile_measured(circuit, noise=self._noise, config=self._config, config_for_bits=draws)
        drawn = np.zeros((math.prod(shape), shots, circuit.num_clbits), dtype=bool)
        estimated = 0
        if program is not None:
            for k, result in enumerate(program.run(_values(pub, circuit, program))):
                drawn[k][:, bits] = (_shot_bits(result.memory, len(bits)) if len(bits) > DENSE_SAMPLED_BITS
                                     else _drawn_bits(result, len(bits), shots, rng))
                estimated = max(estimated, result.trajectories)
        estimates.warn_if_estimated(estimated, self._method, circuit, stacklevel=4)
        data = {}
        for register in circuit.cregs:
            columns = [circuit.find_bit(bit).index for bit in register]
            array = drawn[:, :, columns].reshape(shape + (shots, len(columns)))
            data[register.name] = BitArray.from_bool_array(array, order="little")
        return SamplerPubResult(DataBin(**data, shape=shape),
                                metadata={"shots": shots, "circuit_metadata": circuit.metadata,
                                          **estimates.metadata(estimated)})


def _shot_bits(keys, width):
    """The shots a run drew (their keys, in the order drawn) as rows of
    booleans (column j: the key's character j)."""
    if not keys:
        return np.zeros((0, width), dtype=bool)
    characters = np.frombuffer("".join(keys).encode("ascii"), dtype=np.uint8)
    return characters.reshape(len(keys), width) == ord("1")


def _drawn_bits(result, width, shots, rng):
    """`shots` outcomes of the distribution a result holds over `width`
    measured bits, as rows of booleans (column j: the key's character j).

    The draws are numpy's ``choice`` over the outcomes in key order,
    whether they come from the dense vector or from the keys alone: the
    zeros a dense vector adds change no draw (its cumulative sums are the
    same at every outcome), so a wide result with few outcomes draws as a
    narrow one would, without 2^bits entries."""
    if width <= DENSE_SAMPLED_BITS or width <= DENSE_KEY_BITS and 2**width <= DENSE_ENTRIES_PER_KEY * result.key_count:
        p = result.probability_array()
        outcomes = rng.choice(len(p), size=shots, p=p / p.sum())
        shifts = np.arange(width - 1, -1, -1, dtype=np.int64)
        return ((outcomes[:, None] >> shifts) & 1).astype(bool)
    keyed = result.probabilities
    p = np.fromiter(keyed.values(), dtype=np.float64, count=len(keyed))
    outcomes = rng.choice(len(p), size=shots, p=p / p.sum())
    keys = np.frombuffer("".join(keyed).encode("ascii"), dtype=np.uint8).reshape(len(keyed), width)
    return keys[outcomes] == ord("1")
