"""A parametrised definition called with lambdas.

The definition "rot" rotates its first qubit by half of the caller's first
parameter, entangles, and rotates the second qubit by the difference of the
caller's two parameters; a nested call reuses "rot" with swapped qubits."""
import math

import _common  # noqa: F401
import kovra_backends
from kovra.builder import CircuitBuilder

circuit = CircuitBuilder()
circuit.qreg(3)

rot = circuit.define("rot")
rot.gate("Ry", [0], params=[lambda theta: theta / 2], pindex=[0])
rot.gate("CNOT", [0, 1])
rot.gate("Rz", [1], params=[lambda a, b: a - b], pindex=[0, 1])

layer = circuit.define("layer")
layer.call("rot", [0, 1], params=[lambda ps: ps[0], lambda ps: ps[1]], pindex=[-1, -1])
layer.call("rot", [2, 1], params=[lambda a: 2 * a, lambda: 0.0], pindex=[1])

circuit.call("layer", [0, 1, 2], params=[math.pi / 2, math.pi / 3])

result = kovra_backends.BasicSimulator().execute(circuit.capsule(), {"print_circuit": False})
_common.show("parametrised definition, nested call", result)
