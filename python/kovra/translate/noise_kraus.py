"""A ``qiskit_aer`` QuantumError as the Kraus operators a noisy run can
exploit: first the error's unitary terms, each as sqrt(p)·U, then the rest
of the channel (its terms with resets or Kraus instructions) reduced to as
few operators as its Choi matrix's rank.

Why this order and form: a trajectory run draws an operator K with
K†K = c·I from fixed weights without a pass over the state, and only needs
to weigh the others against the state. A Pauli channel handed over as
``Kraus(error)`` comes back as an eigenbasis of its Choi matrix, which mixes
the Paulis into operators that are no longer unitary. Terms with the same
unitary up to a phase are one operator, so the 144 terms of a depolarizing
error composed with two qubits' relaxation become at most 16 unitaries and
the relaxations' resets.

Everything is in Qiskit's order (the error's qubit 0 the lowest bit)."""

import numpy as np

# Two terms' unitaries, each with its phase taken out, are the same operator
# when no entry differs by more than this (Paulis from different circuits
# agree to the last bit; anything further apart is kept apart, which costs
# an operator, never accuracy).
SAME_UNITARY_TOLERANCE = 1e-12
# Choi eigenvalues below this fraction of the largest are rounding: the
# operators they would give weigh nothing.
CHOI_RELATIVE_FLOOR = 1e-14
# Entries below this fraction of the largest are rounding residue of exact
# zeros (sums that cancel, in the remainder's superoperator and in its
# eigenvectors): they are made 0, which moves the channel by far less than
# any noise model's own precision and lets the run see the operators'
# sparsity (a density-matrix run skips exact zeros of the superoperator).
# An eigenvector of a small eigenvalue carries residue of about 1e-16 of
# the largest, scaled up by its own smallness: hence the operators' floor.
SUPEROP_ROUNDING = 1e-15
OPERATOR_ROUNDING = 1e-13
# An entry counts as the phase reference when its magnitude is at least
# this fraction of the largest: the first such entry, so that two copies of
# one unitary that differ in rounding pick the same entry.
_PHASE_REFERENCE_FRACTION = 0.5


def structured_kraus(error):
    """The error's Kraus matrices: merged unitary terms first (sqrt of the
    summed probability times the unitary), then the remainder's Choi
    eigen-operators. The superoperator of the list is the error's."""
    unitaries, weights, remainder = [], [], None
    for circuit, probability in zip(error.circuits, error.probabilities):
        if probability <= 0:
            continue
        unitary = _unitary(circuit)
        if unitary is None:
            from qiskit.quantum_info import SuperOp

            term = probability * SuperOp(circuit).data
            remainder = term if remainder is None else remainder + term
            continue
        for k, known in enumerate(unitaries):
            if np.max(np.abs(known - unitary)) <= SAME_UNITARY_TOLERANCE:
                weights[k] += probability
                break
        else:
            unitaries.append(unitary)
            weights.append(probability)
    operators = [np.sqrt(w) * u for w, u in zip(weights, unitaries)]
    if remainder is not None:
        remainder = _without_residue(remainder, SUPEROP_ROUNDING * np.abs(remainder).max())
        operators += choi_operators(remainder, 2**error.num_qubits)
    floor = OPERATOR_ROUNDING * max(np.abs(k).max() for k in operators)
    return [_without_residue(k, floor) for k in operators]


def _without_residue(matrix, floor):
    """`matrix` with its entries below `floor` (rounding residue) made 0."""
    return np.where(np.abs(matrix) < floor, 0, matrix)


def _unitary(circuit):
    """The circuit's unitary with its phase taken out (its reference entry
    made real and positive), or None when it is not unitary (a reset, a
    Kraus instruction)."""
    from qiskit.exceptions import QiskitError
    from qiskit.quantum_info import Operator

    try:
        matrix = Operator(circuit).data
    except QiskitError:
        return None
    flat = matrix.reshape(-1)
    magnitudes = np.abs(flat)
    reference = flat[np.argmax(magnitudes >= _PHASE_REFERENCE_FRACTION * magnitudes.max())]
    return matrix * (abs(reference) / reference)


def choi_operators(superop, dim):
    """Kraus matrices of a (sub-)channel given by its superoperator in
    Qiskit's column-stacking convention, as many as its Choi matrix's rank."""
    from scipy.linalg import schur

    # Qiskit's reshuffle of a superoperator into its Choi matrix, whose
    # eigenvectors, unstacked by columns, are the operators. A Schur
    # decomposition (as Qiskit's own conversion uses) keeps degenerate
    # eigenvectors apart where eigh mixes them: their superoperator then
    # holds the exact zeros the channel has, not residue that cancels.
    choi = superop.reshape(dim, dim, dim, dim).transpose(3, 1, 2, 0).reshape(dim * dim, dim * dim)
    triangle, vectors = schur((choi + choi.conj().T) / 2, output="complex")
    values = triangle.diagonal().real
    floor = CHOI_RELATIVE_FLOOR * max(values.max(), 0.0)
    return [np.sqrt(value) * vectors[:, k].reshape(dim, dim, order="F")
            for k, value in sorted(enumerate(values), key=lambda kv: -kv[1]) if value > floor]
