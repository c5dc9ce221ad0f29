"""OpenQASM 2 and 3 programs as circuit graphs.

Where each concern lives:
    loader      loads/load_file: the program through qiskit's loader and the
                shared circuit walk (kovra.translate)
    qasm3_scan  the checks OpenQASM 3 programs get on their syntax tree
    limits      the registers and expansions the simulator can hold
"""

from .limits import MAX_EXPANDED_GATES, MAX_QUBITS, QasmError
from .loader import LoadedProgram, Program, load_file, loads

__all__ = ["MAX_EXPANDED_GATES", "MAX_QUBITS", "LoadedProgram", "Program", "QasmError", "load_file", "loads"]
