"""Noise for the Qiskit front end: channel instructions in a circuit
("kraus", "superop", "quantum_channel") and a ``qiskit_aer.noise.NoiseModel``,
both made into the graph's "KRAUS" vertices and measurement readout errors.

A model's errors go over as ``noise_kraus.structured_kraus`` gives them (its
unitary terms explicit, the rest at its Kraus rank), each converted the first
time a circuit meets it.

Qiskit orders a channel's matrices with the instruction's first qubit as the
lowest bit; a "KRAUS" vertex lists its first qubit as the top bit, so the
qubits go to the graph in reverse order."""

import weakref

import kovra_backends
import numpy as np

from .noise_kraus import structured_kraus

# The graph's channels act on at most this many qubits.
MAX_CHANNEL_QUBITS = kovra_backends.MAX_CHANNEL_QUBITS
CHANNEL_INSTRUCTIONS = ("kraus", "superop", "quantum_channel")


class UnsupportedNoiseError(ValueError):
    """A noise model holds something kovra cannot run; the message names it."""


def kraus_operators(op):
    """The Kraus matrices of a channel instruction (Qiskit's qubit order)."""
    from qiskit.quantum_info import Kraus, SuperOp

    if op.name == "superop":
        return Kraus(SuperOp(np.asarray(op.params[0]))).data
    return Kraus(op).data


def emit_channel(builder, operators, qubits, condition=None):
    """Appends a channel given in Qiskit's order on circuit qubits `qubits`."""
    builder.kraus(list(reversed(qubits)), operators, condition=condition)


class NoiseLookup:
    """What a ``NoiseModel`` adds to each instruction: the Kraus matrices of
    its quantum error (the error for the instruction's qubits, else the one
    for every qubit) and, for measurements, the readout error's
    probabilities (row: the outcome, column: the value recorded).

    The lookup holds the model's errors as they are when it is made (later
    changes to the model are the next lookup's). An error is converted only
    when a circuit meets it, and once: see ``_converted``."""

    def __init__(self, model, instructions=None):
        """`instructions`: the names the lowering keeps; an error on any other
        instruction would never be met, and is refused."""
        if getattr(model, "_custom_noise_passes", None):
            raise UnsupportedNoiseError("the noise model's custom noise passes are not supported")
        for name in model.noise_instructions if instructions is not None else ():
            if name not in instructions:
                raise UnsupportedNoiseError(f"the noise model has an error on '{name}', which kovra's gate table "
                                            "translates into other gates: the error would never be applied")
        self._default = dict(model._default_quantum_errors)
        self._local = {name: dict(by_qubits) for name, by_qubits in model._local_quantum_errors.items()}
        for name, error in self._default.items():
            self._check_width(name, error)
        for name, by_qubits in self._local.items():
            for error in by_qubits.values():
                self._check_width(name, error)
        self._readout_default = self._readout(model._default_readout_error)
        self._readout_local = {tuple(q): self._readout(error) for q, error in model._local_readout_errors.items()}
        for qubits in self._readout_local:
            if len(qubits) != 1:
                raise UnsupportedNoiseError(f"the readout error on qubits {list(qubits)} is correlated; kovra "
                                            "takes readout errors of one qubit")

    @staticmethod
    def _check_width(name, error):
        if error.num_qubits > MAX_CHANNEL_QUBITS:
            raise UnsupportedNoiseError(f"the quantum error on '{name}' acts on {error.num_qubits} qubits; kovra "
                                        f"takes channels of at most {MAX_CHANNEL_QUBITS}")

    @staticmethod
    def _readout(error):
        if error is None:
            return None
        if error.number_of_qubits != 1:
            raise UnsupportedNoiseError(f"a readout error on {error.number_of_qubits} qubits is correlated; kovra "
                                        "takes readout errors of one qubit")
        return np.asarray(error.probabilities, dtype=np.float64)

    def channel(self, name, qubits):
        """The Kraus matrices the model adds to `name` on `qubits`, or None."""
        error = self._local.get(name, {}).get(tuple(qubits))
        if error is None:
            error = self._default.get(name)
        return None if error is None else _converted(error)

    def readout(self, qubit):
        """The readout error's probabilities for a measurement of `qubit`, or None."""
        return self._readout_local.get((qubit,), self._readout_default)


# The Kraus matrices of every QuantumError converted so far, by the error's
# identity, each entry dropped when its error is collected. Identity is a
# sound key: Aer never changes a QuantumError in place (adding an error
# where one stands stores a new, composed object), so a model that changes
# shows new objects, and every lookup of a model (each run of a backend,
# each PUB of a primitive) shares the conversions of the errors it keeps.
_CONVERTED = {}


def _converted(error):
    """The error's Kraus matrices (read-only), converted on first use."""
    key = id(error)
    operators = _CONVERTED.get(key)
    if operators is None:
        operators = tuple(structured_kraus(error))
        for matrix in operators:
            matrix.setflags(write=False)
        # The entry goes before the id can name another object: the
        # finalizer runs as the error is collected.
        weakref.finalize(error, _CONVERTED.pop, key, None)
        _CONVERTED[key] = operators
    return operators
