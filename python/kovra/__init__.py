"""kovra: the Python side of kovra_backends, a simulator of quantum
circuits given as python-igraph graphs.

The extension module ``kovra_backends`` runs graphs: ``BasicSimulator``
(state vectors, density matrices, trajectories) and ``NMR`` (a device, or
the emulator ``python -m kovra.emulator``), and ``compile`` for sweeps of
parameter values. This package makes the graphs and runs what users have:

- ``kovra.builder.CircuitBuilder``: build a circuit gate by gate, then pass
  ``builder.capsule()`` to ``kovra_backends.BasicSimulator().execute``;
  start here (README.md, "Using it");
- ``kovra.qiskit``: ``KovraBackend`` (a Qiskit BackendV2) and the V2
  primitives ``Estimator`` and ``Sampler`` for ``QuantumCircuit`` objects;
- ``kovra.qasm``: ``loads``/``load_file`` turn OpenQASM 2 and 3 text into a
  graph;
- ``kovra.tools``: the command line ``python -m kovra run program.qasm``,
  its plots and the device emulator.

Runnable examples are in the repository's ``examples/`` folder.
"""

from importlib import metadata as _metadata
from pathlib import Path as _Path


def _version():
    """The installed distribution's version; in a source checkout that was
    never installed, the one pyproject.toml declares."""
    try:
        return _metadata.version("kovra_backends")
    except _metadata.PackageNotFoundError:
        pass
    import tomllib

    try:
        with open(_Path(__file__).resolve().parents[2] / "pyproject.toml", "rb") as f:
            return tomllib.load(f)["project"]["version"]
    except (OSError, KeyError, tomllib.TOMLDecodeError):
        return "unknown"


__version__ = _version()
