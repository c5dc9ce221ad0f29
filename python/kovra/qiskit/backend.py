"""Qiskit circuits on the exact state-vector simulator: ``KovraBackend``, a
Qiskit BackendV2.

A circuit is transpiled (optimization level 0) onto the gates that the
project's gate table (``kovra.translate.gate_table``) lowers, then lowered instruction by
instruction with the graph builder and run on ``BasicSimulator``. Counts are
real samples of the exact distribution of the classical bits, keyed as
Qiskit keys them (registers last to first, separated by spaces; bit 0 of a
register rightmost). An experiment that measures more than
``DRAWN_COUNT_BITS`` bits has the simulator draw its shots from the final
amplitudes instead, without a distribution of 2^bits entries beside the
state.

The lowering is the one OpenQASM programs go through (``lowering``): the
measurements, resets and reuses of measured qubits go into the graph as
they stand, and the simulator reports the distribution of the measured
classical bits. Measurements split the run into branches without costing
memory (each branch is a slice of one state vector), so a circuit measured
at the end costs one state vector, not one per outcome.
"""

import collections
import datetime
import uuid

import numpy as np
from qiskit import QuantumCircuit
from qiskit.providers import BackendV2, JobStatus, JobV1, Options
from qiskit.result import Result as QiskitResult
from qiskit.result.postprocess import format_counts_memory
from qiskit.result.models import ExperimentResult, ExperimentResultData

import kovra_backends
from . import estimates
from ..suggest import unknown_name
from ..translate.angles import parameter_name
from .backend_lowering import (
    DEFAULT_WHILE_LIMIT,
    _check_supported,
    check_noise_model,
    compile_measured,
    free_parameters,
    gate_table_target,
    lower_circuit,
    noise_lookup,
)

# As on the command line: the shots are drawn one by one, and past 2^31 a
# job would run for hours.
MAX_SHOTS = 2**31 - 1

# An experiment that measures more classical bits than this draws its shots
# straight from the final amplitudes ("probabilities": False): the
# distribution of its bits would be a vector of 2^bits doubles (8 MiB at 20
# bits, 8 GiB at 30, beside a state of 16 GiB). Narrower ones sample the
# exact distribution, as they always have.
DRAWN_COUNT_BITS = 20

# Seeds of the experiments whose shots the simulator draws: below 2^63.
_SEED_BOUND = 2**63


class UnknownOptionError(ValueError, AttributeError):
    """An option KovraBackend does not have, named with the one it was
    likely meant to be (an AttributeError too, as Qiskit's set_options
    raised for one)."""


class KovraBackend(BackendV2):
    """Exact state-vector simulation of Qiskit circuits, with sampled counts.

    ``run(circuits, shots=1024, seed_simulator=None, memory=False)`` returns
    a job whose result has the counts (and, with ``memory``, every shot's
    outcome) of each circuit. ``probabilities(circuit)`` gives the exact
    distribution that the counts sample.

    ``noise_model`` (a ``qiskit_aer.noise.NoiseModel``) runs the circuits as
    density matrices with the model's quantum and readout errors, exactly;
    whatever in it kovra cannot run is refused by name. A noisy circuit of
    more than 14 qubits runs as trajectories instead, and its results are
    estimates: ``method`` (the simulator's "method"; None leaves it
    "automatic", which warns when it estimates) and ``trajectories`` choose,
    and each experiment's metadata says whether it is exact. ``precision``
    ("double" or "single") is the amplitudes' precision."""

    def __init__(self, **options):
        super().__init__(name="kovra_basic_simulator", backend_version="0.1.0",
                         description="exact state-vector simulation by kovra_backends")
        self._target = gate_table_target()
        if options:
            self.set_options(**options)

    def set_options(self, **fields):
        """Sets the backend's default run options (those of
        ``_default_options``); refuses an unknown option naming the likely
        one, and a bad value naming the option."""
        self._refuse_unknown(fields)
        _check_options(fields)
        super().set_options(**fields)

    def _refuse_unknown(self, options):
        """Refuses an option the backend does not have: a misspelt one
        ("shot") would otherwise leave the default in its place."""
        for key in options:
            if not hasattr(self.options, key):
                raise UnknownOptionError(unknown_name(key, list(self.options), f"a {type(self).__name__} option"))

    @property
    def target(self):
        """The Qiskit ``Target`` of the gates kovra lowers exactly (the gate
        table's), which ``transpile`` aims at."""
        return self._target

    @property
    def max_circuits(self):
        """None: a job takes any number of circuits."""
        return None

    @classmethod
    def _default_options(cls):
        return Options(shots=1024, seed_simulator=None, memory=False, parameter_binds=None,
                       while_limit=DEFAULT_WHILE_LIMIT, noise_model=None, precision="double", method=None,
                       trajectories=None)

    def run(self, run_input, **options):
        """Runs a ``QuantumCircuit`` or a list of them with the given
        options (``shots``, ``seed_simulator``, ``memory``,
        ``parameter_binds``, ...: the defaults are the backend's) and
        returns a finished ``KovraJob``, whose ``result()`` has each
        circuit's counts."""
        self._refuse_unknown(options)
        _check_options(options)
        shots = options.get("shots", self.options.shots)
        seed = options.get("seed_simulator", self.options.seed_simulator)
        memory = bool(options.get("memory", self.options.memory))
        if isinstance(shots, bool) or not isinstance(shots, (int, np.integer)) or not 0 <= shots <= MAX_SHOTS:
            raise ValueError(f"shots must be an int from 0 to {MAX_SHOTS}, got {shots!r}")
        circuits = [run_input] if not isinstance(run_input, (list, tuple)) else list(run_input)
        for circuit in circuits:
            if not isinstance(circuit, QuantumCircuit):
                raise TypeError(f"{self.name} runs QuantumCircuit objects, not {type(circuit).__name__}")
        binds = options.get("parameter_binds", self.options.parameter_binds)
        limit = options.get("while_limit", self.options.while_limit)
        noise = noise_lookup(options.get("noise_model", self.options.noise_model))
        method = options.get("method", self.options.method)
        extra = _extra_config(seed, options.get("precision", self.options.precision), method,
                              options.get("trajectories", self.options.trajectories))
        if binds is not None and len(binds) != len(circuits):
            raise ValueError(f"parameter_binds has {len(binds)} entries for {len(circuits)} circuits: give one "
                             "dict of parameter values per circuit")
        # One generator for the whole job: reproducible for a seed, and the
        # circuits of a job do not all draw the same numbers.
        generator = np.random.default_rng(seed)
        draws = _Draws(int(shots), generator, memory)
        runs = []
        for k, circuit in enumerate(circuits):
            runs += (_Run.sweep(self, circuit, binds[k], limit, noise, extra, draws) if binds is not None
                     else [_Run(self, circuit, limit, noise, extra, draws)])
        results = [self._experiment(run, int(shots), generator, seed, memory) for run in runs]
        for run in runs:
            estimates.warn_if_estimated(run.trajectories, method, run.circuit)
        job_id = str(uuid.uuid4())
        result = QiskitResult(backend_name=self.name, backend_version=self.backend_version, job_id=job_id,
                              success=True, results=results, date=datetime.datetime.now().isoformat(),
                              status="COMPLETED")
        return KovraJob(self, job_id, result)

    def probabilities(self, circuit):
        """The exact probability of every outcome of the classical bits with
        one above the result's key floor, keyed as Qiskit keys counts (a
        noisy circuit run as trajectories gives estimates, and a warning
        unless ``method`` asked for them: ``probability_errors`` gives their
        standard errors). Read off the outcomes that occur, never a vector of
        2^bits entries."""
        return self._keyed(circuit, "probabilities")

    def probability_errors(self, circuit):
        """The standard error of each of ``probabilities(circuit)``, keyed
        alike: all 0 where the run is exact."""
        return self._keyed(circuit, "probability_errors")

    def _keyed(self, circuit, which):
        options = self.options
        run = _Run(self, circuit, options.while_limit, noise_lookup(options.noise_model),
                   _extra_config(None, options.precision, options.method, options.trajectories))
        estimates.warn_if_estimated(run.trajectories, options.method, circuit)
        values, probabilities, errors = run.clbit_distribution()
        keep = probabilities > kovra_backends.KEY_FLOOR
        chosen = probabilities if which == "probabilities" else errors
        return {run.key(v): float(p) for v, p, k in zip(values, chosen, keep) if k}

    def _experiment(self, run, shots, generator, seed, memory):
        data = {}
        if run.measured and memory:
            # The counts tally the same shots as the memory.
            data["memory"] = run.sampled_memory(shots, generator)
            data["counts"] = dict(collections.Counter(data["memory"]))
        elif run.measured:
            data["counts"] = run.sampled_counts(shots, generator)
        return ExperimentResult(shots=shots, success=True, data=ExperimentResultData(**data),
                                header=run.header(), status="DONE", seed_simulator=seed,
                                metadata=estimates.metadata(run.trajectories))


def _extra_config(seed, precision, method=None, trajectories=None):
    """The simulator's configuration beside the keys: the amplitudes'
    precision, the method and trajectories chosen, and the seed that fixes
    the draws of a noisy register run as trajectories."""
    config = {"precision": precision, **estimates.method_config(method, trajectories)}
    if seed is not None:
        config["seed"] = int(seed)
    return config


def _check_options(options):
    """Refuses, by name, option values of the wrong kind before anything runs."""
    if "noise_model" in options:
        check_noise_model(options["noise_model"])
    if "method" in options:
        estimates.checked_method(options["method"])
    if "trajectories" in options:
        estimates.checked_trajectories(options["trajectories"])


# Classical bits a value fits in as an int64 index.
_DENSE_KEY_BITS = 62


class _Draws:
    """The shots of a job, for the experiments too wide to sample from
    their distribution: the simulator draws them from the amplitudes, each
    experiment from a seed of the job's generator."""

    def __init__(self, shots, generator, memory):
        self.shots, self.generator, self.memory = shots, generator, memory

    @staticmethod
    def wanted(bits):
        return len(bits) > DRAWN_COUNT_BITS

    def config(self, bits):
        """The keys that make a run over `bits` draw its shots ({} for a
        narrow one)."""
        if not self.wanted(bits):
            return {}
        return {"probabilities": False, "shots": self.shots, "memory": self.memory,
                "seed": int(self.generator.integers(_SEED_BOUND))}


class KovraJob(JobV1):
    """A job that ran when it was made (the simulation is synchronous)."""

    def __init__(self, backend, job_id, result):
        super().__init__(backend, job_id)
        self._result = result

    def submit(self):
        """Refused: the job already ran when the backend made it."""
        raise RuntimeError("the job ran when the backend made it")

    def result(self):
        """The Qiskit ``Result`` of the run: counts (and memory) per circuit."""
        return self._result

    def status(self):
        """Always ``JobStatus.DONE``: the job ran when it was made."""
        return JobStatus.DONE


class _Run:
    """One circuit: transpiled, lowered, simulated, and its classical bits'
    distribution read off the simulator's probabilities (or, for one that
    measures more than DRAWN_COUNT_BITS bits, the shots the simulator drew)."""

    def __init__(self, backend, circuit, while_limit, noise=None, extra=None, draws=None):
        self.circuit = circuit
        _check_supported(circuit)
        free = free_parameters(circuit)
        if free:
            names = ", ".join(sorted(p.name for p in free))
            raise ValueError(f"circuit '{circuit.name}' has unbound parameters: {names}")
        builder, lowered = lower_circuit(circuit, backend, while_limit, noise)
        # The measured bits in ascending order, the order of the simulator's
        # keys; a bit no measurement writes reads 0.
        self.bits = sorted(lowered.written)
        self.measured = bool(self.bits)
        self.drawn = draws is not None and draws.wanted(self.bits)
        self.result = None
        self.trajectories = 0
        # Without measurements the result is known, but an unrolled while
        # loop must still be run: the run refuses one that never ends.
        if self.bits or lowered.loops:
            config = dict(extra or {}, mcbits=self.bits, **(draws.config(self.bits) if draws else {}))
            self.result = kovra_backends.BasicSimulator().execute(builder.graph(), config)
            self.trajectories = self.result.trajectories

    @classmethod
    def sweep(cls, backend, circuit, binds, while_limit, noise=None, extra=None, draws=None):
        """One run per set of values in `binds` ({parameter: values}, every
        list as long), the circuit lowered and compiled once (a wide one's
        sets draw their shots from one seed, mixed with each set's place)."""
        _check_supported(circuit)
        columns = {getattr(p, "name", p): np.atleast_1d(np.asarray(v, dtype=np.float64)) for p, v in binds.items()}
        missing = sorted(p.name for p in circuit.parameters if p.name not in columns)
        if missing:
            raise ValueError(f"parameter_binds gives no values for {', '.join(missing)} of circuit '{circuit.name}'")
        lengths = {len(v) for v in columns.values()} or {1}
        if len(lengths) != 1:
            raise ValueError(f"parameter_binds for circuit '{circuit.name}' gives value lists of lengths "
                             f"{sorted(lengths)}; they must be equally long")
        sets = lengths.pop()
        program, bits = compile_measured(circuit, backend, while_limit, noise, extra, draws and draws.config)
        results = [None] * sets
        if program is not None:
            values = np.column_stack([columns[parameter_name(name)] for name in program.parameters]
                                     or [np.zeros((sets, 0))])
            results = program.run(values)
        runs = []
        for result in results:
            run = cls.__new__(cls)
            run.circuit, run.bits, run.measured, run.result = circuit, bits, bool(bits), result
            run.trajectories = result.trajectories if result is not None else 0
            run.drawn = draws is not None and draws.wanted(bits)
            runs.append(run)
        return runs

    def clbit_values(self, indices):
        """The integer of the classical bits (bit 0 least significant) for
        each index over the measured bits."""
        indices = np.asarray(indices, dtype=object if len(self.bits) > _DENSE_KEY_BITS else np.int64)
        wide = self.circuit.num_clbits > _DENSE_KEY_BITS
        values = np.zeros(len(indices), dtype=object if wide else np.int64)
        for k, clbit in enumerate(self.bits):
            bit = (indices >> (len(self.bits) - 1 - k)) & 1
            values |= (bit.astype(object) if wide else bit) << clbit
        return values

    def clbit_distribution(self):
        """The values of the classical bits that occur (Python ints,
        ascending), their probabilities and the probabilities' standard
        errors (0 where exact). Read off the keyed probabilities, which the
        simulator forms for the outcomes that occur: a dense vector would
        hold 2^bits entries however few of them occur."""
        if self.result is None:
            return [0], np.ones(1), np.zeros(1)
        keyed, known = self.result.probabilities, self.result.probability_errors
        probabilities = np.fromiter(keyed.values(), dtype=np.float64, count=len(keyed))
        errors = np.fromiter((known.get(key, 0.0) for key in keyed), dtype=np.float64, count=len(keyed))
        # A run that measures nothing (kept for its loop check) keys its one
        # outcome by the empty string.
        values = [int(v) for v in self.clbit_values([int(key, 2) if key else 0 for key in keyed])]
        order = sorted(range(len(values)), key=values.__getitem__)
        return [values[k] for k in order], probabilities[order], errors[order]

    def sampled_counts(self, shots, generator):
        # A wide run drew its shots itself, on the job's shot count.
        drawn = self.result.counts if self.drawn else self.result.sample_counts(shots, seed=generator)
        values = self.clbit_values([int(key, 2) for key in drawn])
        return {hex(value): count for value, count in zip(values, drawn.values())}

    def sampled_memory(self, shots, generator):
        drawn = self.result.memory if self.drawn else self.result.sample_memory(shots, seed=generator)
        keys = sorted(set(drawn))
        as_hex = dict(zip(keys, (hex(v) for v in self.clbit_values([int(k, 2) for k in keys]))))
        return [as_hex[key] for key in drawn]

    def key(self, value):
        """The counts key of a value of the classical bits, as Qiskit formats
        the counts of a result with this header."""
        return format_counts_memory(hex(value), self.header())

    def header(self):
        circuit = self.circuit
        return {
            "name": circuit.name,
            "n_qubits": circuit.num_qubits,
            "memory_slots": circuit.num_clbits,
            "qreg_sizes": [[r.name, r.size] for r in circuit.qregs],
            "creg_sizes": [[r.name, r.size] for r in circuit.cregs],
            "global_phase": float(circuit.global_phase),
            "metadata": dict(circuit.metadata or {}),
        }

