"""Qiskit circuits on the exact state-vector simulator: ``KovraBackend``, a
Qiskit BackendV2.

A circuit is transpiled (optimization level 0) onto the gates of the
catalogue that Qiskit names alike, then lowered instruction by instruction
with the project's graph builder and run on ``BasicSimulator``. Counts are
real samples of the exact distribution of the classical bits, keyed as
Qiskit keys them (registers last to first, separated by spaces; bit 0 of a
register rightmost).

The simulator never uses a measured qubit again, so a measured qubit keeps
its outcome to the end of the run: a classical bit's final value is the
final value of the qubit last measured into it. Only the measurements whose
bits a later ``if_test`` reads split the run into branches; every other one
is read off the final probabilities, so a circuit measured at the end costs
one state vector, not one per outcome.
"""

import collections
import datetime
import uuid
import warnings

import numpy as np
from qiskit import transpile
from qiskit.circuit import Barrier, ClassicalRegister, Clbit, ControlFlowOp, Delay, IfElseOp, Measure, Reset
from qiskit.circuit.library import get_standard_gate_name_mapping
from qiskit.providers import BackendV2, JobStatus, JobV1, Options
from qiskit.result import Result as QiskitResult
from qiskit.result.postprocess import format_counts_memory
from qiskit.result.models import ExperimentResult, ExperimentResultData
from qiskit.transpiler import Target

import kovra_backends

from .builder import EQUAL, NOT_EQUAL, CircuitBuilder
from .qasm import CATALOGUE

# Qiskit's standard gates that the catalogue has under another name.
_STANDARD = get_standard_gate_name_mapping()
GATES = {name: target for name, target in CATALOGUE.items() if isinstance(target, str) and name in _STANDARD}
# Instructions lowered without a gate: skipped, or handled by the lowering.
_OTHER = {"measure": Measure(), "reset": Reset(), "barrier": Barrier, "delay": Delay(1), "if_else": IfElseOp}


class UnsupportedInstructionError(ValueError):
    """A circuit holds an instruction the simulator cannot run; the message
    names it."""


def _refuse(name, why):
    raise UnsupportedInstructionError(f"instruction '{name}' {why}")


class KovraBackend(BackendV2):
    """Exact state-vector simulation of Qiskit circuits, with sampled counts.

    ``run(circuits, shots=1024, seed_simulator=None, memory=False)`` returns
    a job whose result has the counts (and, with ``memory``, every shot's
    outcome) of each circuit. ``probabilities(circuit)`` gives the exact
    distribution that the counts sample."""

    def __init__(self):
        super().__init__(name="kovra_basic_simulator", backend_version="0.1.0",
                         description="exact state-vector simulation by kovra_backends")
        self._target = Target(num_qubits=None, description="every qubit pair, no noise")
        for name in GATES:
            self._target.add_instruction(_STANDARD[name], name=name)
        for name, instruction in _OTHER.items():
            self._target.add_instruction(instruction, name=name)

    @property
    def target(self):
        return self._target

    @property
    def max_circuits(self):
        return None

    @classmethod
    def _default_options(cls):
        return Options(shots=1024, seed_simulator=None, memory=False)

    def run(self, run_input, **options):
        for key in options:
            if not hasattr(self.options, key):
                warnings.warn(f"option '{key}' is not used by {self.name}", stacklevel=2)
        shots = options.get("shots", self.options.shots)
        seed = options.get("seed_simulator", self.options.seed_simulator)
        memory = bool(options.get("memory", self.options.memory))
        if isinstance(shots, bool) or not isinstance(shots, (int, np.integer)) or shots < 0:
            raise ValueError(f"shots must be a non-negative int, got {shots!r}")
        circuits = [run_input] if not isinstance(run_input, (list, tuple)) else list(run_input)
        # One generator for the whole job: reproducible for a seed, and the
        # circuits of a job do not all draw the same numbers.
        generator = np.random.default_rng(seed)
        results = [self._experiment(circuit, int(shots), generator, seed, memory) for circuit in circuits]
        job_id = str(uuid.uuid4())
        result = QiskitResult(backend_name=self.name, backend_version=self.backend_version, job_id=job_id,
                              success=True, results=results, date=datetime.datetime.now().isoformat(),
                              status="COMPLETED")
        return KovraJob(self, job_id, result)

    def probabilities(self, circuit):
        """The exact probability of every outcome of the classical bits with
        one above 1e-10, keyed as Qiskit keys counts."""
        run = _Run(self, circuit)
        values, probabilities = run.clbit_distribution()
        keep = probabilities > 1e-10
        return {run.key(int(v)): float(p) for v, p in zip(values[keep], probabilities[keep])}

    def _experiment(self, circuit, shots, generator, seed, memory):
        run = _Run(self, circuit)
        data = {}
        if run.measured and memory:
            # The counts tally the same shots as the memory.
            data["memory"] = run.sampled_memory(shots, generator)
            data["counts"] = dict(collections.Counter(data["memory"]))
        elif run.measured:
            data["counts"] = run.sampled_counts(shots, generator)
        return ExperimentResult(shots=shots, success=True, data=ExperimentResultData(**data),
                                header=run.header(), status="DONE", seed_simulator=seed)


class KovraJob(JobV1):
    """A job that ran when it was made (the simulation is synchronous)."""

    def __init__(self, backend, job_id, result):
        super().__init__(backend, job_id)
        self._result = result

    def submit(self):
        raise RuntimeError("the job ran when the backend made it")

    def result(self):
        return self._result

    def status(self):
        return JobStatus.DONE


class _Run:
    """One circuit: transpiled, lowered, simulated, and its classical bits'
    distribution read off the simulator's probabilities."""

    def __init__(self, backend, circuit):
        self.circuit = circuit
        _check_supported(circuit)
        if circuit.parameters:
            names = ", ".join(sorted(p.name for p in circuit.parameters))
            raise ValueError(f"circuit '{circuit.name}' has unbound parameters: {names}")
        lowered = _Lowering(transpile(circuit, target=backend.target, optimization_level=0))
        self.measured = lowered.measured
        # Qubits in ascending order, the order of the simulator's keys.
        self.qubits = sorted(set(lowered.sources.values()))
        self.sources = lowered.sources
        self.result = None
        if self.qubits:
            config = {"mqubits": self.qubits}
            self.result = kovra_backends.BasicSimulator().execute(lowered.builder.graph(), config)

    def clbit_values(self, indices):
        """The integer of the classical bits (bit 0 least significant) for
        each index over the measured qubits."""
        indices = np.asarray(indices, dtype=np.int64)
        wide = self.circuit.num_clbits > 62
        values = np.zeros(len(indices), dtype=object if wide else np.int64)
        position = {q: len(self.qubits) - 1 - k for k, q in enumerate(self.qubits)}
        for clbit, qubit in self.sources.items():
            bit = (indices >> position[qubit]) & 1
            values |= (bit.astype(object) if wide else bit) << clbit
        return values

    def clbit_distribution(self):
        if self.result is None:
            return np.zeros(1, dtype=np.int64), np.ones(1)
        probabilities = self.result.probability_array()
        indices = np.flatnonzero(probabilities)
        values = self.clbit_values(indices)
        # Two qubit outcomes fall on one value when a bit was measured twice.
        unique, slots = np.unique(values, return_inverse=True)
        return unique, np.bincount(slots.reshape(-1), weights=probabilities[indices], minlength=len(unique))

    def sampled_counts(self, shots, generator):
        drawn = self.result.sample_counts(shots, seed=generator)
        values = self.clbit_values([int(key, 2) for key in drawn])
        counts = {}
        for value, count in zip(values, drawn.values()):
            counts[hex(value)] = counts.get(hex(value), 0) + count
        return counts

    def sampled_memory(self, shots, generator):
        drawn = self.result.sample_memory(shots, seed=generator)
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


def _check_supported(circuit):
    """Refuses, before the transpiler sees them, the instructions it would
    keep or could not translate: loops, switches, classical expressions and
    instructions that are neither standard gates (which the transpiler
    translates by its equivalences) nor defined."""
    for instruction in circuit.data:
        op = instruction.operation
        if isinstance(op, ControlFlowOp) and not isinstance(op, IfElseOp):
            _refuse(op.name, "(a loop or switch) is not supported; only if_test is")
        if isinstance(op, IfElseOp):
            target, _ = op.condition if isinstance(op.condition, tuple) else (None, None)
            if not isinstance(target, (Clbit, ClassicalRegister)):
                _refuse(op.name, "has a classical expression as condition; only a bit or a register "
                                 "compared with a value is supported")
            for block in op.blocks:
                _check_supported(block)
        elif op.name not in _STANDARD and op.name not in _OTHER and op.definition is None:
            _refuse(op.name, "has no definition to lower onto the gate catalogue")


class _Lowering:
    """A transpiled circuit appended to a graph builder.

    ``sources`` maps each measured classical bit to the qubit last measured
    into it. A measurement becomes a graph measurement (splitting the run)
    only when a later condition reads its bit before the bit is written
    again."""

    def __init__(self, circuit):
        self.top = circuit
        self.builder = CircuitBuilder()
        self.builder.qreg(circuit.num_qubits)
        if circuit.num_clbits:
            self.builder.creg(circuit.num_clbits)
        self.sources = {}
        self.measured = False
        steps = list(self._flatten(circuit, list(range(circuit.num_qubits)), None))
        branching = self._branching_measurements(steps)
        used, done = set(), set()
        for k, (op, qubits, clbits, condition) in enumerate(steps):
            self._emit(op, qubits, clbits, condition, k in branching, used, done)

    def _flatten(self, block, qubits, condition):
        """(operation, qubits, clbits, condition) in program order, with
        if_else bodies unrolled under their condition."""
        for instruction in block.data:
            op = instruction.operation
            targets = [qubits[block.find_bit(q).index] for q in instruction.qubits]
            clbits = [self.top.find_bit(c).index for c in instruction.clbits]
            if isinstance(op, IfElseOp):
                if condition is not None:
                    _refuse(op.name, "is nested inside another if_test")
                bits, constant = self._condition(op.condition)
                for body, relation in zip(op.blocks, (EQUAL, NOT_EQUAL)):
                    if body is None:
                        continue
                    if constant is None:
                        # A value the bits cannot hold: the if-body never
                        # runs, the else-body always does.
                        if relation == NOT_EQUAL:
                            yield from self._flatten(body, targets, None)
                        continue
                    yield from self._flatten(body, targets, (bits, relation, constant))
            else:
                yield op, targets, clbits, condition

    def _condition(self, condition):
        """The graph's (bits, constant) for a Qiskit (bit or register, value);
        no constant for a value that the bits cannot hold.
        The graph forms the value with the highest-numbered bit most
        significant, a register with its own bit 0 least significant: the
        constant's bits are put in the graph's order."""
        target, value = condition
        bits = [target] if isinstance(target, Clbit) else list(target)
        value = int(value)
        if not 0 <= value < 2 ** len(bits):
            return None, None
        indices = [self.top.find_bit(b).index for b in bits]
        rank = {index: r for r, index in enumerate(sorted(indices))}
        constant = sum(((value >> k) & 1) << rank[index] for k, index in enumerate(indices))
        return sorted(indices), constant

    @staticmethod
    def _branching_measurements(steps):
        """Steps of measurements whose bit a later condition reads before the
        bit is measured again (a backward liveness pass)."""
        live, branching = set(), set()
        for k in range(len(steps) - 1, -1, -1):
            op, _, clbits, condition = steps[k]
            if op.name == "measure":
                if clbits[0] in live:
                    branching.add(k)
                live.discard(clbits[0])
            elif condition is not None:
                live.update(condition[0])
        return branching

    def _emit(self, op, qubits, clbits, condition, branching, used, done):
        name = op.name
        for q in qubits:
            if q in done:
                _refuse(name, f"acts on qubit {q} after its measurement: the simulator does not "
                              "use a measured qubit again")
        if name in ("barrier", "delay"):
            return
        if name == "reset":
            # Qubits start in |0>: a reset before any use changes nothing.
            if qubits[0] in used:
                _refuse(name, f"on qubit {qubits[0]} after its first use is not supported")
            return
        if name == "measure":
            if condition is not None:
                _refuse(name, "inside an if_test is not supported")
            self.measured = True
            self.sources[clbits[0]] = qubits[0]
            done.add(qubits[0])
            if branching:
                self.builder.measure(qubits, clbits)
            return
        if name not in GATES:
            _refuse(name, "is not in the gate catalogue")
        params = [float(p) for p in op.params] or None
        self.builder.gate(GATES[name], qubits, params=params, condition=condition)
        used.update(qubits)
