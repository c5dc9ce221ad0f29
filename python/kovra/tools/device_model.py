"""The emulated NMR device's physics: a density matrix of at most
``MAX_QUBITS`` qubits under the task's gates, relaxing towards |0> when
given T1 and T2, and the probabilities of the measured qubits.

numpy alone: it shares nothing with the extension module, so the two
back ends check each other.
"""

import json

import numpy as np

MAX_QUBITS = 3

# The constants of the gate catalogue: the Hadamard entry and the value of pi
# used to turn degrees into radians.
C = 0.707106781173095
PI = 3.1415926532


def _fixed(rows):
    return np.array(rows, dtype=complex)


FIXED_GATES = {
    "I": _fixed([[1, 0], [0, 1]]),
    "H": _fixed([[C, C], [C, -C]]),
    "X": _fixed([[0, 1], [1, 0]]),
    "Y": _fixed([[0, -1j], [1j, 0]]),
    "Z": _fixed([[1, 0], [0, -1]]),
    "X90": _fixed([[0.5 + 0.5j, 0.5 - 0.5j], [0.5 - 0.5j, 0.5 + 0.5j]]),
    "Y90": _fixed([[0.5 + 0.5j, -0.5 - 0.5j], [0.5 + 0.5j, 0.5 + 0.5j]]),
    "Z90": _fixed([[1, 0], [0, 1j]]),
    "S": _fixed([[1, 0], [0, 1j]]),
    "Sd": _fixed([[1, 0], [0, -1j]]),
    "T": _fixed([[1, 0], [0, C + C * 1j]]),
    "Td": _fixed([[1, 0], [0, C - C * 1j]]),
    "CNOT": _fixed([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 0, 1], [0, 0, 1, 0]]),
    "YCON": _fixed([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 0, -1], [0, 0, 1, 0]]),
    "ZCON": _fixed([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, -1]]),
    "CCX": np.eye(8, dtype=complex)[[0, 1, 2, 3, 4, 5, 7, 6]],
}


def _rx(a):
    c, s = np.cos(a / 2), np.sin(a / 2)
    return np.array([[c, -1j * s], [-1j * s, c]])


def _ry(a):
    c, s = np.cos(a / 2), np.sin(a / 2)
    return np.array([[c, -s], [s, c]], dtype=complex)


def _rz(a):
    return np.array([[np.exp(-0.5j * a), 0], [0, np.exp(0.5j * a)]])


def _p(a):
    return np.array([[1, 0], [0, np.exp(1j * a)]])


ROTATIONS = {"Rx": _rx, "Ry": _ry, "Rz": _rz, "P": _p}


class TaskError(Exception):
    """The task document cannot be run."""


def gate_matrix(name, degrees):
    """The matrix of the device operation `name` at `degrees` (rotations
    only); TaskError for an operation the device does not know."""
    if name in FIXED_GATES:
        return FIXED_GATES[name]
    if name in ROTATIONS:
        return ROTATIONS[name](degrees * PI / 180.0)
    raise TaskError(f"unknown operation {name!r}")


def _is_int(value):
    return isinstance(value, int) and not isinstance(value, bool)


def parse_task(document, qubits):
    """Checks the structure of a task document; raises ValueError if malformed."""
    if not _is_int(qubits) or not 1 <= qubits <= MAX_QUBITS:
        raise ValueError("qubit count")
    task = json.loads(document)
    if not isinstance(task, dict) or not isinstance(task.get("gates"), list):
        raise ValueError("gates")
    for op in task["gates"]:
        if not isinstance(op, dict) or not isinstance(op.get("type"), str):
            raise ValueError("operation")
        for key in ("controlQubit", "controlQubit2", "delay", "qubitIndex", "timeslot"):
            if not _is_int(op.get(key)):
                raise ValueError(key)
        angle = op.get("angle")
        if isinstance(angle, bool) or not isinstance(angle, (int, float)):
            raise ValueError("angle")
    measures = task.get("measures")
    if measures is not None:
        if (not isinstance(measures, list) or len(measures) != qubits
                or any(flag not in (0, 1) or isinstance(flag, bool) for flag in measures)):
            raise ValueError("measures")
    return task


def _apply(rho, tensor, targets, qubits):
    """rho -> U rho U^dagger for the gate tensor on `targets`."""
    arity = len(targets)
    inputs = list(range(arity, 2 * arity))
    for axes, factor in ((targets, tensor), ([qubits + q for q in targets], tensor.conj())):
        rho = np.tensordot(factor, rho, axes=(inputs, axes))
        rho = np.moveaxis(rho, list(range(arity)), axes)
    return rho


class Relaxation:
    """T1 and T2 (seconds, T2 <= 2 T1) and each operation's duration."""

    def __init__(self, t1, t2, gate_times=None, default_time=0.0):
        if not (t1 > 0 and 0 < t2 <= 2 * t1):
            raise ValueError(f"relaxation times need T1 > 0 and 0 < T2 <= 2 T1, got T1={t1}, T2={t2}")
        self.t1, self.t2 = t1, t2
        self.gate_times = dict(gate_times or {})
        self.default_time = default_time

    def duration(self, name):
        """Seconds operation `name` takes (the default for unlisted ones)."""
        return self.gate_times.get(name, self.default_time)

    def kraus(self, time):
        """Amplitude damping to exp(-time/T1), then the dephasing that
        brings the coherences to exp(-time/T2)."""
        gamma = 1 - np.exp(-time / self.t1)
        kept = min(1.0, np.exp(-2 * time / self.t2 + time / self.t1))  # 1 - lambda
        a, p, l = np.sqrt(1 - gamma), np.sqrt(kept), np.sqrt(1 - kept)
        return [np.array(m, dtype=complex) for m in ([[1, 0], [0, a * p]], [[0, np.sqrt(gamma)], [0, 0]],
                                                     [[0, 0], [0, a * l]])]


def _relax(rho, relaxation, time, qubits):
    """Every qubit relaxes for `time` seconds."""
    if time <= 0:
        return rho
    operators = relaxation.kraus(time)
    for q in range(qubits):
        rho = sum(_apply(rho, k, [q], qubits) for k in operators)
    return rho


def _measure(rho, qubit, qubits):
    """A projective measurement whose outcome is not looked at: the
    coherences between the two values of the qubit vanish."""
    rho = rho.copy()
    for ket, bra in ((0, 1), (1, 0)):
        index = [slice(None)] * (2 * qubits)
        index[qubit], index[qubits + qubit] = ket, bra
        rho[tuple(index)] = 0
    return rho


def run_task(task, qubits, relaxation=None):
    """The probabilities of the measured qubits after the task's operations,
    the lowest-numbered measured qubit most significant, so that entry i is
    the result key that writes i in binary (docs/results.md, "Key order").
    Operations run in time-slot order; the density
    matrix lets a MEASURE operation inside the task act as the measurement
    it is. With `relaxation`, every qubit relaxes at the end of each slot
    for as long as its slowest operation takes."""
    rho = np.zeros((2,) * (2 * qubits), dtype=complex)
    rho[(0,) * (2 * qubits)] = 1.0
    ops = sorted(task["gates"], key=lambda op: op["timeslot"])
    for k, op in enumerate(ops):
        rho = _run_operation(rho, op, qubits)
        if relaxation is not None and (k + 1 == len(ops) or ops[k + 1]["timeslot"] != op["timeslot"]):
            slot = [o for o in ops if o["timeslot"] == op["timeslot"]]
            rho = _relax(rho, relaxation, max(relaxation.duration(o["type"]) for o in slot), qubits)
    size = 2 ** qubits
    probabilities = np.real(np.diagonal(rho.reshape(size, size))).reshape((2,) * qubits)
    flags = task.get("measures")
    if flags is not None:
        dropped = tuple(q for q in range(qubits) if not flags[q])
        if dropped:
            probabilities = probabilities.sum(axis=dropped)
    return [float(p) for p in np.ravel(probabilities)]


def _run_operation(rho, op, qubits):
    """One operation of a task on rho."""
    c1, c2, target = op["controlQubit"], op["controlQubit2"], op["qubitIndex"]
    if op["type"] == "MEASURE":
        if c1 != -1 or c2 != -1 or not 0 <= target < qubits:
            raise TaskError(f"MEASURE on qubit {target} of {qubits}")
        return _measure(rho, target, qubits)
    matrix = gate_matrix(op["type"], op["angle"])
    arity = matrix.shape[0].bit_length() - 1
    wires = {1: ([target], c1 == -1 and c2 == -1),
             2: ([c1, target], c1 != -1 and c2 == -1),
             3: ([c1, c2, target], c1 != -1 and c2 != -1)}
    targets, fits = wires[arity]
    if not fits:
        raise TaskError(f"{op['type']} acts on {arity} qubit(s)")
    if any(not 0 <= q < qubits for q in targets) or len(set(targets)) != arity:
        raise TaskError(f"{op['type']} on qubits {targets} of {qubits}")
    return _apply(rho, matrix.reshape((2,) * (2 * arity)), targets, qubits)
