"""How each gate of OpenQASM 2 programs becomes gates of the catalogue.

``LOWERINGS`` covers qelib1.inc and qiskit's legacy extended set (the gates
qiskit's loader knows without a definition in the program). Gates that a
program defines itself are not looked up here: their bodies are expanded.

Every lowering is exact up to one global phase of the whole gate: the
relative phases, including those between the control blocks of controlled
gates, are the ones of qiskit's matrix of the gate. A global phase on a gate
changes no probability. It stays unobservable under a classical condition
too: a conditioned gate multiplies only the branches whose classical bits
satisfy the condition, but branches differ in a measurement outcome that
stays recorded in the state and that no later gate touches, so they never
interfere and no result depends on the phase between them. Only the state vector of a program without
measurements shows it, as one factor on the whole vector.

Angles are radians, as the graph format takes them.
"""

import math
from typing import NamedTuple, Optional


class Step(NamedTuple):
    """One catalogue gate; `positions` index the lowered gate's qubits."""

    name: str
    positions: tuple
    angle: Optional[float] = None


def _gate(name, *positions):
    return [Step(name, positions)]


def _rotation(name, angle, position):
    # A rotation by exactly 0 is the identity matrix: leaving it out changes
    # nothing and spares a pass over the state vector.
    return [] if angle == 0 else [Step(name, (position,), angle)]


def _u(theta, phi, lam, q=0):
    # qiskit's U(θ, φ, λ) = [[c, -e^{iλ}s], [e^{iφ}s, e^{i(φ+λ)}c]] with
    # c, s = cos θ/2, sin θ/2 is exactly P(φ)·Ry(θ)·P(λ): no phase is lost.
    return _rotation("P", lam, q) + _rotation("Ry", theta, q) + _rotation("P", phi, q)


def _controlled_rotation(axis, theta, control=0, target=1):
    """Controlled R_axis(θ) from R(θ/2), a flip, R(-θ/2), a flip: the flip (X
    for Ry and Rz, Z for Rx) turns R(-θ/2) into R(θ/2), and these SU(2)
    rotations carry no phase, so the control-0 block is exactly I."""
    flip = "ZCON" if axis == "Rx" else "CNOT"
    return (_rotation(axis, theta / 2, target) + _gate(flip, control, target)
            + _rotation(axis, -theta / 2, target) + _gate(flip, control, target))


def _phase_product(angle, positions):
    """e^{i·angle} on the basis states where every qubit of `positions` is 1:
    the multi-controlled phase, symmetric in its qubits.

    With x_1 ... x_m the qubit values, x_1·...·x_m equals
    2^(1-m) · sum over non-empty subsets S of (-1)^(|S|-1) · parity(x_S),
    so the gate is one phase on the parity of every subset. The subsets with
    highest member t are walked in Gray-code order over the qubits below t,
    gathering their parity into t one CNOT at a time; then the subsets below t
    follow. That is 2^m - 2 CNOTs in all, and every phase exact."""
    m = len(positions)
    scale = angle / 2 ** (m - 1)
    steps = []
    for top in range(m - 1, -1, -1):
        target, lower = positions[top], positions[:top]
        gathered = 0
        for k in range(2 ** top):
            gray = k ^ (k >> 1)
            if gray != gathered:
                steps += _gate("CNOT", lower[(gray ^ gathered).bit_length() - 1], target)
            size = bin(gray).count("1") + 1
            steps += _rotation("P", scale if size % 2 else -scale, target)
            gathered = gray
        if gathered:
            steps += _gate("CNOT", lower[gathered.bit_length() - 1], target)
    return steps


def _controlled_x_power(angle, arity):
    """Controls on every qubit but the last, which gets H·P(angle)·H: X for
    angle π, √X (qiskit's sx, exactly H·S·H) for π/2."""
    target = arity - 1
    return _gate("H", target) + _phase_product(angle, tuple(range(arity))) + _gate("H", target)


def _cu(theta, phi, lam, gamma=0.0):
    """Controlled e^{iγ}·U(θ, φ, λ). U is e^{i(φ+λ)/2}·W with W = Rz(φ)Ry(θ)Rz(λ)
    in SU(2), and W = A·X·B·X·C with A·B·C = I (A = Rz(φ)Ry(θ/2),
    B = Ry(-θ/2)Rz(-(φ+λ)/2), C = Rz((λ-φ)/2)), so the CNOTs give the
    controlled W and the phases e^{i((φ+λ)/2 + γ)} sit on the control as P."""
    return (_rotation("Rz", (lam - phi) / 2, 1) + _gate("CNOT", 0, 1)
            + _rotation("Rz", -(phi + lam) / 2, 1) + _rotation("Ry", -theta / 2, 1)
            + _gate("CNOT", 0, 1)
            + _rotation("Ry", theta / 2, 1) + _rotation("Rz", phi, 1)
            + _rotation("P", (phi + lam) / 2 + gamma, 0))


def _zz_rotation(theta, a=0, b=1):
    # exp(-iθ/2·Z⊗Z): the CNOT puts the parity of a and b into b, where
    # Rz(θ) applies e^{∓iθ/2}, and the second CNOT takes it back.
    return _gate("CNOT", a, b) + _rotation("Rz", theta, b) + _gate("CNOT", a, b)


def _rxx(theta):
    # H maps X to Z on both qubits.
    both_h = _gate("H", 0) + _gate("H", 1)
    return both_h + _zz_rotation(theta) + both_h


def _sequence(*gates):
    """Steps from (catalogue name, position, ...) tuples."""
    return [Step(name, tuple(positions)) for name, *positions in gates]


# qiskit's rccx (Margolus): a Toffoli up to relative phases.
# Its u2(0, π) is exactly H and its u1(±π/4) T or T†; the relative phases are
# part of the gate, so it is taken gate for gate.
_RCCX = _sequence(("H", 2), ("T", 2), ("CNOT", 1, 2), ("Td", 2), ("CNOT", 0, 2), ("T", 2),
                  ("CNOT", 1, 2), ("Td", 2), ("H", 2))
# qiskit's rc3x, likewise gate for gate.
_RC3X = _sequence(("H", 3), ("T", 3), ("CNOT", 2, 3), ("Td", 3), ("H", 3),
                  ("CNOT", 0, 3), ("T", 3), ("CNOT", 1, 3), ("Td", 3),
                  ("CNOT", 0, 3), ("T", 3), ("CNOT", 1, 3), ("Td", 3),
                  ("H", 3), ("T", 3), ("CNOT", 2, 3), ("Td", 3), ("H", 3))


class GateRule(NamedTuple):
    """A gate's qubit and angle counts, and its steps for given angles."""

    qubits: int
    angles: int
    steps: object  # callable: angles -> list of Step


# The name the rule had before it said what it is; kept for existing imports.
Lowering = GateRule


def _fixed(qubits, steps):
    return GateRule(qubits, 0, lambda: steps)


_HALF_PI = math.pi / 2

# OpenQASM 2 name -> lowering. U and CX, OpenQASM's built-ins, reach this
# table as u and cx.
LOWERINGS = {
    # one qubit, no angle
    "id": _fixed(1, _gate("I", 0)),
    "x": _fixed(1, _gate("X", 0)),
    "y": _fixed(1, _gate("Y", 0)),
    "z": _fixed(1, _gate("Z", 0)),
    "h": _fixed(1, _gate("H", 0)),
    "s": _fixed(1, _gate("S", 0)),
    "sdg": _fixed(1, _gate("Sd", 0)),
    "t": _fixed(1, _gate("T", 0)),
    "tdg": _fixed(1, _gate("Td", 0)),
    "sx": _fixed(1, _gate("X90", 0)),  # X90 is qiskit's sx matrix
    "sxdg": _fixed(1, _rotation("Rx", -_HALF_PI, 0)),  # sx† = e^{-iπ/4}·Rx(-π/2)
    # one qubit, angles
    "rx": GateRule(1, 1, lambda t: _rotation("Rx", t, 0)),
    "ry": GateRule(1, 1, lambda t: _rotation("Ry", t, 0)),
    "rz": GateRule(1, 1, lambda t: _rotation("Rz", t, 0)),
    "p": GateRule(1, 1, lambda lam: _rotation("P", lam, 0)),
    "u1": GateRule(1, 1, lambda lam: _rotation("P", lam, 0)),
    "u2": GateRule(1, 2, lambda phi, lam: _u(_HALF_PI, phi, lam)),
    "u3": GateRule(1, 3, _u),
    "u": GateRule(1, 3, _u),
    # u0 and delay wait; an ideal machine does nothing meanwhile.
    "u0": GateRule(1, 1, lambda duration: []),
    "delay": GateRule(1, 1, lambda duration: []),
    # two qubits, the first controls
    "cx": _fixed(2, _gate("CNOT", 0, 1)),
    "cz": _fixed(2, _gate("ZCON", 0, 1)),
    # YCON is controlled [[0,-1],[1,0]] = controlled -iY; S on the control
    # restores the i of the control-1 block.
    "cy": _fixed(2, _gate("YCON", 0, 1) + _gate("S", 0)),
    # H = Ry(-π/4)·X·Ry(π/4), so the CNOT between them is a controlled H.
    "ch": _fixed(2, _rotation("Ry", math.pi / 4, 1) + _gate("CNOT", 0, 1)
                 + _rotation("Ry", -math.pi / 4, 1)),
    "csx": _fixed(2, _controlled_x_power(_HALF_PI, 2)),
    "swap": _fixed(2, _sequence(("CNOT", 0, 1), ("CNOT", 1, 0), ("CNOT", 0, 1))),
    "crx": GateRule(2, 1, lambda t: _controlled_rotation("Rx", t)),
    "cry": GateRule(2, 1, lambda t: _controlled_rotation("Ry", t)),
    "crz": GateRule(2, 1, lambda t: _controlled_rotation("Rz", t)),
    "cu1": GateRule(2, 1, lambda lam: _phase_product(lam, (0, 1))),
    "cp": GateRule(2, 1, lambda lam: _phase_product(lam, (0, 1))),
    "cu3": GateRule(2, 3, _cu),
    "cu": GateRule(2, 4, _cu),
    "rxx": GateRule(2, 1, _rxx),
    "rzz": GateRule(2, 1, _zz_rotation),
    # three and more qubits, controls first
    "ccx": _fixed(3, _gate("CCX", 0, 1, 2)),
    "cswap": _fixed(3, _sequence(("CNOT", 2, 1), ("CCX", 0, 1, 2), ("CNOT", 2, 1))),
    "rccx": _fixed(3, _RCCX),
    "rc3x": _fixed(4, _RC3X),
    "c3x": _fixed(4, _controlled_x_power(math.pi, 4)),
    "c3sqrtx": _fixed(4, _controlled_x_power(_HALF_PI, 4)),
    "c4x": _fixed(5, _controlled_x_power(math.pi, 5)),
}


def lower(name, angles):
    """The catalogue steps of gate `name` with `angles` (radians)."""
    rule = LOWERINGS[name]
    if len(angles) != rule.angles:
        raise ValueError(f"gate '{name}' takes {rule.angles} angle(s), got {len(angles)}")
    return rule.steps(*angles)
