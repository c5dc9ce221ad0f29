"""OpenQASM 2 programs as circuit graphs.

qiskit's OpenQASM 2 loader parses the program; every instruction is then
mapped onto the gate catalogue and appended with the project's graph builder.
Gates that the program defines itself (``gate name ... { ... }``) are
expanded into their bodies. Anything without a catalogue equivalent is
refused with the gate's name and its line.
"""

import re
from dataclasses import dataclass, field

import qiskit.qasm2

from .builder import EQUAL, CircuitBuilder

# OpenQASM 2 name -> catalogue name.
CATALOGUE = {
    "id": "I",
    "h": "H",
    "x": "X",
    "y": "Y",
    "z": "Z",
    "s": "S",
    "sdg": "Sd",
    "t": "T",
    "tdg": "Td",
    "sx": "X90",
    "rx": "Rx",
    "ry": "Ry",
    "rz": "Rz",
    "p": "P",
    "u1": "P",
    "cx": "CNOT",
    "cz": "ZCON",
    "ccx": "CCX",
}


class QasmError(ValueError):
    """A program that cannot be turned into a circuit graph."""


@dataclass
class Program:
    """A loaded program: its graph builder and what it measures."""

    builder: CircuitBuilder
    num_qubits: int
    measured: list = field(default_factory=list)  # measured qubits, in order
    conditioned: bool = False

    def capsule(self):
        return self.builder.capsule()


def load_file(path, measurements=True):
    with open(path, encoding="utf-8") as f:
        return loads(f.read(), measurements=measurements)


def loads(source, measurements=True, builder=None):
    """Builds the circuit graph of an OpenQASM 2 program.

    With ``measurements`` false the measurements are left out of the graph
    and only recorded in ``Program.measured`` (for back ends that measure at
    the end by themselves). ``builder`` receives the lowered program instead
    of a new ``CircuitBuilder``: anything with its qreg, creg, gate and
    measure methods."""
    try:
        # The legacy instruction set adds qiskit's extended gates (p, sx, ...)
        # to qelib1.inc, so that programs written for qiskit load as well.
        circuit = qiskit.qasm2.loads(
            source, custom_instructions=qiskit.qasm2.LEGACY_CUSTOM_INSTRUCTIONS
        )
    except qiskit.qasm2.QASM2ParseError as error:
        raise QasmError(str(error)) from None
    return _Lowering(source, measurements, builder).run(circuit)


def _statement_line(source, name):
    """1-based line of the first statement that applies `name`, or None."""
    pattern = re.compile(r"(?:^|;|\))\s*" + re.escape(name) + r"\b\s*[(\w]")
    for number, line in enumerate(source.splitlines(), start=1):
        code = line.split("//", 1)[0]
        if re.match(r"\s*(gate|opaque)\b", code):
            continue
        if pattern.search(code):
            return number
    return None


def _defined_gates(source):
    without_comments = re.sub(r"//[^\n]*", "", source)
    return set(re.findall(r"\bgate\s+(\w+)", without_comments))


class _Lowering:
    def __init__(self, source, measurements, builder=None):
        self.source = source
        self.measurements = measurements
        self.defined = _defined_gates(source)
        self.builder = CircuitBuilder() if builder is None else builder
        self.measured = []
        self.conditioned = False

    def run(self, circuit):
        for register in circuit.qregs:
            self.builder.qreg(register.size)
        for register in circuit.cregs:
            self.builder.creg(register.size)
        qubits = [circuit.find_bit(q).index for q in circuit.qubits]
        self._emit(circuit, circuit, qubits, None)
        return Program(self.builder, circuit.num_qubits, self.measured, self.conditioned)

    def _refuse(self, name, why="has no equivalent in the gate catalogue"):
        line = _statement_line(self.source, name)
        where = f" (line {line})" if line is not None else ""
        raise QasmError(f"gate '{name}'{where} {why}")

    def _emit(self, top, block, qubits, condition):
        """Appends the instructions of `block`, whose qubit k is `qubits[k]`."""
        for instruction in block.data:
            op = instruction.operation
            targets = [qubits[block.find_bit(q).index] for q in instruction.qubits]
            if op.name == "barrier":
                continue
            if op.name == "if_else":
                self._emit_if(top, block, instruction, targets, condition)
            elif op.name == "measure":
                self._emit_measure(top, block, instruction, targets, condition)
            elif op.name in CATALOGUE:
                params = [float(p) for p in op.params] or None
                self.builder.gate(CATALOGUE[op.name], targets, params=params, condition=condition)
            elif op.name in self.defined and op.definition is not None:
                self._emit(top, op.definition, targets, condition)
            else:
                self._refuse(op.name)

    def _emit_if(self, top, block, instruction, targets, condition):
        op = instruction.operation
        if condition is not None:
            self._refuse("if", "is nested inside another condition")
        register, value = op.condition
        bits = [top.find_bit(b).index for b in register]
        self.conditioned = True
        body = op.blocks[0]
        self._emit(top, body, targets, (bits, EQUAL, int(value)))

    def _emit_measure(self, top, block, instruction, targets, condition):
        if condition is not None:
            self._refuse("measure", "cannot be conditioned")
        clbits = [top.find_bit(c).index for c in instruction.clbits]
        self.measured.extend(q for q in targets if q not in self.measured)
        if self.measurements:
            self.builder.measure(targets, clbits)
