"""How the Qiskit front ends choose a noisy run's method and tell when a
result is an estimate.

The simulator's "method": "automatic" runs a circuit with channels as a
density matrix (exact) up to AUTO_DENSITY_QUBITS qubits and as trajectories
(an average over runs, with standard errors) above: a wider noisy circuit
gives estimates. A caller who did not choose the method is warned when that
happens; every result says whether it is exact."""

import math
import numbers
import warnings

import kovra_backends

# The simulator's widest noisy register that "automatic" runs as a density
# matrix.
AUTO_DENSITY_QUBITS = kovra_backends.AUTO_DENSITY_QUBITS

# The simulator's "method" values (docs/configuration.md).
METHODS = ("automatic", "statevector", "density_matrix", "trajectories")
# The most trajectories a run takes.
MAX_TRAJECTORIES = kovra_backends.MAX_TRAJECTORIES


def checked_method(method):
    """`method` (None: the simulator's choice) if the simulator takes it."""
    if method is not None and method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(map(repr, METHODS))} or None, got {method!r}")
    return method


def checked_trajectories(count):
    """`count` (None: the simulator's default) if it is a valid number of trajectories."""
    if count is None:
        return None
    if isinstance(count, bool) or not isinstance(count, int) or not 1 <= count <= MAX_TRAJECTORIES:
        raise ValueError(f"trajectories must be an int from 1 to {MAX_TRAJECTORIES}, got {count!r}")
    return count


def method_config(method, trajectories):
    """The simulator's keys for a chosen method and trajectory count ({}
    when neither was chosen, so the configuration is as it always was)."""
    config = {}
    if checked_method(method) is not None:
        config["method"] = method
    if checked_trajectories(trajectories) is not None:
        config["trajectories"] = trajectories
    return config


def check_precision(value):
    """The Estimator's precision: a finite number >= 0 (0: exact values)."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError(f"precision must be a finite number >= 0, got {value!r}")
    if not math.isfinite(value) or value < 0:
        raise ValueError(f"precision must be a finite number >= 0, got {value!r}")
    return value


def metadata(trajectories):
    """What a result's metadata says of its exactness: an estimate names its
    method and the trajectories it averaged."""
    if not trajectories:
        return {"exact": True}
    return {"exact": False, "method": "trajectories", "trajectories": int(trajectories)}


def warn_if_estimated(trajectories, method, circuit, stacklevel=3):
    """Warns that a noisy circuit's results are estimates where the caller
    left the method to the simulator ("automatic" chosen for them)."""
    if not trajectories or method is not None:
        return
    warnings.warn(
        f"the noisy circuit '{circuit.name}' has {circuit.num_qubits} qubits, more than the {AUTO_DENSITY_QUBITS} "
        f"that method 'automatic' runs as an exact density matrix: its results are estimates, averaged over "
        f"{int(trajectories)} trajectories (standard errors in the result, metadata 'exact': False). Pass "
        f"method='trajectories' (and trajectories=<count>) to ask for this, or method='density_matrix' for exact "
        f"results (4^n amplitudes)", UserWarning, stacklevel=stacklevel)
