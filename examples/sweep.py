"""A sweep: a graph whose angles are free parameters, compiled once and run
for many sets of values, with exact expectation values per set and no
Python call per gate or per set."""
import numpy as np

import _common  # noqa: F401
import kovra_backends
from kovra.builder import CircuitBuilder

circuit = CircuitBuilder()
circuit.qreg(2)
circuit.gate("Ry", [0], params=["theta"])                    # a free angle by name
circuit.gate("CNOT", [0, 1])
circuit.gate("Rx", [1], params=[{"phi": 2.0, "": 0.1}])      # 2 phi + 0.1

# Character k of a Pauli string acts on qubit k.
program = kovra_backends.compile(circuit.graph(), {"observables": [[("ZZ", 1.0)], [("ZI", 1.0)]]})
print("columns of values:", program.parameters)
values = np.array([[theta, phi] for theta in np.linspace(0, np.pi, 4) for phi in (0.0, 0.5)])
column = {name: i for i, name in enumerate(program.parameters)}
energies = program.expectation_values(values)               # one row per set, one column per observable
for row, (zz, z0) in zip(values, energies):
    print(f"theta = {row[column['theta']]:.3f}, phi = {row[column['phi']]:.1f}: <ZZ> = {zz:+.6f}, <Z0> = {z0:+.6f}")
results = program.run(values[:2])                            # full Results, one per row
print("probabilities of the first set:", results[0].probabilities)
