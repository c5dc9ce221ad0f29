"""Noise for the Qiskit front end: channel instructions in a circuit
("kraus", "superop", "quantum_channel") and a ``qiskit_aer.noise.NoiseModel``,
both made into the graph's "KRAUS" vertices and measurement readout errors.

Qiskit orders a channel's matrices with the instruction's first qubit as the
lowest bit; a "KRAUS" vertex lists its first qubit as the top bit, so the
qubits go to the graph in reverse order."""

import kovra_backends
import numpy as np

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
    probabilities (row: the outcome, column: the value recorded)."""

    def __init__(self, model, instructions=None):
        """`instructions`: the names the lowering keeps; an error on any other
        instruction would never be met, and is refused."""
        if getattr(model, "_custom_noise_passes", None):
            raise UnsupportedNoiseError("the noise model's custom noise passes are not supported")
        for name in model.noise_instructions if instructions is not None else ():
            if name not in instructions:
                raise UnsupportedNoiseError(f"the noise model has an error on '{name}', which kovra's gate table "
                                            "translates into other gates: the error would never be applied")
        self._default = {name: self._operators(name, error) for name, error in model._default_quantum_errors.items()}
        self._local = {name: {tuple(q): self._operators(name, error) for q, error in by_qubits.items()}
                       for name, by_qubits in model._local_quantum_errors.items()}
        self._readout_default = self._readout(model._default_readout_error)
        self._readout_local = {tuple(q): self._readout(error) for q, error in model._local_readout_errors.items()}
        for qubits in self._readout_local:
            if len(qubits) != 1:
                raise UnsupportedNoiseError(f"the readout error on qubits {list(qubits)} is correlated; kovra takes "
                                            "readout errors of one qubit")

    @staticmethod
    def _operators(name, error):
        if error.num_qubits > MAX_CHANNEL_QUBITS:
            raise UnsupportedNoiseError(f"the quantum error on '{name}' acts on {error.num_qubits} qubits; kovra "
                                        f"takes channels of at most {MAX_CHANNEL_QUBITS}")
        from qiskit.quantum_info import Kraus

        return Kraus(error).data

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
        local = self._local.get(name, {})
        if tuple(qubits) in local:
            return local[tuple(qubits)]
        return self._default.get(name)

    def readout(self, qubit):
        """The readout error's probabilities for a measurement of `qubit`, or None."""
        return self._readout_local.get((qubit,), self._readout_default)
