"""Qiskit circuits on the exact state-vector simulator: ``KovraBackend``, a
Qiskit BackendV2.

A circuit is transpiled (optimization level 0) onto the gates that the
project's gate table (``qasm_gates``) lowers, then lowered instruction by
instruction with the graph builder and run on ``BasicSimulator``. Counts are
real samples of the exact distribution of the classical bits, keyed as
Qiskit keys them (registers last to first, separated by spaces; bit 0 of a
register rightmost).

Every measurement outcome is read off the final probabilities of a qubit
that keeps it to the end (see ``_Lowering``). Only the measurements whose
bits a later ``if_test`` reads split the run into branches, so a circuit
measured at the end costs one state vector, not one per outcome.
"""

import collections
import datetime
import uuid
import warnings

import numpy as np
from qiskit import QuantumCircuit, transpile
from qiskit.circuit import Barrier, ClassicalRegister, Clbit, ControlFlowOp, Delay, IfElseOp, Measure, Reset
from qiskit.circuit.library import get_standard_gate_name_mapping
from qiskit.providers import BackendV2, JobStatus, JobV1, Options
from qiskit.result import Result as QiskitResult
from qiskit.result.postprocess import format_counts_memory
from qiskit.result.models import ExperimentResult, ExperimentResultData
from qiskit.transpiler import Target

import kovra_backends

from .builder import EQUAL, NOT_EQUAL, CircuitBuilder
from .qasm_gates import LOWERINGS, lower

# Qiskit's standard gates that the project's gate table lowers (under the
# same names): the transpiler's basis. Other gates are translated onto them.
_STANDARD = get_standard_gate_name_mapping()
GATES = sorted(name for name in LOWERINGS if name in _STANDARD and name != "delay")
# Instructions lowered without a gate: skipped, or handled by the lowering.
# As on the command line: the shots are drawn one by one, and past 2^31 a
# job would run for hours.
MAX_SHOTS = 2**31 - 1
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
        if isinstance(shots, bool) or not isinstance(shots, (int, np.integer)) or not 0 <= shots <= MAX_SHOTS:
            raise ValueError(f"shots must be an int from 0 to {MAX_SHOTS}, got {shots!r}")
        circuits = [run_input] if not isinstance(run_input, (list, tuple)) else list(run_input)
        for circuit in circuits:
            if not isinstance(circuit, QuantumCircuit):
                raise TypeError(f"{self.name} runs QuantumCircuit objects, not {type(circuit).__name__}")
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

    A measurement's outcome is read at the end from a qubit that nothing
    touches after it: the measured qubit itself, or, when the circuit goes on
    using that qubit, a fresh qubit that a CNOT fills with the outcome (the
    copy is what decoheres the measured qubit, exactly as the measurement
    would). A reset moves the qubit onto a fresh qubit in |0> and leaves the
    old one untouched, which traces it out. ``sources`` maps each measured
    classical bit to the qubit its final value is read from.

    A measurement becomes a graph measurement (splitting the run into
    branches) only when a later condition reads its bit before the bit is
    written again; it then measures the qubit the outcome is read from."""

    def __init__(self, circuit):
        self.top = circuit
        steps = list(self._flatten(circuit, list(range(circuit.num_qubits)), None))
        branching, copied = self._plan_measurements(steps)
        self.sources = {}
        self.measured = False
        self._physical = list(range(circuit.num_qubits))
        self._qubit_count = circuit.num_qubits
        actions = []
        touched = set()
        for k, (op, qubits, clbits, condition) in enumerate(steps):
            actions += self._lower(op, qubits, clbits, condition, k in branching, k in copied, touched)
        self.builder = CircuitBuilder()
        self.builder.qreg(self._qubit_count)
        if circuit.num_clbits:
            self.builder.creg(circuit.num_clbits)
        for kind, *arguments in actions:
            getattr(self.builder, kind)(*arguments)

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
            elif op.name == "measure" and len(clbits) != len(targets):
                _refuse(op.name, f"measures {len(targets)} qubit(s) into {len(clbits)} bit(s)")
            elif op.name in ("measure", "reset") and len(targets) > 1:
                # The transpiler passes on any instruction under these names,
                # also one over several qubits: each qubit is its own step.
                for k, qubit in enumerate(targets):
                    yield op, [qubit], clbits[k:k + 1], condition
            elif op.name not in ("barrier", "delay"):
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
    def _plan_measurements(steps):
        """Two backward passes in one: the measurements whose bit a later
        condition reads before the bit is measured again (they branch), and
        those whose qubit is used again before a reset (they are copied)."""
        read_later, used_later = set(), set()
        branching, copied = set(), set()
        for k in range(len(steps) - 1, -1, -1):
            op, qubits, clbits, condition = steps[k]
            if op.name == "reset":
                used_later.discard(qubits[0])
                continue
            if op.name == "measure":
                if clbits[0] in read_later:
                    branching.add(k)
                if qubits[0] in used_later:
                    copied.add(k)
                read_later.discard(clbits[0])
            elif condition is not None:
                read_later.update(condition[0])
            used_later.update(qubits)
        return branching, copied

    def _fresh_qubit(self):
        self._qubit_count += 1
        return self._qubit_count - 1

    def _lower(self, op, qubits, clbits, condition, branching, copied, touched):
        """The builder calls for one step, as (method, arguments...)."""
        name = op.name
        if name == "reset":
            if condition is not None:
                _refuse(name, "inside an if_test is not supported")
            # Qubits start in |0>: a reset before any use changes nothing.
            if self._physical[qubits[0]] in touched:
                self._physical[qubits[0]] = self._fresh_qubit()
            return []
        if name == "measure":
            if condition is not None:
                _refuse(name, "inside an if_test is not supported")
            return self._lower_measure(self._physical[qubits[0]], clbits[0], branching, copied, touched)
        if name not in GATES:
            _refuse(name, "is not in the gate table")
        targets = [self._physical[q] for q in qubits]
        touched.update(targets)
        # The condition goes on every step: together they are the gate.
        return [("gate", step.name, [targets[k] for k in step.positions],
                 None if step.angle is None else [step.angle], condition)
                for step in lower(name, [float(p) for p in op.params])]

    def _lower_measure(self, qubit, clbit, branching, copied, touched):
        self.measured = True
        touched.add(qubit)
        actions = []
        source = qubit
        if copied:
            source = self._fresh_qubit()
            actions.append(("gate", "CNOT", [qubit, source], None, None))
        self.sources[clbit] = source
        if branching:
            actions.append(("measure", [source], [clbit]))
        return actions
