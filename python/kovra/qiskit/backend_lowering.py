"""How ``kovra.qiskit`` and its primitives lower a Qiskit circuit: the
transpiler's target (the project's gate table), the refusals of what the
simulator cannot run, and the lowering through the graph builder."""

import dataclasses

from qiskit import transpile
from qiskit.circuit import (Barrier, BreakLoopOp, ContinueLoopOp, ControlFlowOp, Delay, ForLoopOp, IfElseOp,
                            Instruction, Measure, Reset, SwitchCaseOp, WhileLoopOp)
from qiskit.circuit.library import get_standard_gate_name_mapping
from qiskit.transpiler import Target

import kovra_backends

from ..builder import CircuitBuilder
from ..translate.circuit_walk import DEFAULT_WHILE_LIMIT, CircuitLowering, LoweringOptions
from ..translate.noise import CHANNEL_INSTRUCTIONS, NoiseLookup
from ..translate.gate_table import LOWERINGS

# Qiskit's standard gates that the project's gate table lowers (under the
# same names): the transpiler's basis. Other gates are translated onto them.
_STANDARD = get_standard_gate_name_mapping()
GATES = sorted(name for name in LOWERINGS if name in _STANDARD and name != "delay")
# Instructions lowered without a gate: skipped, or handled by the lowering.
_OTHER = {"measure": Measure(), "reset": Reset(), "barrier": Barrier, "delay": Delay(1), "if_else": IfElseOp,
          "for_loop": ForLoopOp, "switch_case": SwitchCaseOp, "while_loop": WhileLoopOp,
          "break_loop": BreakLoopOp, "continue_loop": ContinueLoopOp,
          **{name: Instruction for name in CHANNEL_INSTRUCTIONS}}


class UnsupportedInstructionError(ValueError):
    """A circuit holds an instruction the simulator cannot run; the message
    names it."""


def _refuse(name, why):
    raise UnsupportedInstructionError(f"instruction '{name}' {why}")


# The transpiled circuit holds the table's gates under their own names. A
# delay waits, which changes nothing on an ideal machine, however its
# duration is given (a stretch has no value to read).
_OPTIONS = LoweringOptions(
    refuse=_refuse, table_name=lambda op: op.name if op.name in GATES else None,
    expands=lambda op: False, unknown_why="is not in the gate table",
    skipped=frozenset({"barrier", "delay"}))


def gate_table_target():
    """The transpiler's target: the table's gates and the instructions the
    lowering takes, on every qubit pair, without noise."""
    target = Target(num_qubits=None, description="every qubit pair, no noise")
    for name in GATES:
        target.add_instruction(_STANDARD[name], name=name)
    for name, instruction in _OTHER.items():
        target.add_instruction(instruction, name=name)
    return target


def lower_circuit(circuit, backend=None, while_limit=DEFAULT_WHILE_LIMIT, noise=None):
    """`circuit` transpiled onto the gate table and lowered into a graph
    builder, while loops unrolled `while_limit` times, the channels of
    `noise` (a ``noise.NoiseLookup``) added: (builder, the lowering with the
    bits it wrote)."""
    target = backend.target if backend is not None else gate_table_target()
    builder = CircuitBuilder()
    options = dataclasses.replace(_OPTIONS, while_limit=_while_limit(while_limit), noise=noise)
    lowered = CircuitLowering(builder, options).run(transpile(circuit, target=target, optimization_level=0))
    return builder, lowered


def noise_lookup(model):
    """The lowering's view of a ``NoiseModel`` (None for none): errors on
    instructions the gate table does not keep are refused."""
    check_noise_model(model)
    return None if model is None else NoiseLookup(model, set(GATES) | {"measure", "reset"})


def check_noise_model(model):
    """Refuses, naming the option, a noise model that is neither None nor a
    ``NoiseModel`` (a dict of errors, say): its errors could not be read."""
    if model is None:
        return
    try:
        from qiskit_aer.noise import NoiseModel
    except ImportError:
        NoiseModel = None
    if NoiseModel is None or not isinstance(model, NoiseModel):
        raise TypeError(f"noise_model must be a qiskit_aer.noise.NoiseModel (or None), not "
                        f"{type(model).__name__}" + ("" if NoiseModel else ": qiskit_aer is not installed"))


def _while_limit(value):
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise ValueError(f"while_limit must be a non-negative int, got {value!r}")
    return value


def compile_measured(circuit, backend=None, while_limit=DEFAULT_WHILE_LIMIT, noise=None, config=None,
                     config_for_bits=None):
    """The circuit lowered with its parameters free and compiled, its
    results keyed by the bits its measurements write: (program, the bits in
    ascending order); no program when it measures nothing and has no while
    loop (whose run refuses it where the loop does not end).
    `config_for_bits(bits)`, when given, adds keys that depend on the bits."""
    builder, lowered = lower_circuit(circuit, backend, while_limit, noise)
    bits = sorted(lowered.written)
    config = dict(config or {}, mcbits=bits, **(config_for_bits(bits) if config_for_bits and bits else {}))
    return (kovra_backends.compile(builder.graph(), config) if bits or lowered.loops else None), bits


def free_parameters(circuit):
    """The circuit's parameters that need values: all but for loops' own."""
    loops = set()

    def collect(block):
        for instruction in block.data:
            op = instruction.operation
            if isinstance(op, ForLoopOp) and op.params[1] is not None:
                loops.add(op.params[1])
            for inner in getattr(op, "blocks", ()):
                collect(inner)

    collect(circuit)
    return [p for p in circuit.parameters if p not in loops]


def _check_supported(circuit):
    """Refuses, before the transpiler sees them, the instructions it would
    keep or could not translate: loops, switches, classical expressions and
    instructions that are neither standard gates (which the transpiler
    translates by its equivalences) nor defined."""
    for instruction in circuit.data:
        op = instruction.operation
        if isinstance(op, ControlFlowOp):
            for block in op.blocks:
                _check_supported(block)
        elif op.name not in _STANDARD and op.name not in _OTHER and op.definition is None:
            _refuse(op.name, "has no definition to lower onto the gate catalogue")
