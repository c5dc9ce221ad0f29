"""What an OpenQASM 2 program may ask for before anything is built.

A register of millions of qubits, or a handful of gate definitions that each
apply the previous one twice, is a few bytes of text, yet parsing it and
building its graph takes minutes and gigabytes before the simulator could
say it cannot run it. These checks read the text (registers) or count the
expansion (definitions) first, and refuse with the file and line.
"""

import math
import re

import kovra_backends


class QasmError(ValueError):
    """A program that cannot be turned into a circuit graph."""


# The simulator's limits, as the extension module states them: it runs at
# most this many qubits, and expands at most this many vertices of
# definition bodies per circuit.
MAX_QUBITS = kovra_backends.MAX_QUBITS
MAX_EXPANDED_GATES = kovra_backends.MAX_EXPANDED_VERTICES
# A run holds at least the state vector (16 bytes an amplitude). What else it
# forms depends on what its result reports (a few qubits' probabilities
# need no vector of them): the run's own guard counts that
# (docs/reliability.md), so the text alone refuses only the vector.
BYTES_PER_AMPLITUDE = 16

# One pass from left to right, so that whichever starts first wins: a string
# keeps the comment markers inside it ("a//b.inc"), a line comment the block
# markers after it. A block comment left open runs to the end of the text,
# where the parser refuses it: a register inside it must not be counted first.
_STRING_OR_COMMENT = re.compile(r'"[^"\n]*"|//[^\n]*|/\*.*?(?:\*/|\Z)', re.S)
_QREG = re.compile(r"\bqreg\s+([A-Za-z_]\w*)\s*\[\s*(\d+)\s*\]")


def available_memory():
    """Bytes the process can still allocate, as the simulator's memory
    guard counts them (its own reading): the machine's available memory
    and, under an address-space or cgroup memory limit, what is left of
    it. None where nothing tells."""
    free = kovra_backends.free_bytes()
    return max(free, 0.0) if math.isfinite(free) else None


def size_text(count):
    """`count` bytes as text for a message, in the largest binary unit that
    keeps it at least 1 ("16.0 TiB")."""
    for unit in ("bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"):
        if count < 1024 or unit == "EiB":
            return f"{count:.0f} {unit}" if unit == "bytes" else f"{count:.1f} {unit}"
        count /= 1024
    return None  # not reached


def _place(source, offset, filename):
    line = source.count("\n", 0, offset) + 1
    return f"line {line} of {filename}" if filename else f"line {line}"


def strip_comments(source):
    """`source` with its // and /* */ comments blanked (strings kept).
    Blanked, not removed, so offsets still give the line."""

    def blank(match):
        text = match.group()
        return text if text.startswith('"') else re.sub(r"[^\n]", " ", text)

    return _STRING_OR_COMMENT.sub(blank, source)


def check_registers(source, filename=None, memory=True):
    """Refuses, from the text alone, quantum registers that together pass
    the simulator's qubit limit (QasmError) or, with `memory`, whose state
    vector the memory cannot hold (MemoryError). The message names the
    register that crosses the line."""

    code = strip_comments(source)
    total = 0
    for match in _QREG.finditer(code):
        total += int(match.group(2))
        declared = f"qreg {match.group(1)}[{match.group(2)}] ({_place(source, match.start(), filename)})"
        check_total(declared, total, memory)


def check_total(declared, total, memory=True):
    """Refuses `total` qubits, which the register `declared` (its
    declaration and place, for the message) brings the program to: past the
    simulator's limit (QasmError) or, with `memory`, past the memory
    (MemoryError)."""
    if total > MAX_QUBITS:
        raise QasmError(f"{declared} brings the program to {total} qubits; the simulator "
                        f"runs at most {MAX_QUBITS}")
    needed = BYTES_PER_AMPLITUDE * 2.0 ** total
    if not memory or needed < 16 * 2**20:
        return  # smaller than anything worth asking the machine about
    free = available_memory()
    if free is not None and needed > free:
        raise MemoryError(f"{declared} brings the program to {total} qubits, whose state "
                          f"vector needs {size_text(needed)}; {size_text(free)} are available")


class ExpansionCounter:
    """How many catalogue gates applying an instruction comes to, with the
    bodies of gates the program defines expanded. Each definition is counted
    once per set of arguments, so a chain of doubling definitions costs a
    step per link, not the 2^n gates it means."""

    def __init__(self, gates_of_table_gate, is_defined, measurements):
        self._table = gates_of_table_gate  # op -> its lowered step count, or None
        self._is_defined = is_defined
        self._measurements = measurements
        self._known = {}

    def count(self, op):
        """The catalogue gates a Qiskit instruction `op` comes to."""
        name = op.name
        if name in ("barrier", "delay"):
            return 0
        if name == "if_else":
            return self.block(op.blocks[0])
        if name == "measure":
            return 1 if self._measurements else 0
        if name == "reset":
            return 1
        table = self._table(op)
        if table is not None:
            return table
        if not self._is_defined(op):
            return 0  # refused when it is reached
        key = (name, tuple(_hashable(p) for p in op.params))
        if key not in self._known:
            self._known[key] = self.block(op.definition)
        return self._known[key]

    def block(self, block):
        """The catalogue gates of every instruction of circuit `block`."""
        return sum(self.count(instruction.operation) for instruction in block.data)


def _hashable(value):
    try:
        number = float(value)
    except (TypeError, ValueError):
        return repr(value)
    return number if not math.isnan(number) else "nan"

