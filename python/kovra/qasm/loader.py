"""OpenQASM 2 and 3 programs as circuit graphs.

qiskit's OpenQASM 2 loader parses the program (OpenQASM 3: qiskit's
loader through qiskit-qasm3-import, and the transpiler puts its standard
gates onto the gate table, as for ``KovraBackend``); every instruction is then
lowered onto the gate catalogue (the table is in ``gate_table``) and appended
with the project's graph builder, by the lowering that ``KovraBackend`` uses
as well (``kovra.translate.circuit_walk``). Gates that the program defines itself
(``gate name ... { ... }``) are expanded into their bodies. Anything else
(an ``opaque`` gate, say) is refused with the gate's name, the file and the
line, and the names that are supported.
"""

import inspect
import re
from dataclasses import dataclass, field

import qiskit.qasm2

from ..builder import CircuitBuilder
from ..translate import circuit_walk as lowering
from ..translate.gate_table import LOWERINGS, lower
from . import qasm3_scan
from .limits import MAX_EXPANDED_GATES, MAX_QUBITS, ExpansionCounter, QasmError, check_registers


@dataclass
class LoadedProgram:
    """A loaded program: its graph builder and what it measures. (The
    extension module's ``Program`` is a compiled graph; this is the text's.)"""

    builder: CircuitBuilder
    num_qubits: int
    measured: list = field(default_factory=list)  # measured qubits, in order
    conditioned: bool = False
    clbit_names: list = field(default_factory=list)  # "c[0]", ... in classical bit order
    # OpenQASM 3 `input` name -> its line: free parameters of the graph,
    # whose values kovra_backends.compile(graph, config).run(values) takes.
    inputs: dict = field(default_factory=dict)
    written: list = field(default_factory=list)  # the classical bits measurements write, ascending

    def capsule(self):
        """The graph's capsule, what ``BasicSimulator().execute`` and
        ``NMR().execute`` take; it keeps the graph alive."""
        return self.builder.capsule()


# The name it had before; ``kovra.qasm.Program`` keeps importing.
Program = LoadedProgram


def load_file(path, measurements=True):
    """`loads` of the program in file `path`; errors name the file."""
    with open(path, "rb") as f:
        data = f.read()
    try:
        source = data.decode("utf-8")
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        column = error.start - (data.rfind(b"\n", 0, error.start) + 1) + 1
        raise QasmError(f"{path}:{line}:{column}: the program is not UTF-8 text "
                        f"(byte 0x{data[error.start]:02x})") from None
    return loads(source, measurements=measurements, filename=str(path))


def loads(source, measurements=True, builder=None, filename=None):
    """Builds the circuit graph of an OpenQASM 2 program.

    With ``measurements`` false the measurements are left out of the graph
    and only recorded in ``LoadedProgram.measured`` (for back ends that measure at
    the end by themselves). ``builder`` receives the lowered program instead
    of a new ``CircuitBuilder``: anything with its qreg, creg, gate and
    measure methods. ``filename``, when given, is named in error messages.

    Registers the simulator cannot hold are refused from the text, before
    anything is parsed: more qubits than it runs raise QasmError and, when
    the graph is for this process's simulator (no ``builder`` given), more
    than the memory holds MemoryError."""
    if _version(source) == 3:
        circuit, scan = _load3(source, filename, memory=builder is None)
        return _ProgramLowering(source, measurements, builder, filename, scan).run(circuit)
    check_registers(source, filename, memory=builder is None)
    try:
        # The legacy instruction set adds qiskit's extended gates (p, sx, ...)
        # to qelib1.inc, so that programs written for qiskit load as well.
        circuit = qiskit.qasm2.loads(
            source, custom_instructions=qiskit.qasm2.LEGACY_CUSTOM_INSTRUCTIONS
        )
    except qiskit.qasm2.QASM2ParseError as error:
        raise QasmError(_parse_message(error, filename)) from None
    return _ProgramLowering(source, measurements, builder, filename).run(circuit)


def _version(source):
    """The major version the program declares (2 when it declares none)."""
    without_comments = re.sub(r"//[^\n]*|/\*.*?\*/", "", source, flags=re.S)
    found = re.match(r"\s*OPENQASM\s+(\d+)", without_comments)
    return int(found.group(1)) if found else 2


def _load3(source, filename, memory=True):
    """An OpenQASM 3 program as a circuit of the gate table's gates, and
    what its syntax tree told (``qasm3_scan.Scan``)."""
    import qiskit_qasm3_import

    from ..qiskit.backend_lowering import UnsupportedInstructionError, _check_supported, gate_table_target

    # Checked on the tree: the loader would build what is refused first.
    tree = qasm3_scan.parse(source, filename)
    scan = qasm3_scan.check(tree, filename, memory)
    try:
        circuit = qiskit_qasm3_import.convert(tree)
    except Exception as error:  # noqa: BLE001  (the loader raises its parser's own types)
        # The converter says "line,column: why"; name the file as the
        # OpenQASM 2 errors do.
        message = str(error).strip('"')
        found = re.match(r"(\d+),(\d+): (.*)", message, flags=re.S)
        if found:
            message = f"{found.group(1)}:{found.group(2)}: {found.group(3)}"
        raise QasmError(f"{filename or '<input>'}:{message}" if found else f"{filename or '<input>'}: {message}") \
            from None
    if circuit.num_qubits > MAX_QUBITS:  # registers whose size the tree did not say
        raise QasmError(f"{filename or '<input>'}: the program declares {circuit.num_qubits} qubits; the "
                        f"simulator runs at most {MAX_QUBITS}")
    try:
        _check_supported(circuit)
    except UnsupportedInstructionError as error:
        raise QasmError(f"{filename or '<input>'}: {error}") from None
    return qiskit.transpile(circuit, target=gate_table_target(), optimization_level=0), scan


def _parse_message(error, filename):
    # qiskit calls a program given as text "<input>"; say which file it was.
    message = str(error).strip('"')
    if filename is None:
        return message
    if message.startswith("<input>:"):
        return filename + message[len("<input>"):]
    return f"{filename}: {message}"


def _instruction_class(custom):
    constructor = custom.constructor
    # delay's constructor is a function; what it builds is a Delay.
    return constructor if inspect.isclass(constructor) else type(constructor(0))


# Qiskit's operations for statements of the program, which say no line.
_STATEMENT_WORDS = {"break_loop": "break", "continue_loop": "continue", "for_loop": "for", "while_loop": "while"}
_TABLE_NAMES = {}  # qiskit operation class -> OpenQASM name in LOWERINGS, or None


def _table_name(op):
    """The OpenQASM name under which `op` is in LOWERINGS, or None.

    qiskit turns the table's gates into its own classes, some under other
    names (c3x and c4x both become "mcx", rc3x "rcccx"), while gates the
    program defines keep their names but are of no such class: the class,
    not the name, tells which gate a statement applied."""
    kind = type(op)
    if kind not in _TABLE_NAMES:
        _TABLE_NAMES[kind] = next(
            (custom.name for custom in qiskit.qasm2.LEGACY_CUSTOM_INSTRUCTIONS
             if issubclass(kind, _instruction_class(custom)) and custom.name in LOWERINGS),
            None)
    return _TABLE_NAMES[kind]


def _statement_line(source, name):
    """1-based line of the first statement that applies `name`, or None."""
    # A statement starts a line or follows ';', '{' (a gate body) or ')' (an
    # if); declarations ("gate name", "opaque name") do not match.
    pattern = re.compile(r"(?:^|;|\{|\))\s*" + re.escape(name) + r"\b\s*[(\w]")
    for number, line in enumerate(source.splitlines(), start=1):
        code = line.split("//", 1)[0]
        if pattern.search(code):
            return number
    return None


def _defined_gates(source):
    without_comments = re.sub(r"//[^\n]*", "", source)
    return set(re.findall(r"\bgate\s+(\w+)", without_comments))


class _ProgramLowering:
    """An OpenQASM program's circuit through the shared lowering: gates of
    the table are known by their class, gates the program defines are
    expanded, and refusals name the file and the line."""

    def __init__(self, source, measurements, builder=None, filename=None, scan=None):
        self.source = source
        self.filename = filename
        self.scan = scan if scan is not None else qasm3_scan.Scan()
        self.defined = _defined_gates(source)
        self.builder = CircuitBuilder() if builder is None else builder
        self.counter = ExpansionCounter(self._table_gate_count, self._is_defined, measurements)
        supported = ", ".join(sorted(LOWERINGS))
        self.options = lowering.LoweringOptions(
            refuse=self._refuse, table_name=_table_name, expands=self._is_defined,
            unknown_why=("has no lowering onto the gate catalogue; supported are "
                         f"{supported}, and gates the program defines with 'gate'"),
            measurements=measurements)

    def run(self, circuit):
        self._check_expansion(circuit)
        lowered = lowering.CircuitLowering(self.builder, self.options).run(circuit)
        return LoadedProgram(self.builder, circuit.num_qubits, lowered.measured, lowered.conditioned,
                       self._clbit_names(circuit), dict(self.scan.inputs), sorted(lowered.written))

    def _clbit_names(self, circuit):
        """Each classical bit's name, in the graph's bit order: "c[0]" for a
        register's bit, the declared name for a bit of no register
        (OpenQASM 3's `bit a;`)."""
        scalars = iter(self.scan.scalar_bits)
        names = []
        for k, bit in enumerate(circuit.clbits):
            registers = circuit.find_bit(bit).registers
            if registers:
                register, index = registers[0]
                names.append(f"{register.name}[{index}]")
            else:
                names.append(next(scalars, f"bit {k}"))
        return names

    def _is_defined(self, op):
        return op.name in self.defined and op.definition is not None

    def _table_gate_count(self, op):
        name = _table_name(op)
        return None if name is None else len(lower(name, lowering.finite_angles(name, op, self._refuse)))

    def _check_expansion(self, circuit):
        """Refuses, before anything is built, a program whose defined gates
        expand to more gates than the simulator expands definitions into."""
        expanded = 0
        for instruction in circuit.data:
            op = instruction.operation
            body = op.blocks[0] if op.name == "if_else" else None
            applied = body.data[0].operation if body is not None and body.data else op
            if not self._is_defined(applied):
                continue
            count = self.counter.count(op)
            expanded += count
            if expanded > MAX_EXPANDED_GATES:
                total = "" if count == expanded else f", bringing the program's expanded gates to {expanded}"
                self._refuse(applied.name, f"expands to {count} gates{total}; the simulator expands "
                             f"definitions into at most {MAX_EXPANDED_GATES}")

    def _refuse(self, name, why):
        if name in _STATEMENT_WORDS:
            # The circuit keeps no line; the tree knew where each one is.
            word = _STATEMENT_WORDS[name]
            lines = sorted(set(self.scan.lines.get(word, [])))
            place = [f"line{'s' if len(lines) > 1 else ''} {', '.join(map(str, lines))}"] if lines else []
            if self.filename is not None:
                place.append(f"of {self.filename}" if place else self.filename)
            raise QasmError(f"'{word}' ({' '.join(place)}) {why}" if place else f"'{word}' {why}")
        # The program spells qiskit's if_else as "if".
        name = "if" if name == "if_else" else name
        line = _statement_line(self.source, name)
        place = [] if line is None else [f"line {line}"]
        if self.filename is not None:
            place.append(f"of {self.filename}" if place else self.filename)
        where = f" ({' '.join(place)})" if place else ""
        raise QasmError(f"gate '{name}'{where} {why}")
