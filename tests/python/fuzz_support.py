"""Support for the property-based tests of graph input: the example budget,
a watchdog against hangs, and a small numpy reference simulator that shares
nothing with the extension module, and comparisons of probability maps.

Budget: KOVRA_FUZZ_EXAMPLES (cases per property, scripts/fuzz.sh --hypothesis
raises it); otherwise a bounded CI budget, smaller under the sanitizers
(KOVRA_SANITIZED), where every call is several times slower.
"""

import contextlib
import faulthandler
import math
import os
import tempfile

import numpy as np
import pytest
from hypothesis import HealthCheck, settings

_LONG = int(os.environ.get("KOVRA_FUZZ_EXAMPLES", "0"))
_SANITIZED = bool(os.environ.get("KOVRA_SANITIZED"))


def budget(ci_examples):
    """Settings for a property with `ci_examples` cases in CI."""
    if _LONG:
        examples, derandomize = _LONG, False
    else:
        examples = max(20, ci_examples // 4) if _SANITIZED else ci_examples
        derandomize = True  # the same cases on every CI run
    return settings(
        max_examples=examples,
        deadline=None,
        derandomize=derandomize,
        database=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                               HealthCheck.filter_too_much, HealthCheck.function_scoped_fixture],
    )


WATCHDOG_LOG = os.path.join(tempfile.gettempdir(), f"kovra-watchdog-{os.getpid()}.txt")


@contextlib.contextmanager
def watchdog(seconds=60):
    """Ends the process if the body hangs: a hang must fail the run, not
    stall it. Every thread's traceback goes to WATCHDOG_LOG (pytest captures
    standard error, and an ended process leaves no captured output)."""
    with open(WATCHDOG_LOG, "w") as log:
        faulthandler.dump_traceback_later(seconds, exit=True, file=log)
        try:
            yield
        finally:
            faulthandler.cancel_dump_traceback_later()


# ---- reference simulator --------------------------------------------------

C = 1 / math.sqrt(2)
FIXED = {
    "I": np.eye(2),
    "H": np.array([[C, C], [C, -C]]),
    "X": np.array([[0, 1], [1, 0]]),
    "Y": np.array([[0, -1j], [1j, 0]]),
    "Z": np.array([[1, 0], [0, -1]]),
    "X90": 0.5 * np.array([[1 + 1j, 1 - 1j], [1 - 1j, 1 + 1j]]),
    "Y90": 0.5 * np.array([[1 + 1j, -1 - 1j], [1 + 1j, 1 + 1j]]),
    "Z90": np.diag([1, 1j]),
    "S": np.diag([1, 1j]),
    "Sd": np.diag([1, -1j]),
    "T": np.diag([1, np.exp(1j * math.pi / 4)]),
    "Td": np.diag([1, np.exp(-1j * math.pi / 4)]),
}
# Controlled blocks, control first: the target sees the block when the
# control is 1.
CONTROLLED = {
    "CNOT": np.array([[0, 1], [1, 0]]),
    "YCON": np.array([[0, -1], [1, 0]]),
    "ZCON": np.array([[1, 0], [0, -1]]),
}
ONE_QUBIT = sorted(FIXED)
ROTATION = ["Rx", "Ry", "Rz", "P"]
TWO_QUBIT = sorted(CONTROLLED)


def rotation(name, theta):
    c, s = math.cos(theta / 2), math.sin(theta / 2)
    if name == "Rx":
        return np.array([[c, -1j * s], [-1j * s, c]])
    if name == "Ry":
        return np.array([[c, -s], [s, c]])
    if name == "Rz":
        return np.diag([np.exp(-0.5j * theta), np.exp(0.5j * theta)])
    return np.diag([1, np.exp(1j * theta)])


def _apply(state, n, matrix, qubits):
    """matrix on `qubits` (first one most significant in the matrix), qubit 0
    being the most significant bit of the state index."""
    k = len(qubits)
    psi = state.reshape((2,) * n)
    psi = np.tensordot(matrix.reshape((2,) * (2 * k)), psi, axes=(list(range(k, 2 * k)), qubits))
    psi = np.moveaxis(psi, list(range(k)), qubits)
    return psi.reshape(-1)


def gate_matrix(name, nqubits, theta=None):
    if name in FIXED:
        return FIXED[name]
    if name in ROTATION:
        return rotation(name, theta)
    if name in CONTROLLED:
        m = np.eye(4, dtype=complex)
        m[2:, 2:] = CONTROLLED[name]
        return m
    if name == "CCX":
        m = np.eye(8, dtype=complex)
        m[6:, 6:] = [[0, 1], [1, 0]]
        return m
    raise ValueError(name)


RELATIONS = [
    lambda v, c: v == c, lambda v, c: v != c, lambda v, c: v < c,
    lambda v, c: v > c, lambda v, c: v <= c, lambda v, c: v >= c,
]


class Reference:
    """Branching state-vector simulation in program order. Qubits and bits
    are local (dense) numbers; condition bits are given most significant
    first."""

    def __init__(self, n, nbits):
        self.n = n
        start = np.zeros(2 ** n, dtype=complex)
        start[0] = 1
        self.branches = [(start, [0] * nbits)]
        self.measured = False

    def gate(self, name, qubits, theta=None, condition=None):
        m = gate_matrix(name, len(qubits), theta)
        out = []
        for state, bits in self.branches:
            if condition is None or self._holds(bits, condition):
                state = _apply(state, self.n, m, list(qubits))
            out.append((state, bits))
        self.branches = out

    def measure(self, qubit, bit):
        self.measured = True
        zeros, ones = [], []
        mask = np.array([(i >> (self.n - 1 - qubit)) & 1 for i in range(2 ** self.n)])
        for state, bits in self.branches:
            for outcome, into in ((0, zeros), (1, ones)):
                projected = np.where(mask == outcome, state, 0)
                new_bits = list(bits)
                new_bits[bit] = outcome
                into.append((projected, new_bits))
        self.branches = zeros + ones

    def reset(self, qubit):
        # |0><0| rho |0><0| + X |1><1| rho |1><1| X, as two branches that
        # keep their classical bits.
        self.measured = True
        mask = np.array([(i >> (self.n - 1 - qubit)) & 1 for i in range(2 ** self.n)])
        flip = gate_matrix("X", 1)
        out = []
        for state, bits in self.branches:
            out.append((np.where(mask == 0, state, 0), bits))
            out.append((_apply(np.where(mask == 1, state, 0), self.n, flip, [qubit]), bits))
        self.branches = out

    def clbit_probabilities(self, clbits):
        packed = {}
        for state, bits in self.branches:
            weight = float(np.sum(np.abs(state) ** 2))
            if weight <= 1e-12:
                continue
            key = "".join(str(bits[c]) for c in clbits)
            packed[key] = packed.get(key, 0.0) + weight
        return {k: p for k, p in packed.items() if p > 1e-10}

    @staticmethod
    def _holds(bits, condition):
        order, relation, constant = condition
        value = 0
        for b in order:
            value = (value << 1) + bits[b]
        return RELATIONS[relation](value, constant)

    def probabilities(self, mqubits=()):
        total = np.zeros(2 ** self.n)
        for state, _ in self.branches:
            total += np.abs(state) ** 2
        keep = sorted(set(q for q in mqubits if 0 <= q < self.n)) if mqubits else list(range(self.n))
        packed = {}
        for i, p in enumerate(total):
            if p <= 1e-10:
                continue
            key = "".join("1" if (i >> (self.n - 1 - q)) & 1 else "0" for q in keep)
            packed[key] = packed.get(key, 0.0) + p
        return packed

    def state(self):
        return self.branches[0][0]


def keyed(probabilities, n):
    """A probability list as a map from n-bit keys (index 0 = all zeros),
    without the entries that are zero."""
    return {format(i, f"0{n}b"): p for i, p in enumerate(probabilities) if p > 1e-10}


def assert_close(actual, expected, tol=1e-7):
    """The same keys, and every probability within tol."""
    assert set(actual) == set(expected)
    for key in expected:
        assert actual[key] == pytest.approx(expected[key], abs=tol), key


def assert_close_maps(got, expected, tolerance=1e-7):
    keys = set(got) | set(expected)
    worst = max((abs(got.get(k, 0.0) - expected.get(k, 0.0)) for k in keys), default=0.0)
    assert worst <= tolerance, f"probabilities differ by {worst}: got {got}, expected {expected}"
