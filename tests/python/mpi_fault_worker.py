"""One rank of an MPI job whose ranks do not run the same thing: rank 1
fails alone, or the ranks build different circuits. Runs the case named by
argv[2], then a circuit every rank shares (the ranks must still be in step),
and writes what each call raised or returned to OUT/rank<R>.json (argv[1]).
Started by test_distributed_faults.py under mpirun."""

import json
import os
import resource
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))

import kovra_backends  # noqa: E402
from kovra.builder import CircuitBuilder  # noqa: E402

RANK = int(os.environ["OMPI_COMM_WORLD_RANK"])
ODD = RANK == 1  # the rank that differs


def circuit(qubits=8, registers=1, foreign_gate=False, raising_in=None):
    """A GHZ chain per register; `raising_in` names the register whose
    parameter function divides by zero."""
    b = CircuitBuilder()
    b.define("turn").gate("Rx", [0], params=[lambda a: a], pindex=[0])
    b.define("fail").gate("Rx", [0], params=[lambda a: a / 0], pindex=[0])
    for index in range(registers):
        q = b.qreg(qubits)
        b.gate("H", [q[0]])
        for k in range(qubits - 1):
            b.gate("CNOT", [q[k], q[k + 1]])
        b.call("fail" if index == raising_in else "turn", [q[1]], params=[0.5])
    if foreign_gate:
        b.gate("FOO", [1])
    return b


def short_of_memory():
    # The address space this rank may still take: less than its share of 20
    # qubits (26 bytes per amplitude of its half, 13 MiB), more than Python
    # needs to raise and report.
    with open("/proc/self/status") as status:
        used = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (used + (8 << 20), resource.RLIM_INFINITY))


def memory_case():
    kovra_backends.distributed_run()  # MPI set up, with the room it takes
    if ODD:
        short_of_memory()
    return circuit(20), {}


CASES = {
    "unknown gate": lambda: (circuit(foreign_gate=ODD), {}),
    "raising parameter": lambda: (circuit(raising_in=0 if ODD else None), {}),
    "memory": memory_case,
    "different registers": lambda: (circuit(8 + RANK), {}),
    "split and whole": lambda: (circuit(3 if ODD else 2), {}),
    "different mqubits": lambda: (circuit(), {"mqubits": [1] if ODD else [0, 5]}),
    "different sub-circuit counts": lambda: (circuit(registers=1 + ODD), {"parallel": True}),
    "failing second sub-circuit": lambda: (circuit(registers=2, raising_in=1 if ODD else None), {"parallel": True}),
}


def attempt(builder, config):
    try:
        result = kovra_backends.BasicSimulator().execute(builder.capsule(), config)
        return {"ran": sorted(result.probabilities)}
    except Exception as error:  # noqa: BLE001  (what each rank raised is the outcome)
        return {"raised": type(error).__name__, "message": str(error)}


builder, config = CASES[sys.argv[2]]()
outcome = attempt(builder, config)
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
after = attempt(circuit(), {})
with open(os.path.join(sys.argv[1], f"rank{RANK}.json"), "w") as f:
    json.dump({"outcome": outcome, "after": after}, f)
