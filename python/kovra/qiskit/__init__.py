"""Qiskit circuits on the simulator: the backend ``KovraBackend`` and the
V2 primitives ``Estimator`` and ``Sampler``. The walk of a
``QuantumCircuit`` onto the circuit graph, which OpenQASM programs
(``kovra.qasm``) go through as well, is ``kovra.translate``.

Where each concern lives:
    backend           KovraBackend, its jobs and their Qiskit results
    primitives        Estimator and Sampler
    backend_lowering  the backend's gate target, its checks and options
    estimates         trajectory methods, their options and warnings
"""

from .backend import DRAWN_COUNT_BITS, MAX_SHOTS, KovraBackend, KovraJob
from .backend_lowering import (  # noqa: F401  (GATES and the error are part of this package's face)
    DEFAULT_WHILE_LIMIT,
    GATES,
    UnsupportedInstructionError,
    _check_supported,
    check_noise_model,
    compile_measured,
    free_parameters,
    gate_table_target,
    lower_circuit,
    noise_lookup,
)
from ..translate.noise import UnsupportedNoiseError
from .primitives import Estimator, Sampler

__all__ = [
    "DEFAULT_WHILE_LIMIT", "DRAWN_COUNT_BITS", "GATES", "MAX_SHOTS", "Estimator", "KovraBackend", "KovraJob",
    "Sampler", "UnsupportedInstructionError", "UnsupportedNoiseError", "check_noise_model", "compile_measured",
    "free_parameters", "gate_table_target", "lower_circuit", "noise_lookup",
]
